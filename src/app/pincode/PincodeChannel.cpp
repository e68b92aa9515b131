#include "app/pincode/PincodeChannel.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <system_error>

#include "messages/CastCommand.h"
#include "platform/foundation/SysLog.h"

namespace quill {

namespace dispatch = platform::dispatch;
using net::TcpSocket;

namespace {

constexpr const char* kSocketQueueLabel = "com.kelpa.orvellomac.socketqueue";
constexpr long kTag = 0;

}  // namespace

std::string lookupHostFrom(const char* value) {
    if (value && *value) return value;
    return "localhost";
}

uint16_t lookupPortFrom(const char* value) {
    if (!value) return PincodeChannel::kDefaultLookupPort;
    const std::string text(value);
    unsigned long port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || port == 0 || port > 65535) {
        sysLogString("QUILLARAN_LOOKUP_PORT=\"" + text + "\" is no port; using " +
                     std::to_string(PincodeChannel::kDefaultLookupPort));
        return PincodeChannel::kDefaultLookupPort;
    }
    return static_cast<uint16_t>(port);
}

std::string lookupHostFromEnvironment() {
    return lookupHostFrom(std::getenv("QUILLARAN_LOOKUP_HOST"));
}

uint16_t lookupPortFromEnvironment() {
    return lookupPortFrom(std::getenv("QUILLARAN_LOOKUP_PORT"));
}

// ---- Creation ----

std::shared_ptr<PincodeChannel> PincodeChannel::create() {
    return create(lookupHostFromEnvironment(), lookupPortFromEnvironment(), std::cout);
}

std::shared_ptr<PincodeChannel> PincodeChannel::create(std::string host, uint16_t port, std::ostream& out,
                                                       double replyTimeout) {
    auto channel = std::make_shared<PincodeChannel>(Private{}, std::move(host), port, out, replyTimeout);
    std::weak_ptr<net::TcpSocketDelegate> asDelegate =
        std::shared_ptr<net::TcpSocketDelegate>(channel, static_cast<net::TcpSocketDelegate*>(channel.get()));
    channel->pincodeSocket_ = TcpSocket::create();
    channel->pincodeSocket_->setDelegate(asDelegate, channel->socketQueue_);
    return channel;
}

PincodeChannel::PincodeChannel(Private, std::string host, uint16_t port, std::ostream& out,
                               double replyTimeout)
    : host_(std::move(host)),
      port_(port),
      out_(out),
      replyTimeout_(replyTimeout),
      socketQueue_(dispatch::Queue::serial(kSocketQueueLabel)) {}

PincodeChannel::~PincodeChannel() = default;

void PincodeChannel::setPincodeDelegate(std::weak_ptr<PincodeDelegate> delegate) {
    std::lock_guard lock(mutex_);
    pincodeDelegate_ = std::move(delegate);
}

std::shared_ptr<PincodeDelegate> PincodeChannel::pincodeDelegate() const {
    std::lock_guard lock(mutex_);
    return pincodeDelegate_.lock();
}

std::optional<std::string> PincodeChannel::pincode() const {
    std::lock_guard lock(mutex_);
    return pincode_;
}

void PincodeChannel::printLine(const std::string& line) {
    out_ << line << std::endl;
}

// ---- The request ----

Bytes PincodeChannel::makeRequest(const std::optional<std::string>& pin) {
    const Bytes message = CastCommand{RequestCmd{}, QueryServerRequestData{pin}}.makeData();
    const auto length = static_cast<uint32_t>(message.size());
    Bytes request{uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
    request.insert(request.end(), message.begin(), message.end());
    return request;
}

void PincodeChannel::findReceiverByPincode(const std::string& pin) {
    sysLogString("findReceiverByPincode:" + pin);
    // All look-up state lives on the socket queue, where the socket's callbacks run too.
    socketQueue_->async([weak = weak_from_this(), pin] {
        if (auto self = weak.lock()) self->startLookup(pin);
    });
}

void PincodeChannel::startLookup(const std::string& pin) {
    if (connectionOpen_) {
        pendingPins_.push_back(pin);
        return;
    }
    Error error;
    if (!pincodeSocket_->connectToHost(host_, port_, kConnectTimeout, &error)) {
        // Refused at once (for example an empty host name).
        printLine(error.description());
        if (auto delegate = pincodeDelegate()) delegate->onConnectServerFailed();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        pincode_ = pin;
    }
    received_.clear();
    outcomeReported_ = false;
    connectionOpen_ = true;
}

void PincodeChannel::socketDidConnectToHost(TcpSocket& sock, const std::string& host, uint16_t port) {
    sysLogString("didConnectToHost" + host + ":" + std::to_string(port));
    if (auto delegate = pincodeDelegate()) delegate->onConnectServerSuccess();

    Bytes request;
    try {
        request = makeRequest(pincode());
    } catch (const FlatBuildError& e) {
        // The server gets nothing, so no reply will come: end the look-up here.
        printLine(e.what());
        reportFailed();
        sock.disconnect();
        return;
    }
    for (int i = 0; i < 4; ++i)
        printLine(std::to_string(request[i]));
    sock.writeData(Bytes(request.begin(), request.begin() + 4), kWriteTimeout, kTag);
    sock.writeData(Bytes(request.begin() + 4, request.end()), kWriteTimeout, kTag);

    const auto timeout = std::chrono::duration<double>(replyTimeout_);
    replyDeadline_ =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
    sock.readDataWithTimeout(replyTimeout_, kTag);
}

// ---- The reply ----

PincodeChannel::Reply PincodeChannel::readReply(const Bytes& received, const std::string& pincode) {
    Reply reply;
    if (received.size() < 4) return reply;
    const uint32_t length = (uint32_t(received[0]) << 24) | (uint32_t(received[1]) << 16) |
                            (uint32_t(received[2]) << 8) | uint32_t(received[3]);
    if (length <= kMaxReplyLength && received.size() - 4 < length) return reply;  // the rest is on its way
    sysLogString("data len=" + std::to_string(length));

    reply.kind = Reply::Kind::unableToFind;
    if (length > kMaxReplyLength) {
        sysLogString("reply from server too long");
        return reply;
    }
    // Parsed only once whole: a message cut short could read as found with addresses missing.
    const auto command = CastCommand::from(std::span<const uint8_t>(received).subspan(4, length));
    if (!command || !command->cmd) {
        sysLogString("unreadable reply from server");
        return reply;
    }
    if (command->cmdAs<RequestCmd>()) {
        sysLogString("got request from server");
        return reply;
    }
    sysLogString("got response from server");
    const auto& status = command->cmdAs<ResponseCmd>()->statusCode;
    if (!status) {
        sysLogString("reply from server has no status");
        return reply;
    }
    if (*status != StatusCode::OK) {
        sysLogString("unable to find receiver by pincode");
        return reply;
    }
    sysLogString("server response OK");
    const auto* data = command->dataAs<QueryServerResponseData>();
    if (!data || data->ipList.empty()) {
        // Nothing to connect to.
        sysLogString("reply from server has no receiver address");
        return reply;
    }
    reply.kind = Reply::Kind::found;
    reply.receiver =
        ReceiverObject{data->name.value_or(""), data->quillaranVersion.value_or(""), data->ipList, pincode};
    return reply;
}

void PincodeChannel::socketDidReadData(TcpSocket& sock, const Bytes& data, long) {
    sysLogString("socket did read data:" + std::to_string(data.size()));
    if (outcomeReported_) return;
    received_.insert(received_.end(), data.begin(), data.end());
    const Reply reply = readReply(received_, pincode().value_or(""));
    if (reply.kind == Reply::Kind::incomplete) {
        // The server writes in pieces, or the network split its reply: wait for the rest within the
        // reply's time.
        const auto left = std::chrono::duration<double>(replyDeadline_ - std::chrono::steady_clock::now());
        sock.readDataWithTimeout(std::max(left.count(), 0.001), kTag);
        return;
    }
    reportReply(reply);
    sock.disconnect();
}

void PincodeChannel::reportReply(const Reply& reply) {
    if (outcomeReported_) return;
    outcomeReported_ = true;
    auto delegate = pincodeDelegate();
    if (!delegate) return;
    if (reply.kind == Reply::Kind::found) {
        delegate->onFindReceiverSuccess(*reply.receiver);
    } else {
        delegate->onUnableToFindReceiver();
    }
}

void PincodeChannel::reportFailed() {
    if (outcomeReported_) return;
    outcomeReported_ = true;
    if (auto delegate = pincodeDelegate()) delegate->onConnectServerFailed();
}

// ---- Closing ----

void PincodeChannel::socketDidCloseReadStream(TcpSocket&) {
    sysLogString("socketDidCloseReadStream");
    printLine("socketDidCloseReadStream");
}

void PincodeChannel::socketDidDisconnect(TcpSocket*, const std::optional<Error>& err) {
    sysLogString("socketDidDisconnect:" + (err ? err->description() : std::string("nil")));
    // A close the client asked for, or one after the reply was handled, ends nothing more.
    if (err) reportFailed();
    connectionOpen_ = false;
    // A pin refused at once has its report already; go on with the next.
    while (!connectionOpen_ && !pendingPins_.empty()) {
        const std::string next = std::move(pendingPins_.front());
        pendingPins_.pop_front();
        startLookup(next);
    }
}

}  // namespace quill
