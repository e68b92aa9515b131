#pragma once
// A desktop for the screen-cast tests, started on demand: a private session bus on which Debian's
// xdg-desktop-portal frontend and its permission store run as on a desktop, with a stand-in for the
// desktop's screen-sharing dialog only. The stand-in is an org.freedesktop.impl.portal.ScreenCast backend
// served here; the frontend picks it through a `.portal` file and XDG_CURRENT_DESKTOP. A client talks to the
// frontend exactly as to a real desktop's (busAddress()); the frontend opens the PipeWire remote it hands out
// on the private PipeWire whose runtime folder the test passes in, and keeps restore tokens in the
// permission store, whose data lives in this desktop's own temporary home.
//
// The stand-in offers monitors and windows (AvailableSourceTypes 1|2), hidden and embedded cursors (1|2),
// version 4. It records each Start with the options of the session's SelectSources, and answers it as
// scripted by setAnswer(): Grant gives one monitor stream (the scripted node and size), the persist mode
// asked for and, when that is not 0, restore data of its own ("quilltest", 1, <u node>), which the frontend
// turns into a restore token. A SelectSources that hands that restore data back is a remembered choice: the
// Start is granted at once, whatever the script says, and recorded as restored. Hold keeps the Start
// unanswered, as an open dialog, until the test answers it or the frontend closes it (the client's
// Request.Close or Session.Close reach the backend as the impl Request's or Session's Close).
//
// What the frontend (xdg-desktop-portal 1.16) does around the stand-in, as these tests see it:
// - It names a process that runs outside a sandbox with the app id "" (Start::appId), and keeps restore
//   tokens for it all the same.
// - A restore token is good for one SelectSources: each granted Start with persist mode 1 or 2 hands out the
//   token for the next time (the same string again after a restore), a Start with persist mode 0 uses it
//   up, and a persist mode 1 token is gone once its client has left the bus. A token that is not a UUID fails
//   SelectSources with a D-Bus error; an unknown UUID is ignored (the dialog comes).
// - After a Start answered 1 or 2 the frontend closes the session itself: the client sees Session.Closed,
//   its Session object is gone and the stand-in sees Session.Close. After the client closes a Start's
//   request, the session goes the same way.
// - It gives a held Start as long as it takes (no time-out of its own within 40 s).
// - OpenPipeWireRemote fails ("No streams available") before a granted Start; after one, the remote it
//   hands out shows the granted node only.
//
// When something cannot start (a program missing, the frontend not answering in time), available() is
// false and failure() says why: tests skip.
//
// Threads: the stand-in serves the bus on a thread of its own (sd-event, woken by an eventfd for the test's
// requests). Every method may be called from any thread; those that touch the bus hand their work to that
// thread and wait for it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quill::testing {

class PortalDesktop {
  public:
    // Starts the bus, the stand-in chooser, the permission store and the frontend, and waits at most
    // startTimeoutSeconds until the frontend offers ScreenCast version 4 or later with the stand-in's source
    // types. pipewireRuntimeDir: the folder holding the private PipeWire's socket (pipewire-0).
    explicit PortalDesktop(const std::string& pipewireRuntimeDir, double startTimeoutSeconds = 10.0);
    ~PortalDesktop();  // ends every process it started, each within a few seconds
    PortalDesktop(const PortalDesktop&) = delete;
    PortalDesktop& operator=(const PortalDesktop&) = delete;

    bool available() const;
    const std::string& failure() const;
    // "unix:path=...": the session bus a client under test connects to.
    const std::string& busAddress() const;

    enum class Answer {
        Grant,   // response 0: one monitor stream
        Cancel,  // response 1: the user dismissed the dialog
        Fail,    // response 2: the desktop failed
        Hold,    // no answer until answerHeld(), or until the frontend closes the dialog
    };
    // How the following Starts are answered (Grant at first, node 0, 1920x1080).
    void setAnswer(Answer answer, uint32_t node = 0, int width = 1920, int height = 1080);

    // Whether the stand-in still knows the choices it handed out as restore data (true at first). When
    // false, restore data is ignored and the scripted answer applies, as on a desktop whose monitor is gone.
    void setRemembersChoices(bool remembers);

    // One Start that reached the stand-in, with what the session's SelectSources asked for.
    struct Start {
        std::string appId;         // as the frontend names the client
        std::string parentWindow;  // as the client passed it
        uint32_t types = 0;        // source types asked for (0: the option was absent)
        bool multiple = false;
        uint32_t cursorMode = 0;  // 0: the option was absent
        uint32_t persistMode = 0;
        bool restoreData = false;  // SelectSources came with restore data
        bool restored = false;     // ... of this stand-in, remembered: granted at once, without a dialog
    };
    // Whether n Starts have arrived within timeoutSeconds.
    bool waitForStarts(size_t n, double timeoutSeconds);
    std::vector<Start> starts() const;

    // Answers the held Start (Grant, Cancel or Fail); false when no Start is held.
    bool answerHeld(Answer answer);
    // Whether the held Start was closed, unanswered by the test, within timeoutSeconds: the frontend closed
    // its request or its session, or the share ended (endShares).
    bool waitForHeldClosed(double timeoutSeconds);

    // The desktop ends every open share, as its "Stop sharing" does: each open session emits Closed.
    void endShares();
    // Sessions created and not yet closed by either side.
    size_t openSessions() const;
    bool waitForSessionsClosed(double timeoutSeconds);
    // The impl Session.Close calls so far (a client's Session.Close, or its leaving the bus, ends in one).
    size_t sessionCloseCalls() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quill::testing
