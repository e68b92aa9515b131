#pragma once
// The receiver a pin code led to, as the pin view hands it to the main window and the session view.

#include <string>
#include <vector>

namespace quill {

struct ReceiverObject {
    // The receiver's name; empty when the source gives none.
    std::string name;
    // The receiver's version text; empty when the source gives none.
    std::string version;
    // The receiver's IPv4 addresses in dotted decimal text, in the order received.
    std::vector<std::string> ipList;
    // The pin code that found this receiver.
    std::string pincode;

    bool operator==(const ReceiverObject&) const = default;
};

}  // namespace quill
