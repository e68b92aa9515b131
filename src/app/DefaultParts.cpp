#include "app/MainNib.h"
#include "app/pincode/PincodeChannel.h"
#include "session/MirrorChannel.h"

namespace quill {

ShellParts defaultShellParts() {
    ShellParts parts;
    // The look-up server named by QUILLARAN_LOOKUP_HOST and QUILLARAN_LOOKUP_PORT.
    parts.makePincodeChannel = [] {
        return std::make_shared<PincodeChannelLookup>(PincodeChannel::create());
    };
    parts.makeMirrorChannel = [] { return std::make_shared<MirrorChannelSession>(MirrorChannel::create()); };
    return parts;
}

}  // namespace quill
