// Property-list reading on arbitrary bytes: never a crash, in the readers or in writing back what they
// gave. (Texts that XML cannot carry, such as control characters from a binary file, need not read back.)
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/foundation/PropertyList.h"

using quill::platform::foundation::readPropertyList;
using quill::platform::foundation::xmlPropertyList;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto plist = readPropertyList(std::span<const uint8_t>(data, size));
    if (plist) {
        std::string xml = xmlPropertyList(*plist);
        (void)readPropertyList(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(xml.data()), xml.size()));
    }
    return 0;
}
