#include "platform/display/X11Connection.h"

#include <X11/Xlib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/display/Display.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"

namespace quill::platform::display {

struct X11Connection::State {
    std::string name;  // as the log shows it
    Display* dpy = nullptr;
    int fd = -1;
    std::mutex mutex;  // orders cuts against the close; guards the two fields below
    bool closed = false;
    bool leftOpen = false;     // broke on another thread than the one closing it
    std::thread::id brokenOn;  // the thread that met the break, which Xlib leaves the connection to
    std::atomic<bool> broken{false};
    std::atomic<bool> cutHere{false};  // broken on purpose: no news
};

namespace {

using State = X11Connection::State;

// What the process-wide handlers need. Never destroyed: an opening left hanging may come back at any
// time, even while the process ends.
struct Registry {
    std::mutex mutex;
    std::map<Display*, int> ours;   // our open connections (a pointer may come again after a close)
    std::set<std::string> hanging;  // displays whose last opening did not come back in time
    std::function<void(const std::string&)> lost;
    std::atomic<XIOErrorHandler> previousIOHandler{nullptr};
    std::atomic<XErrorHandler> previousErrorHandler{nullptr};
};

Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

void closeState(State& state);

// An opening of a connection, made on a thread of its own and waited for with a deadline.
struct Opening {
    std::string shown;  // the display's name
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    std::shared_ptr<State> state;  // null when it failed

    // On the opening thread, once XOpenDisplay has returned (or cannot): hands the result over, or
    // lets it go when the caller stopped waiting.
    void finish(std::shared_ptr<State> result) {
        std::unique_lock lock(mutex);
        if (!abandoned) {
            state = std::move(result);
            finished = true;
            done.notify_all();
            return;
        }
        lock.unlock();
        if (result) closeState(*result);
        Registry& r = registry();
        std::lock_guard hangingLock(r.mutex);
        r.hanging.erase(shown);
    }
};

// The opening this thread is making, while XOpenDisplay runs.
thread_local Opening* tOpening = nullptr;

bool isOurs(Display* dpy) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.ours.count(dpy) > 0;
}

// A failed request (a grab outside the screen after a resize, a vanished extension) only fails that
// request on our connections; Xlib's default would end the process.
int onXError(Display* dpy, XErrorEvent* event) {
    if (isOurs(dpy)) {
        char text[128] = {};
        XGetErrorText(dpy, event->error_code, text, sizeof text);
        sysLog("X11 request %d failed: %s", event->request_code, text);
        return 0;
    }
    XErrorHandler previous = registry().previousErrorHandler.load();
    return previous ? previous(dpy, event) : 0;
}

[[noreturn]] void parkOpening();

// For our connections the exit handler below takes over once this returns; the others get the handler
// they had.
int onIOError(Display* dpy) {
    if (isOurs(dpy)) return 0;
    if (tOpening) parkOpening();
    XIOErrorHandler previous = registry().previousIOHandler.load();
    return previous ? previous(dpy) : 0;
}

// Called in place of Xlib's exit once an I/O error handler has returned; the failing call returns.
void onIOErrorExit(Display*, void* data) {
    auto* state = static_cast<State*>(data);
    {
        std::lock_guard lock(state->mutex);
        state->brokenOn = std::this_thread::get_id();
    }
    const bool wasBroken = state->broken.exchange(true);
    if (wasBroken || state->cutHere) return;
    sysLog("X11 connection to %s lost: the X server has gone away", state->name.c_str());
    std::function<void(const std::string&)> lost;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        lost = r.lost;
    }
    if (lost) lost(state->name);
}

// Ours on top, whatever was installed since (the window system installs its own once it connects).
void installHandlers() {
    Registry& r = registry();
    XIOErrorHandler io = XSetIOErrorHandler(onIOError);
    if (io != onIOError) r.previousIOHandler.store(io);
    XErrorHandler error = XSetErrorHandler(onXError);
    if (error != onXError) r.previousErrorHandler.store(error);
}

std::shared_ptr<State> adopt(Display* dpy, const std::string& name) {
    auto state = std::make_shared<State>();
    state->name = name;
    state->dpy = dpy;
    state->fd = ConnectionNumber(dpy);
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        ++r.ours[dpy];
    }
    XSetIOErrorExitHandler(dpy, onIOErrorExit, state.get());
    return state;
}

// The server went away in the middle of an opening, before its connection had our exit handler: Xlib
// would end the process once this handler returns, so it never returns. The opening fails at once,
// and its thread waits for ever (other openings are not held up by it).
void parkOpening() {
    Opening* opening = tOpening;
    tOpening = nullptr;
    sysLog("X server %s went away while a connection to it was being opened", opening->shown.c_str());
    opening->finish(nullptr);
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock lock(mutex);
    never.wait(lock, [] { return false; });
    std::abort();  // not reached
}

void cutState(State& state) {
    std::lock_guard lock(state.mutex);
    if (state.closed) return;
    state.cutHere = true;
    state.broken = true;
    ::shutdown(state.fd, SHUT_RDWR);
}

void closeState(State& state) {
    {
        std::lock_guard lock(state.mutex);
        if (state.closed) return;
        state.closed = true;
        if (state.brokenOn != std::thread::id() && state.brokenOn != std::this_thread::get_id()) {
            sysLog("X11 connection to %s broke on another thread; left open rather than wait for it",
                   state.name.c_str());
            state.leftOpen = true;
            return;
        }
    }
    // What fails while closing is no news.
    state.cutHere = true;
    XCloseDisplay(state.dpy);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.ours.find(state.dpy);
    if (it != r.ours.end() && --it->second == 0) r.ours.erase(it);
}

}  // namespace

void setX11ServerLostHandler(std::function<void(const std::string&)> handler) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.lost = std::move(handler);
}

std::unique_ptr<X11Connection> X11Connection::open(const std::string& name, double deadline) {
    installHandlers();
    const char* shownName = XDisplayName(name.empty() ? nullptr : name.c_str());
    const std::string shown = shownName ? shownName : name;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.hanging.count(shown)) return nullptr;
    }
    // XOpenDisplay has no deadline of its own: it runs on a thread of its own, which is left to finish
    // alone when the server does not answer in time.
    auto opening = std::make_shared<Opening>();
    opening->shown = shown;
    try {
        std::thread([opening, name] {
            foundation::setCurrentThreadName("x11-open");
            tOpening = opening.get();
            Display* dpy = XOpenDisplay(name.empty() ? nullptr : name.c_str());
            tOpening = nullptr;
            opening->finish(dpy ? adopt(dpy, opening->shown) : nullptr);
        }).detach();
    } catch (const std::system_error& e) {
        sysLog("cannot open X display %s: %s", shown.c_str(), e.what());
        return nullptr;
    }
    std::unique_lock lock(opening->mutex);
    if (!opening->done.wait_for(lock, std::chrono::duration<double>(deadline),
                                [&] { return opening->finished; })) {
        opening->abandoned = true;
        {
            Registry& r = registry();
            std::lock_guard hangingLock(r.mutex);
            r.hanging.insert(shown);
        }
        sysLog("X server %s does not answer within %g s; no display until it does", shown.c_str(), deadline);
        return nullptr;
    }
    if (!opening->state) return nullptr;
    return std::unique_ptr<X11Connection>(new X11Connection(std::move(opening->state)));
}

X11Connection::~X11Connection() {
    closeState(*state_);
    std::lock_guard lock(state_->mutex);
    // A connection left open still has the state as its exit handler's data: the state stays too.
    if (state_->leftOpen) new std::shared_ptr<State>(state_);
}

Display* X11Connection::get() const {
    return state_->dpy;
}

bool X11Connection::broken() const {
    return state_->broken.load();
}

void X11Connection::cut() {
    cutState(*state_);
}

void X11Connection::close() {
    closeState(*state_);
}

struct X11Connection::Watch::Timer {
    std::mutex mutex;
    bool over = false;
};

X11Connection::Watch::Watch(X11Connection& connection, double seconds) : timer_(std::make_shared<Timer>()) {
    std::weak_ptr<State> weak = connection.state_;
    dispatch::Queue::global()->after(seconds, [weak, timer = timer_, seconds] {
        std::lock_guard lock(timer->mutex);
        if (timer->over) return;
        auto state = weak.lock();
        if (!state || state->broken) return;
        sysLog("X server %s did not answer within %g s; its connection is cut", state->name.c_str(), seconds);
        cutState(*state);
    });
}

X11Connection::Watch::~Watch() {
    std::lock_guard lock(timer_->mutex);
    timer_->over = true;
}

}  // namespace quill::platform::display
