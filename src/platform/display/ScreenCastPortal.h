#pragma once
// The conversation with the desktop's screen-cast portal (org.freedesktop.portal.ScreenCast) over the
// session bus: CreateSession, SelectSources (one monitor; the cursor drawn in when asked for and offered,
// else hidden; from version 4 kept until revoked, with the saved restore token), Start, which shows the
// desktop's dialog unless the token restores an earlier choice, and OpenPipeWireRemote. It ends with two
// things only, a PipeWire fd and the node to read, and then watches the session until the desktop ends it
// or close() does. Each answer is the Response signal of the call's request object, listened for before
// the call. The user may take as long as they like in the dialog; every other step has a deadline.
//
// Threads: the conversation runs on a thread of its own, which calls the handlers; they should only hand
// the news on. start() and close() may be called from any other thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quill::platform::display {

// What the desktop granted: the PipeWire remote (an fd the receiver owns) and the node of the monitor,
// with its size in the desktop's coordinates when the portal says (0 x 0 otherwise).
struct ScreenCastGrant {
    int fd = -1;
    uint32_t node = 0;
    int width = 0;
    int height = 0;
};

enum class ScreenCastEnd {
    Cancelled,  // the user cancelled the dialog
    Failed,     // the portal refused or failed, or did not answer in time
    Closed,     // the desktop ended a granted share
};

class ScreenCastPortal {
  public:
    struct Options {
        std::optional<std::string> busAddress;  // none: the user's session bus
        std::string restoreToken;               // from the last share; empty for none
        bool showCursor = true;
        std::string parentWindow;  // "x11:<hex id>" of the window asking, or empty
        double callTimeout = 25;   // seconds for each step but the dialog
    };
    struct Handlers {
        std::function<void(ScreenCastGrant)> granted;
        // Once, unless close() came first: the request ended without a grant, or the share did.
        std::function<void(ScreenCastEnd, const std::string& reason)> ended;
        // A new restore token to keep for the next share.
        std::function<void(const std::string& token)> token;
    };

    static std::shared_ptr<ScreenCastPortal> start(Options options, Handlers handlers);
    ~ScreenCastPortal();

    // Ends any wait at once, closes the open request and the session, and joins the thread. No handler
    // runs after it returns. Idempotent.
    void close();

  private:
    struct Impl;
    explicit ScreenCastPortal(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The version of the ScreenCast interface of the desktop portal on the bus (none: the user's session
// bus), asked within timeoutSeconds; none when no portal with that interface answers.
std::optional<uint32_t> screenCastPortalVersion(const std::optional<std::string>& busAddress,
                                                double timeoutSeconds);

}  // namespace quill::platform::display
