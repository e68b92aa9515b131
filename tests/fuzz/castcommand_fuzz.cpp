// Reads a CastCommand from arbitrary bytes: nothing may crash, leak or read out of bounds, and whatever
// is read must write and read back to the same tree (a status it does not know comes back as NONE). The
// look-up client reads the same bytes as a reply: it finds a receiver only in an OK response carrying
// addresses, and then exactly those addresses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "app/pincode/PincodeChannel.h"
#include "messages/CastCommand.h"
#include "platform/foundation/SysLog.h"

namespace {

void checkLookUpReply(const uint8_t* data, size_t size, const std::optional<quill::CastCommand>& command) {
    // The reply handling logs every step; the log itself is not under test here.
    static const bool quiet = [] {
        quill::platform::foundation::setLogSink([](const std::string&) {});
        return true;
    }();
    (void)quiet;

    // As the server would send it: the length, then the message.
    quill::Bytes reply{uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
    reply.insert(reply.end(), data, data + size);
    using Kind = quill::PincodeChannel::Reply::Kind;
    const auto outcome = quill::PincodeChannel::readReply(reply, "123456");
    if (outcome.kind == Kind::incomplete) std::abort();
    if (outcome.kind != Kind::found) {
        if (outcome.receiver) std::abort();
        return;
    }
    const auto* response = command ? command->cmdAs<quill::ResponseCmd>() : nullptr;
    const auto* found = command ? command->dataAs<quill::QueryServerResponseData>() : nullptr;
    if (!response || response->statusCode != quill::StatusCode::OK || !found || found->ipList.empty())
        std::abort();
    if (!outcome.receiver || outcome.receiver->ipList != found->ipList ||
        outcome.receiver->pincode != "123456")
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto command = quill::CastCommand::from(std::span<const uint8_t>(data, size));
    checkLookUpReply(data, size, command);
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

    // A stored status the reader does not know reads as no status, which is written as NONE, the default.
    quill::CastCommand expected = *command;
    if (auto* response = expected.cmd ? std::get_if<quill::ResponseCmd>(&*expected.cmd) : nullptr;
        response && !response->statusCode)
        response->statusCode = quill::StatusCode::NONE;
    const quill::Bytes rewritten = command->makeData();
    auto again = quill::CastCommand::from(rewritten);
    if (!again || !(*again == expected)) std::abort();
    return 0;
}
