#pragma once
// A connection of this process to an X server that nobody waits on for long and that outlives the
// server. It is opened within a deadline; calls made while a Watch lives are cut off at its deadline;
// cut() makes a call under way return at once, from any thread. When the server goes away (it ended, or
// the link to it broke), Xlib's calls on the connection fail from then on instead of ending the process,
// which is what Xlib does by default; the loss is logged and reported to the handler set with
// setX11ServerLostHandler() (Display.h).
//
// Xlib's handlers are process-wide: connections opened elsewhere (the window system's) keep the
// handlers they had before, which this layer calls in turn for them.
//
// Once a connection broke, Xlib keeps it locked to the thread whose call met the break: every other
// thread's call on it would wait for ever. That thread alone closes it (a close from elsewhere leaves
// it open rather than hang, and says so).
//
// At most one opening of a display may hang on a server that does not answer: until it returns,
// further openings of that display fail at once (so a caller that retries starts no more threads).

#include <memory>
#include <mutex>
#include <string>

typedef struct _XDisplay Display;

namespace quill::platform::display {

class X11Connection {
  public:
    // How long a caller waits for the X server: to open a connection, and for the calls under a Watch.
    static constexpr double kAnswerDeadline = 2.0;

    // name: empty for $DISPLAY. Null when no server answers in time (logged) or there is none.
    static std::unique_ptr<X11Connection> open(const std::string& name, double deadline = kAnswerDeadline);
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    // One thread at a time makes calls on it.
    Display* get() const;
    // True once the server went away or the connection was cut: calls fail at once from then on.
    bool broken() const;
    // Any thread, while the connection exists: breaks it, so that a call waiting on the server returns
    // at once. The calls that follow fail; this is not reported as a loss. Nothing after close().
    void cut();
    // Closes the connection now (the destructor does it otherwise). Once the connection broke, Xlib
    // leaves it to the thread that met the break: close it there.
    void close();

    // While it lives, the connection is cut when the calls made meanwhile are not over within the
    // deadline (logged), so that the caller gets its answer, a failure, in time.
    class Watch {
      public:
        explicit Watch(X11Connection& connection, double seconds = kAnswerDeadline);
        ~Watch();
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

      private:
        struct Timer;
        std::shared_ptr<Timer> timer_;
    };

    struct State;

  private:
    explicit X11Connection(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace quill::platform::display
