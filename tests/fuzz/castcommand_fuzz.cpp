// Reads a CastCommand from arbitrary bytes: nothing may crash, leak or read out of bounds, and whatever
// is read must write and read back to the same tree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "messages/CastCommand.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto command = quill::CastCommand::from(std::span<const uint8_t>(data, size));
    if (size < 4) {
        if (command) std::abort();
        return 0;
    }
    if (!command) std::abort();

    // The zero-copy views walk the same bytes.
    quill::FlatMemoryReader reader(data, size);
    if (auto view = quill::CastCommand::Direct<>::make(reader)) {
        if (auto d = view->data()) {
            if (auto* reply = std::get_if<quill::QueryServerResponseData::Direct<>>(&*d)) {
                size_t n = 0;
                for (auto element : reply->ipList())
                    n += quill::flatText(element).has_value();
                if (n > size / 4) std::abort();
            }
        }
    }

    const quill::Bytes rewritten = command->makeData();
    auto again = quill::CastCommand::from(rewritten);
    if (!again || !(*again == *command)) std::abort();
    return 0;
}
