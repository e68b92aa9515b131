#include "app/Strings.h"

#include "platform/foundation/LocalizedStrings.h"

namespace quill {

void registerLocalizedStrings() {
    LocalizedStrings::sharedInstance().registerStrings({
        {"switch.pincode.type", "digits"},
        {"Button.Mirror", "Start Mirroring"},
        {"Button.StopMirror", "Stop Mirroring"},
        {"question.again", "Connect again?"},
        {"alert.receiver.not.reachable",
         "The receiver cannot be reached. Check that it is switched on and on the same network, then enter "
         "its pin code again."},
        {"alert.receiver.password.protected", "The receiver is protected by a password."},
        {"alert.receiver.exclusive", "The receiver is in use by another sender."},
        {"title.failed", "Mirroring could not start."},
        {"alert.screen.needs.x11", "Screen capture needs an X11 session"},
        {"alert.screen.needs.x11.info",
         "This desktop runs a Wayland session without a screen-sharing portal, so its screen cannot be "
         "captured and the receiver gets no picture. Install your desktop's portal (xdg-desktop-portal-gnome "
         "on GNOME, xdg-desktop-portal-kde on KDE) and log in again, or log out, choose \"GNOME on Xorg\" "
         "with the gear at the login screen, and log in again."},
        {"alert.screen.not.shared", "The screen was not shared"},
        {"alert.screen.refused.info",
         "The screen-sharing dialog was cancelled, so mirroring stopped. Start mirroring again and choose a "
         "screen to share it."},
        {"alert.screen.failed.info", "The desktop could not share the screen, so mirroring stopped: "},
    });
}

}  // namespace quill
