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
         "This desktop runs a Wayland session, whose screen cannot be captured, so the receiver gets no "
         "picture. Log out, choose \"GNOME on Xorg\" with the gear at the login screen, and log in again."},
    });
}

}  // namespace quill
