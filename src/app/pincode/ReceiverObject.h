#pragma once
// The receiver found for a pin code, handed from the pin view to the session view.

#include <string>
#include <vector>

namespace quill {

struct ReceiverObject {
    std::string name;
    std::string version;
    std::vector<std::string> ipList;
    std::string pincode;
};

}  // namespace quill
