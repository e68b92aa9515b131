#include "platform/coreaudio/PulseAudioBackend.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <cstring>

#include "platform/foundation/SysLog.h"

namespace quill::platform::coreaudio {

namespace {

uint32_t fnv1a(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

uint32_t transportOf(pa_proplist* props) {
    const char* bus = pa_proplist_gets(props, PA_PROP_DEVICE_BUS);
    const char* form = pa_proplist_gets(props, PA_PROP_DEVICE_FORM_FACTOR);
    const char* cls = pa_proplist_gets(props, PA_PROP_DEVICE_CLASS);
    if ((form && std::strcmp(form, "internal") == 0) || (bus && std::strcmp(bus, "pci") == 0)) {
        return kAudioDeviceTransportTypeBuiltIn;
    }
    if (bus && std::strcmp(bus, "usb") == 0) return kAudioDeviceTransportTypeUSB;
    if (cls && std::strcmp(cls, "abstract") == 0) return kAudioDeviceTransportTypeVirtual;
    return 0;
}

uint32_t portId(const char* port) {
    if (!port) return 0;
    uint32_t h = fnv1a(port);
    return h == 0 ? 1 : h;
}

struct SuccessResult {
    pa_threaded_mainloop* loop;
    int success = 0;
};

void successCb(pa_context*, int success, void* userdata) {
    auto* r = static_cast<SuccessResult*>(userdata);
    r->success = success;
    pa_threaded_mainloop_signal(r->loop, 0);
}

struct IndexResult {
    pa_threaded_mainloop* loop;
    uint32_t index = PA_INVALID_INDEX;
};

void indexCb(pa_context*, uint32_t index, void* userdata) {
    auto* r = static_cast<IndexResult*>(userdata);
    r->index = index;
    pa_threaded_mainloop_signal(r->loop, 0);
}

// The name of a sink's or source's active port; "" when it has none.
template <class PortInfo>
std::string activePortOf(const PortInfo* port) {
    return port && port->name ? port->name : "";
}

// A time on the main loop after which passed() is true and every waiter on the loop is woken. Made and
// destroyed under the main-loop lock.
class LoopDeadline {
  public:
    LoopDeadline(pa_threaded_mainloop* loop, pa_context* context, double seconds) : loop_(loop) {
        event_ = pa_context_rttime_new(context, pa_rtclock_now() + static_cast<pa_usec_t>(seconds * 1e6),
                                       &LoopDeadline::fire, this);
    }
    ~LoopDeadline() {
        if (event_) pa_threaded_mainloop_get_api(loop_)->time_free(event_);
    }
    LoopDeadline(const LoopDeadline&) = delete;
    LoopDeadline& operator=(const LoopDeadline&) = delete;
    bool passed() const { return passed_; }

  private:
    static void fire(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* self = static_cast<LoopDeadline*>(userdata);
        self->passed_ = true;
        pa_threaded_mainloop_signal(self->loop_, 0);
    }
    pa_threaded_mainloop* loop_;
    pa_time_event* event_ = nullptr;
    bool passed_ = false;
};

}  // namespace

// One look at the server: its defaults, every sink and source (monitors too), and the devices made of
// them.
struct PulseAudioBackend::Listing {
    struct Node {
        std::string name, description, activePort;
        uint32_t channels, transport;
    };
    struct Sink : Node {
        std::string monitorSource;
    };
    struct Source : Node {
        bool isMonitor;
    };
    std::string defaultSink, defaultSource;
    std::vector<Sink> sinks;
    std::vector<Source> sources;
    std::vector<Entry> entries;

    void makeEntries();
    std::string sinkOrSourceNamed(bool input, AudioDeviceID id) const;
    // The device of a sink's output side or a source's input side.
    static Entry entryOf(bool input, const Node& node);
};

PulseAudioBackend::Entry PulseAudioBackend::Listing::entryOf(bool input, const Node& node) {
    Entry e;
    e.description.id = idForName(input ? "source" : "sink", node.name);
    e.description.name = node.description;
    e.description.transportType = node.transport;
    (input ? e.description.inputChannels : e.description.outputChannels) = node.channels;
    (input ? e.description.inputDataSource : e.description.outputDataSource) =
        node.activePort.empty() ? 0 : portId(node.activePort.c_str());
    (input ? e.sourceName : e.sinkName) = node.name;
    return e;
}

void PulseAudioBackend::Listing::makeEntries() {
    entries.clear();
    bool loopbackSeen = false;
    for (const Sink& s : sinks) {
        Entry e = entryOf(false, s);
        if (s.description == kLoopbackDescription && !loopbackSeen) {
            // The loopback device records what is played into it: its monitor is its input side.
            e.description.inputChannels = s.channels;
            e.sourceName = s.monitorSource;
            loopbackSeen = true;
        }
        entries.push_back(std::move(e));
    }
    for (const Source& s : sources) {
        if (!s.isMonitor) entries.push_back(entryOf(true, s));
    }
}

// The server name of the sink or source (monitors too) in that direction with this id; "" when none.
std::string PulseAudioBackend::Listing::sinkOrSourceNamed(bool input, AudioDeviceID id) const {
    for (const Entry& e : entries) {
        if (e.description.id == id && !(input ? e.sourceName : e.sinkName).empty())
            return input ? e.sourceName : e.sinkName;
    }
    // A default the server chose itself may be no listed device (an output's monitor as the input when
    // no microphone is configured); a saved one of those is put back all the same.
    if (input) {
        for (const Source& s : sources) {
            if (idForName("source", s.name) == id) return s.name;
        }
    } else {
        for (const Sink& s : sinks) {
            if (idForName("sink", s.name) == id) return s.name;
        }
    }
    return {};
}

// Callbacks that run on the server thread with the main-loop lock held.
struct PulseCallbacks {
    using Listing = PulseAudioBackend::Listing;
    struct Fill {
        pa_threaded_mainloop* loop;
        Listing* listing;
    };

    // What sink and source records have alike.
    template <class Info>
    static Listing::Node nodeOf(const Info* i) {
        return {i->name ? i->name : "", i->description ? i->description : "", activePortOf(i->active_port),
                i->sample_spec.channels, transportOf(i->proplist)};
    }

    static void serverListed(pa_context*, const pa_server_info* i, void* userdata) {
        auto* f = static_cast<Fill*>(userdata);
        if (i) {
            f->listing->defaultSink = i->default_sink_name ? i->default_sink_name : "";
            f->listing->defaultSource = i->default_source_name ? i->default_source_name : "";
        }
        pa_threaded_mainloop_signal(f->loop, 0);
    }
    static void sinkListed(pa_context*, const pa_sink_info* i, int eol, void* userdata) {
        auto* f = static_cast<Fill*>(userdata);
        if (eol || !i) {
            pa_threaded_mainloop_signal(f->loop, 0);
            return;
        }
        Listing::Sink sink{nodeOf(i), i->monitor_source_name ? i->monitor_source_name : ""};
        f->listing->sinks.push_back(std::move(sink));
    }
    static void sourceListed(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        auto* f = static_cast<Fill*>(userdata);
        if (eol || !i) {
            pa_threaded_mainloop_signal(f->loop, 0);
            return;
        }
        Listing::Source source{nodeOf(i), i->monitor_of_sink != PA_INVALID_INDEX};
        f->listing->sources.push_back(std::move(source));
    }

    static void state(pa_context*, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        pa_threaded_mainloop_signal(self->loop_, 0);
    }
    static void subscription(pa_context*, pa_subscription_event_type_t t, uint32_t index, void* userdata) {
        static_cast<PulseAudioBackend*>(userdata)->onSubscription(static_cast<int>(t), index);
    }
    static void serverChanged(pa_context*, const pa_server_info* i, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (!i) return;
        std::string sink = i->default_sink_name ? i->default_sink_name : "";
        std::string source = i->default_source_name ? i->default_source_name : "";
        bool outputChanged = sink != self->lastDefaultSink_;
        bool inputChanged = source != self->lastDefaultSource_;
        self->lastDefaultSink_ = sink;
        self->lastDefaultSource_ = source;
        if (outputChanged)
            self->notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice});
        if (inputChanged) self->notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice});
    }
    static void sinkChanged(pa_context*, const pa_sink_info* i, int eol, void* userdata) {
        if (eol || !i) return;
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        portChanged(self, "sink", i->name, i->active_port ? i->active_port->name : nullptr,
                    kAudioObjectPropertyScopeOutput);
    }
    static void sourceChanged(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        if (eol || !i || i->monitor_of_sink != PA_INVALID_INDEX) return;
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        portChanged(self, "source", i->name, i->active_port ? i->active_port->name : nullptr,
                    kAudioObjectPropertyScopeInput);
    }
    static void portChanged(PulseAudioBackend* self, const char* kind, const char* name, const char* port,
                            AudioObjectPropertyScope scope) {
        if (!name) return;
        std::string key = std::string(kind) + ":" + name;
        std::string now = port ? port : "";
        auto it = self->activePorts_.find(key);
        bool changed = it != self->activePorts_.end() && it->second != now;
        self->activePorts_[key] = now;
        if (changed)
            self->notify(PulseAudioBackend::idForName(kind, name), {kAudioDevicePropertyDataSource, scope});
    }
    // The answer to the probe sent when a request missed its deadline. An error reply is an answer
    // too; only libpulse's own time-out (the server still silent) sends the probe again.
    static void probeAnswered(pa_context* context, const pa_server_info* i, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (!i && pa_context_errno(context) == PA_ERR_TIMEOUT) {
            if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) self->probe();
            return;
        }
        self->stalled_ = false;
        self->forgetListing();
        sysLog("sound server: answering again");
        pa_threaded_mainloop_signal(self->loop_, 0);
    }
};

AudioDeviceID PulseAudioBackend::idForName(const std::string& kind, const std::string& name) {
    uint32_t h = fnv1a(kind + ":" + name);
    return h < 2 ? h + 2 : h;
}

PulseAudioBackend::PulseAudioBackend(double operationTimeoutSeconds)
    : operationTimeout_(operationTimeoutSeconds) {}

std::shared_ptr<PulseAudioBackend> PulseAudioBackend::connect(double timeoutSeconds,
                                                              double operationTimeoutSeconds) {
    std::shared_ptr<PulseAudioBackend> backend(new PulseAudioBackend(operationTimeoutSeconds));
    if (!backend->start(timeoutSeconds)) return nullptr;
    return backend;
}

bool PulseAudioBackend::start(double timeoutSeconds) {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return false;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Quillaran");
    if (!context_) return false;
    pa_context_set_state_callback(context_, PulseCallbacks::state, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    pa_threaded_mainloop_lock(loop_);
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_unlock(loop_);
        return false;
    }
    pa_context_state_t state;
    {
        LoopDeadline deadline(loop_, context_, timeoutSeconds);
        while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) &&
               !deadline.passed()) {
            pa_threaded_mainloop_wait(loop_);
        }
    }
    bool ready = state == PA_CONTEXT_READY;
    if (ready) {
        // Subscribed first, so that no change falls between the first listing and the events.
        pa_context_set_subscribe_callback(context_, PulseCallbacks::subscription, this);
        SuccessResult subscribed{loop_};
        runOperations("subscription to device changes", [&] {
            return pa_context_subscribe(
                context_,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SOURCE),
                successCb, &subscribed);
        });
        subscribed_ = subscribed.success != 0;
        const uint64_t generation = generation_;
        if (auto listing = fetchListing()) {
            lastDefaultSink_ = listing->defaultSink;
            lastDefaultSource_ = listing->defaultSource;
            for (const auto& s : listing->sinks)
                activePorts_["sink:" + s.name] = s.activePort;
            for (const auto& s : listing->sources)
                activePorts_["source:" + s.name] = s.activePort;
            listing_ = std::move(listing);
            listingGeneration_ = generation;
            listingTime_ = Clock::now();
        }
    }
    pa_threaded_mainloop_unlock(loop_);
    return ready;
}

PulseAudioBackend::~PulseAudioBackend() {
    if (loop_) {
        pa_threaded_mainloop_lock(loop_);
        if (context_) {
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            // Cancels every request still waiting, the probe among them.
            pa_context_disconnect(context_);
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
    }
    if (context_) pa_context_unref(context_);
    if (loop_) pa_threaded_mainloop_free(loop_);
}

// Starts the requests together and waits for all of them, at most the operation time-out. A request
// that misses it is cancelled (its callback never runs, so the caller's results may live on its
// stack) and the server is taken as not answering until the probe is answered.
template <class... Start>
bool PulseAudioBackend::runOperations(const char* what, Start... start) {
    if (stalled_) {
        sysLog("sound server: not answering; %s not done", what);
        return false;
    }
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        sysLog("sound server: %s failed: %s", what, pa_strerror(pa_context_errno(context_)));
        return false;
    }
    pa_operation* ops[] = {start()...};
    auto running = [&] {
        for (pa_operation* op : ops) {
            if (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING) return true;
        }
        return false;
    };
    bool timedOut = false;
    {
        LoopDeadline deadline(loop_, context_, operationTimeout_);
        while (running() && !deadline.passed() && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
            pa_threaded_mainloop_wait(loop_);
        timedOut = deadline.passed();
    }
    bool done = true;
    for (pa_operation* op : ops) {
        if (!op) {
            done = false;
            continue;
        }
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
        if (pa_operation_get_state(op) != PA_OPERATION_DONE) done = false;
        pa_operation_unref(op);
    }
    if (done) return true;
    if (timedOut && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        stalled_ = true;
        sysLog("sound server: no answer to %s within %.1f s; taken as not answering until it answers again",
               what, operationTimeout_);
        probe();
    } else {
        sysLog("sound server: %s failed: %s", what, pa_strerror(pa_context_errno(context_)));
    }
    return false;
}

void PulseAudioBackend::probe() {
    if (pa_operation* op = pa_context_get_server_info(context_, PulseCallbacks::probeAnswered, this))
        pa_operation_unref(op);
}

std::shared_ptr<PulseAudioBackend::Listing> PulseAudioBackend::fetchListing() {
    auto listing = std::make_shared<Listing>();
    PulseCallbacks::Fill fill{loop_, listing.get()};
    if (!runOperations(
            "device list",
            [&] { return pa_context_get_server_info(context_, PulseCallbacks::serverListed, &fill); },
            [&] { return pa_context_get_sink_info_list(context_, PulseCallbacks::sinkListed, &fill); },
            [&] { return pa_context_get_source_info_list(context_, PulseCallbacks::sourceListed, &fill); })) {
        return nullptr;
    }
    ++listings_;
    listing->makeEntries();
    return listing;
}

std::shared_ptr<const PulseAudioBackend::Listing> PulseAudioBackend::snapshot() {
    if (pa_threaded_mainloop_in_thread(loop_)) return nullptr;
    pa_threaded_mainloop_lock(loop_);
    const Clock::time_point now = Clock::now();
    std::shared_ptr<const Listing> listing = listing_;
    // Without the subscription no change would be seen, so nothing is reused.
    if (!listing || !subscribed_ || listingGeneration_ != generation_ ||
        now - listingTime_ > std::chrono::duration<double>(kListingReuseSeconds)) {
        const uint64_t generation = generation_;
        listing = fetchListing();
        listing_ = listing;
        listingGeneration_ = generation;
        listingTime_ = now;
    }
    pa_threaded_mainloop_unlock(loop_);
    return listing;
}

uint64_t PulseAudioBackend::listingCount() {
    pa_threaded_mainloop_lock(loop_);
    const uint64_t n = listings_;
    pa_threaded_mainloop_unlock(loop_);
    return n;
}

std::vector<DeviceDescription> PulseAudioBackend::devices() {
    std::vector<DeviceDescription> out;
    if (auto listing = snapshot()) {
        for (const Entry& e : listing->entries)
            out.push_back(e.description);
    }
    return out;
}

AudioDeviceID PulseAudioBackend::defaultDevice(bool input) {
    auto listing = snapshot();
    if (!listing) return kAudioObjectUnknown;
    const std::string& want = input ? listing->defaultSource : listing->defaultSink;
    if (want.empty()) return kAudioObjectUnknown;
    for (const Entry& e : listing->entries) {
        if ((input ? e.sourceName : e.sinkName) == want) return e.description.id;
    }
    // A default that is not listed (for example another sink's monitor) still has an id.
    return idForName(input ? "source" : "sink", want);
}

OSStatus PulseAudioBackend::setDefaultDevice(bool input, AudioDeviceID id) {
    if (pa_threaded_mainloop_in_thread(loop_)) return kAudioHardwareIllegalOperationError;
    auto listing = snapshot();
    if (!listing) return kAudioHardwareNotRunningError;
    const std::string name = listing->sinkOrSourceNamed(input, id);
    if (name.empty()) return kAudioHardwareBadDeviceError;
    SuccessResult result{loop_};
    pa_threaded_mainloop_lock(loop_);
    const bool answered = runOperations("default device change", [&] {
        return input ? pa_context_set_default_source(context_, name.c_str(), successCb, &result)
                     : pa_context_set_default_sink(context_, name.c_str(), successCb, &result);
    });
    const bool applied = answered && result.success && waitForDefault(input, name);
    const bool stalled = stalled_;
    forgetListing();
    pa_threaded_mainloop_unlock(loop_);
    if (!answered || stalled) return kAudioHardwareNotRunningError;
    return applied ? kAudioHardwareNoError : kAudioHardwareUnspecifiedError;
}

// PulseAudio reports a new default as soon as it confirms the change; PipeWire's PulseAudio interface
// confirms first and reports it once its session manager has taken it up. Waits for that, woken by
// the server's change events, so that a read after a switch sees the device switched to.
bool PulseAudioBackend::waitForDefault(bool input, const std::string& name) {
    LoopDeadline deadline(loop_, context_, kDefaultSettleSeconds);
    for (;;) {
        const uint64_t seen = serverChanges_;
        Listing now;
        PulseCallbacks::Fill fill{loop_, &now};
        if (!runOperations("default device check", [&] {
                return pa_context_get_server_info(context_, PulseCallbacks::serverListed, &fill);
            })) {
            return false;
        }
        const std::string& current = input ? now.defaultSource : now.defaultSink;
        if (current == name) return true;
        while (serverChanges_ == seen && !deadline.passed() &&
               PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
            pa_threaded_mainloop_wait(loop_);
        if (serverChanges_ == seen) {
            sysLog("sound server: the default %s is still \"%s\", not \"%s\"", input ? "input" : "output",
                   current.c_str(), name.c_str());
            return false;
        }
    }
}

OSStatus PulseAudioBackend::setBufferFrameSize(AudioDeviceID, bool, uint32_t) {
    // The server chooses its own latencies.
    return kAudioHardwareIllegalOperationError;
}

void PulseAudioBackend::setChangeSink(ChangeSink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

void PulseAudioBackend::notify(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    std::lock_guard lock(mutex_);
    if (sink_) sink_(object, address);
}

void PulseAudioBackend::onSubscription(int eventType, uint32_t index) {
    const int facility = eventType & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const int type = eventType & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility != PA_SUBSCRIPTION_EVENT_SERVER && facility != PA_SUBSCRIPTION_EVENT_SINK &&
        facility != PA_SUBSCRIPTION_EVENT_SOURCE) {
        return;
    }
    forgetListing();
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        ++serverChanges_;
        pa_threaded_mainloop_signal(loop_, 0);
        if (pa_operation* op = pa_context_get_server_info(context_, PulseCallbacks::serverChanged, this)) {
            pa_operation_unref(op);
        }
        return;
    }
    if (type == PA_SUBSCRIPTION_EVENT_NEW || type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices});
    } else if (type == PA_SUBSCRIPTION_EVENT_CHANGE) {
        pa_operation* op =
            facility == PA_SUBSCRIPTION_EVENT_SINK
                ? pa_context_get_sink_info_by_index(context_, index, PulseCallbacks::sinkChanged, this)
                : pa_context_get_source_info_by_index(context_, index, PulseCallbacks::sourceChanged, this);
        if (op) pa_operation_unref(op);
    }
}

bool PulseAudioBackend::hasLoopbackDevice() {
    auto listing = snapshot();
    if (!listing) return false;
    for (const Entry& e : listing->entries) {
        if (e.description.name == kLoopbackDescription) return true;
    }
    return false;
}

bool PulseAudioBackend::loadLoopbackDevice() {
    if (hasLoopbackDevice()) return true;
    if (pa_threaded_mainloop_in_thread(loop_)) return false;
    const std::string args = std::string("sink_name=") + kLoopbackSinkName +
                             " sink_properties='device.description=\"" + kLoopbackDescription + "\"'";
    IndexResult result{loop_};
    pa_threaded_mainloop_lock(loop_);
    runOperations("loading the loopback device", [&] {
        return pa_context_load_module(context_, "module-null-sink", args.c_str(), indexCb, &result);
    });
    forgetListing();
    pa_threaded_mainloop_unlock(loop_);
    return result.index != PA_INVALID_INDEX && hasLoopbackDevice();
}

}  // namespace quill::platform::coreaudio
