#pragma once
// The application's whole run, as main starts it: the Qt application with the dispatch main queue
// drained by its event loop, the main window and its controller, the status item, and one quit path
// that the user's quit, SIGINT and SIGTERM, and the loss of the X server share.

#include <functional>

#include "app/MainNib.h"

namespace quill {

// The exit status after the X server went away while the application ran.
inline constexpr int kDisplayLostExitStatus = 1;

// Runs the application over parts until it quits; returns the process's exit status: 0, or
// kDisplayLostExitStatus. When the X server goes away, whichever connection notices first (the window
// server's, after which Qt ends the process at once, or a screen-capture connection), the quit path
// runs: the session is disconnected (mirroring stopped, connections closed, sound devices put back).
// Once the event loop has ended, or when Qt is about to end the process from inside it after the window
// server's loss, the power manager of the application's delegate lets its backend go (everything it holds
// given back, its X and bus connections closed), and the process ends within a few seconds even if the
// window server no longer answers the windows' teardown. launched: called on the main thread once the
// window shows, before the event loop runs.
int runApplication(int& argc, char** argv, ShellParts parts, std::function<void(MainNib&)> launched = {});

}  // namespace quill
