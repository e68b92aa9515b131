#include "platform/display/ScreenCastPortal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/dbus/Bus.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"

namespace quill::platform::display {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr uint32_t kMonitor = 1;
constexpr uint32_t kCursorHidden = 1;
constexpr uint32_t kCursorEmbedded = 2;
constexpr uint32_t kPersistUntilRevoked = 2;

// The calls that close the request and the session at the end are given this long each.
constexpr double kCloseTimeout = 2;

// Request and session tokens are unique in the process: the portal refuses a path already in use.
std::atomic<unsigned> nextToken{0};

std::string newToken(const char* what) {
    return std::string("quillaran_") + what + std::to_string(nextToken.fetch_add(1) + 1);
}

// The sender part of the portal's object paths: the unique name without ':' and with '.' as '_'.
std::string senderPart(sd_bus* bus) {
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus, &unique) < 0 || !unique) return {};
    std::string s = unique[0] == ':' ? unique + 1 : unique;
    std::replace(s.begin(), s.end(), '.', '_');
    return s;
}

// A method call's reply, filled in by the bus thread's dispatch.
struct Reply {
    bool done = false;
    sd_bus_message* message = nullptr;  // a successful reply
    std::string error;

    ~Reply() { sd_bus_message_unref(message); }
};

int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* reply = static_cast<Reply*>(userdata);
    reply->done = true;
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
        reply->error = e->message ? e->message : (e->name ? e->name : "error");
    } else {
        reply->message = sd_bus_message_ref(m);
    }
    return 0;
}

// A request's Response: the code and the results' message, positioned at the results.
struct Response {
    bool done = false;
    uint32_t code = 2;
    sd_bus_message* message = nullptr;

    ~Response() { sd_bus_message_unref(message); }
};

int onResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* response = static_cast<Response*>(userdata);
    if (response->done) return 0;
    uint32_t code = 2;
    if (sd_bus_message_read(m, "u", &code) < 0) code = 2;
    response->done = true;
    response->code = code;
    response->message = sd_bus_message_ref(m);
    return 0;
}

// Calls f(key) for each entry of an a{sv} the message is positioned at, inside the entry's variant
// when f returns true having read it, or skipping the value otherwise. False when the dictionary is
// malformed.
template <class F>
bool readDictionary(sd_bus_message* m, F f) {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return false;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0) return false;
        if (!f(std::string(key ? key : ""))) {
            if (sd_bus_message_skip(m, "v") < 0) return false;
        }
        if (sd_bus_message_exit_container(m) < 0) return false;
    }
    return sd_bus_message_exit_container(m) >= 0;
}

// Reads a variant holding one string or object path.
bool readStringVariant(sd_bus_message* m, std::string& out) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v' || !contents) return false;
    const char kind = contents[0];
    if ((kind != 's' && kind != 'o') || contents[1] != 0) return false;
    const char signature[2] = {kind, 0};
    if (sd_bus_message_enter_container(m, 'v', signature) <= 0) return false;
    const char* value = nullptr;
    if (sd_bus_message_read_basic(m, kind, &value) < 0) return false;
    out = value ? value : "";
    return sd_bus_message_exit_container(m) >= 0;
}

// Restore tokens are UUIDs; the portal refuses the whole request for anything else, so such a saved
// value is not handed back (the dialog shows instead).
bool isRestoreToken(const std::string& token) {
    if (token.size() != 36) return false;
    for (size_t i = 0; i < token.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? token[i] != '-' : !std::isxdigit(static_cast<unsigned char>(token[i]))) return false;
    }
    return true;
}

bool readUintVariant(sd_bus_message* m, uint32_t& out) {
    return sd_bus_message_read(m, "v", "u", &out) >= 0;
}

}  // namespace

struct ScreenCastPortal::Impl {
    Options options;
    Handlers handlers;
    int wakeFd = -1;
    std::atomic<bool> closing{false};
    std::mutex closeMutex;
    bool closed = false;
    std::thread thread;

    // The conversation's own, touched only by its thread.
    sd_bus* bus = nullptr;
    std::string sender;
    std::string openRequest;  // the request whose answer is awaited
    std::string session;      // the session once asked for
    bool sessionClosedByDesktop = false;
    bool portalGone = false;
    uint32_t version = 0;
    uint32_t cursorModes = 0;

    ~Impl() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void run() {
        foundation::setCurrentThreadName("screencast-portal");
        std::string why;
        const std::optional<ScreenCastEnd> end = converse(why);
        if (end && !closing) {
            sysLog("screen cast: %s", why.c_str());
            if (handlers.ended) handlers.ended(*end, why);
        }
        finish();
    }

    // The whole conversation; what ended it, or none when close() did.
    std::optional<ScreenCastEnd> converse(std::string& why) {
        bus = dbus::openBus(options.busAddress ? options.busAddress->c_str() : nullptr, false,
                            options.callTimeout);
        if (!bus) {
            why = "no session bus";
            return ScreenCastEnd::Failed;
        }
        sender = senderPart(bus);
        sd_bus_slot* ownerSlot = nullptr;
        // The portal going away ends every wait on it.
        sd_bus_match_signal_async(bus, &ownerSlot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "NameOwnerChanged", &Impl::onOwnerChanged, nullptr,
                                  this);
        std::optional<ScreenCastEnd> end = talk(why);
        sd_bus_slot_unref(ownerSlot);
        return end;
    }

    std::optional<ScreenCastEnd> talk(std::string& why) {
        if (!readProperties(why)) return closing ? std::nullopt : std::optional(ScreenCastEnd::Failed);

        const std::string sessionToken = newToken("session");
        session = "/org/freedesktop/portal/desktop/session/" + sender + "/" + sessionToken;
        sd_bus_slot* closedSlot = nullptr;
        sd_bus_match_signal_async(bus, &closedSlot, nullptr, session.c_str(), kSession, "Closed",
                                  &Impl::onSessionClosed, nullptr, this);
        struct SlotGuard {
            sd_bus_slot*& slot;
            ~SlotGuard() { sd_bus_slot_unref(slot); }
        } guard{closedSlot};

        // CreateSession
        {
            const std::string token = newToken("create");
            Response response;
            auto append = [&](sd_bus_message* m) {
                return sd_bus_message_append(m, "a{sv}", 2, "handle_token", "s", token.c_str(),
                                             "session_handle_token", "s", sessionToken.c_str());
            };
            if (auto end = request("CreateSession", token, append, response, true, why)) return end;
            std::string handle;
            readDictionary(response.message, [&](const std::string& key) {
                return key == "session_handle" && readStringVariant(response.message, handle);
            });
            if (!handle.empty() && handle != session) {
                // An older portal may pick its own path: follow it.
                sd_bus_slot_unref(closedSlot);
                closedSlot = nullptr;
                session = handle;
                sd_bus_match_signal_async(bus, &closedSlot, nullptr, session.c_str(), kSession, "Closed",
                                          &Impl::onSessionClosed, nullptr, this);
            }
        }

        // SelectSources
        {
            const std::string token = newToken("select");
            Response response;
            uint32_t cursor = 0;
            if (options.showCursor && (cursorModes & kCursorEmbedded)) {
                cursor = kCursorEmbedded;
            } else if (cursorModes & kCursorHidden) {
                cursor = kCursorHidden;
            }
            auto append = [&](sd_bus_message* m) {
                int r = sd_bus_message_append(m, "o", session.c_str());
                if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
                if (r >= 0) r = sd_bus_message_append(m, "{sv}", "handle_token", "s", token.c_str());
                if (r >= 0) r = sd_bus_message_append(m, "{sv}", "types", "u", kMonitor);
                if (r >= 0) r = sd_bus_message_append(m, "{sv}", "multiple", "b", 0);
                if (r >= 0 && version >= 2 && cursor)
                    r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", cursor);
                if (r >= 0 && version >= 4) {
                    r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
                    if (r >= 0 && isRestoreToken(options.restoreToken))
                        r = sd_bus_message_append(m, "{sv}", "restore_token", "s",
                                                  options.restoreToken.c_str());
                }
                if (r >= 0) r = sd_bus_message_close_container(m);
                return r;
            };
            if (auto end = request("SelectSources", token, append, response, true, why)) return end;
        }

        // Start: the dialog, for as long as the user likes.
        ScreenCastGrant grant;
        {
            const std::string token = newToken("start");
            Response response;
            auto append = [&](sd_bus_message* m) {
                return sd_bus_message_append(m, "osa{sv}", session.c_str(), options.parentWindow.c_str(), 1,
                                             "handle_token", "s", token.c_str());
            };
            if (auto end = request("Start", token, append, response, false, why)) return end;
            std::string restoreToken;
            bool haveStream = false;
            readDictionary(response.message, [&](const std::string& key) {
                if (key == "restore_token") return readStringVariant(response.message, restoreToken);
                if (key == "streams" && !haveStream) return haveStream = readStreams(response.message, grant);
                return false;
            });
            if (!restoreToken.empty() && handlers.token) handlers.token(restoreToken);
            if (!haveStream) {
                why = "the desktop granted no screen";
                return ScreenCastEnd::Failed;
            }
        }

        // OpenPipeWireRemote
        {
            Reply reply;
            sd_bus_slot* slot = nullptr;
            int r = call(
                "OpenPipeWireRemote",
                [&](sd_bus_message* m) { return sd_bus_message_append(m, "oa{sv}", session.c_str(), 0); },
                reply, &slot);
            const bool answered = r >= 0 && pump([&] { return reply.done; }, options.callTimeout);
            sd_bus_slot_unref(slot);
            if (closing) return std::nullopt;
            int fd = -1;
            if (!answered || !reply.message || sd_bus_message_read(reply.message, "h", &fd) < 0 || fd < 0) {
                why = "the desktop gave no PipeWire connection: " +
                      (answered ? (reply.error.empty() ? std::string("no fd in the answer") : reply.error)
                                : failureOf(r));
                return ScreenCastEnd::Failed;
            }
            // The message owns its fd.
            grant.fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (grant.fd < 0) {
                why = "cannot keep the PipeWire connection";
                return ScreenCastEnd::Failed;
            }
        }
        sysLog("screen cast: the desktop shares node %u (%d x %d)", grant.node, grant.width, grant.height);
        if (handlers.granted) {
            handlers.granted(grant);
        } else {
            ::close(grant.fd);
        }

        // Until the desktop ends the share or close() ends the wait.
        pump([this] { return sessionClosedByDesktop || portalGone; }, std::nullopt);
        if (closing) return std::nullopt;
        if (portalGone) {
            why = "the desktop portal went away";
            // The stream itself may go on: the share is over only when it ends.
            return std::nullopt;
        }
        session.clear();  // closed already
        why = "the desktop ended the screen share";
        return ScreenCastEnd::Closed;
    }

    // The interface's version and cursor modes; false when the portal has no ScreenCast.
    bool readProperties(std::string& why) {
        Reply reply;
        sd_bus_slot* slot = nullptr;
        int r = -1;
        {
            sd_bus_message* m = nullptr;
            r = sd_bus_message_new_method_call(bus, &m, kPortal, kPortalPath,
                                               "org.freedesktop.DBus.Properties", "GetAll");
            if (r >= 0) r = sd_bus_message_append(m, "s", kScreenCast);
            if (r >= 0)
                r = sd_bus_call_async(bus, &slot, m, onReply, &reply,
                                      static_cast<uint64_t>(options.callTimeout * 1e6));
            sd_bus_message_unref(m);
        }
        const bool answered = r >= 0 && pump([&] { return reply.done; }, options.callTimeout);
        sd_bus_slot_unref(slot);
        if (closing) return false;
        if (!answered || !reply.message) {
            why = "the desktop has no screen-sharing portal: " + (answered ? reply.error : failureOf(r));
            return false;
        }
        readDictionary(reply.message, [&](const std::string& key) {
            if (key == "version") return readUintVariant(reply.message, version);
            if (key == "AvailableCursorModes") return readUintVariant(reply.message, cursorModes);
            return false;
        });
        return true;
    }

    // Reads the first stream of a(ua{sv}) inside its variant: its node and size.
    static bool readStreams(sd_bus_message* m, ScreenCastGrant& grant) {
        if (sd_bus_message_enter_container(m, 'v', "a(ua{sv})") <= 0) return false;
        bool found = false;
        if (sd_bus_message_enter_container(m, 'a', "(ua{sv})") > 0) {
            if (sd_bus_message_enter_container(m, 'r', "ua{sv}") > 0) {
                if (sd_bus_message_read(m, "u", &grant.node) >= 0) {
                    found = readDictionary(m, [&](const std::string& key) {
                        if (key != "size") return false;
                        return sd_bus_message_read(m, "v", "(ii)", &grant.width, &grant.height) >= 0;
                    });
                }
                sd_bus_message_exit_container(m);
            }
            // Further streams are not asked for; skipped with the array.
            while (sd_bus_message_skip(m, "(ua{sv})") > 0) {
            }
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        return found;
    }

    std::string failureOf(int r) const {
        if (closing) return "closed";
        if (r < 0) return std::string("bus error: ") + std::strerror(-r);
        return "no answer in time";
    }

    // Sends a ScreenCast method call whose arguments append writes; the reply lands in reply.
    template <class Append>
    int call(const char* method, Append append, Reply& reply, sd_bus_slot** slot) {
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus, &m, kPortal, kPortalPath, kScreenCast, method);
        if (r >= 0) r = append(m);
        if (r >= 0)
            r = sd_bus_call_async(bus, slot, m, onReply, &reply,
                                  static_cast<uint64_t>(options.callTimeout * 1e6));
        sd_bus_message_unref(m);
        return r;
    }

    // One request: listens for its Response, calls, and waits for the answer (within the call timeout
    // when bounded; else until close()). Nothing when the answer is a success, with response holding it.
    template <class Append>
    std::optional<ScreenCastEnd> request(const char* method, const std::string& token, Append append,
                                         Response& response, bool bounded, std::string& why) {
        const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
        sd_bus_slot* signalSlot = nullptr;
        int r = sd_bus_match_signal_async(bus, &signalSlot, nullptr, path.c_str(), kRequest, "Response",
                                          onResponse, nullptr, &response);
        Reply reply;
        sd_bus_slot* callSlot = nullptr;
        if (r >= 0) r = call(method, append, reply, &callSlot);
        // From here the request may be open on the portal's side until its answer comes.
        if (r >= 0) openRequest = path;
        enum { Answered, CallFailed, NoAnswer } outcome = NoAnswer;
        // The call's own reply comes within the call timeout; the answer within it too when bounded,
        // else whenever the user is done with the dialog.
        if (r >= 0 && pump([&] { return reply.done || response.done; }, options.callTimeout)) {
            if (!response.done && !reply.message) {
                outcome = CallFailed;
            } else if (pump([&] { return response.done || sessionClosedByDesktop || portalGone; },
                            bounded ? std::optional(options.callTimeout) : std::nullopt)) {
                // A portal that refuses closes the session too, and may say so before it answers.
                if (!response.done && sessionClosedByDesktop)
                    pump([&] { return response.done; }, kCloseTimeout);
                if (response.done) outcome = Answered;
            }
        }
        sd_bus_slot_unref(callSlot);
        sd_bus_slot_unref(signalSlot);
        if (closing) return std::nullopt;  // finish() closes the open request
        if (outcome == Answered || outcome == CallFailed) openRequest.clear();
        if (outcome == CallFailed) {
            why = std::string(method) + " failed: " + reply.error;
            return ScreenCastEnd::Failed;
        }
        if (outcome == NoAnswer) {
            if (sessionClosedByDesktop) {
                why = "the desktop closed the screen-sharing session";
                session.clear();
            } else if (portalGone) {
                why = "the desktop portal went away";
            } else {
                why = std::string(method) + ": " + failureOf(r);
            }
            return ScreenCastEnd::Failed;
        }
        if (response.code == 0) return std::nullopt;
        if (response.code == 1) {
            why = "the screen-sharing dialog was cancelled";
            return ScreenCastEnd::Cancelled;
        }
        why = std::string(method) + " was refused by the desktop (response " + std::to_string(response.code) +
              ")";
        return ScreenCastEnd::Failed;
    }

    // Dispatches bus messages until done() or the time is up or close(); true when done.
    template <class Done>
    bool pump(Done done, std::optional<double> seconds, bool interruptible = true) {
        const bool bounded = seconds.has_value();
        const Clock::time_point deadline =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(bounded ? *seconds : 0.0));
        for (;;) {
            if (done()) return true;
            if (interruptible && closing) return false;
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0) {
                portalGone = true;  // the bus itself is gone
                return done();
            }
            if (r > 0) continue;
            int ms = -1;
            if (bounded) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) return done();
                ms = static_cast<int>(std::min<int64_t>(left.count() + 1, 60'000));
            }
            uint64_t busTimeout = 0;
            if (sd_bus_get_timeout(bus, &busTimeout) > 0 && busTimeout != UINT64_MAX) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
                const int busMs =
                    busTimeout > nowUs ? static_cast<int>((busTimeout - nowUs + 999) / 1000) : 0;
                ms = ms < 0 ? busMs : std::min(ms, busMs);
            }
            pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                             {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, ms) > 0 && (fds[1].revents & POLLIN)) {
                uint64_t v = 0;
                [[maybe_unused]] auto n = read(wakeFd, &v, sizeof v);
            }
        }
    }

    static int onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
        const char *name = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || !name) return 0;
        if (std::string(name) == kPortal && (!after || !*after))
            static_cast<Impl*>(userdata)->portalGone = true;
        return 0;
    }

    static int onSessionClosed(sd_bus_message*, void* userdata, sd_bus_error*) {
        static_cast<Impl*>(userdata)->sessionClosedByDesktop = true;
        return 0;
    }

    // Closes what is still open on the portal's side and lets the bus go.
    void finish() {
        if (bus) {
            if (!openRequest.empty()) closeObject(openRequest, kRequest);
            if (!session.empty() && !sessionClosedByDesktop && !portalGone) closeObject(session, kSession);
            sd_bus_flush_close_unref(bus);
            bus = nullptr;
        }
    }

    void closeObject(const std::string& path, const char* interface) {
        sd_bus_message* m = nullptr;
        Reply reply;
        sd_bus_slot* slot = nullptr;
        int r = sd_bus_message_new_method_call(bus, &m, kPortal, path.c_str(), interface, "Close");
        if (r >= 0)
            r = sd_bus_call_async(bus, &slot, m, onReply, &reply, static_cast<uint64_t>(kCloseTimeout * 1e6));
        sd_bus_message_unref(m);
        // Waited for (briefly) so that the portal has closed it before the connection goes, even when
        // close() asked for the end.
        if (r >= 0) pump([&] { return reply.done; }, kCloseTimeout, false);
        sd_bus_slot_unref(slot);
    }
};

ScreenCastPortal::ScreenCastPortal(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<ScreenCastPortal> ScreenCastPortal::start(Options options, Handlers handlers) {
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    impl->handlers = std::move(handlers);
    impl->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    Impl* raw = impl.get();
    std::shared_ptr<ScreenCastPortal> portal(new ScreenCastPortal(std::move(impl)));
    raw->thread = std::thread([raw] { raw->run(); });
    return portal;
}

ScreenCastPortal::~ScreenCastPortal() {
    close();
}

void ScreenCastPortal::close() {
    std::lock_guard lock(impl_->closeMutex);
    if (impl_->closed) return;
    impl_->closed = true;
    impl_->closing = true;
    const uint64_t one = 1;
    [[maybe_unused]] auto r = write(impl_->wakeFd, &one, sizeof one);
    if (impl_->thread.joinable()) impl_->thread.join();
}

std::optional<uint32_t> screenCastPortalVersion(const std::optional<std::string>& busAddress,
                                                double timeoutSeconds) {
    sd_bus* bus = dbus::openBus(busAddress ? busAddress->c_str() : nullptr, false, timeoutSeconds);
    if (!bus) return std::nullopt;
    dbus::BusCall c;
    c.r = sd_bus_call_method(bus, kPortal, kPortalPath, "org.freedesktop.DBus.Properties", "Get", &c.error,
                             &c.reply, "ss", kScreenCast, "version");
    uint32_t version = 0;
    const bool ok = c.r >= 0 && sd_bus_message_read(c.reply, "v", "u", &version) >= 0 && version > 0;
    sd_bus_flush_close_unref(bus);
    if (!ok) return std::nullopt;
    return version;
}

}  // namespace quill::platform::display
