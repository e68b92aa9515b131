#pragma once
// The application's own connection to the window server (the X server that shows its windows). When
// that server goes away, Qt says so in a warning and then ends the process itself, on the main thread,
// without returning to the event loop; the handler set here runs first, so that the application can
// end through its own quit path.

#include <functional>

namespace quill::platform::appkit {

// Called once, on the main thread, when the window server's connection has broken; the process may end
// as soon as it returns. Needs a QGuiApplication; on platforms without an X server it is never called.
// Clear it (an empty handler) before the QGuiApplication goes.
void setWindowServerLostHandler(std::function<void()> handler);

}  // namespace quill::platform::appkit
