#include "support/TestLookupServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

namespace quill::testing {

namespace {

constexpr int kPollMs = 20;
// No test waits longer than this for one side of the exchange.
constexpr auto kPatience = std::chrono::seconds(10);

}  // namespace

std::vector<uint8_t> TestLookupServer::framed(const std::vector<uint8_t>& message) {
    const auto length = static_cast<uint32_t>(message.size());
    std::vector<uint8_t> out(4 + message.size());
    out[0] = uint8_t(length >> 24);
    out[1] = uint8_t(length >> 16);
    out[2] = uint8_t(length >> 8);
    out[3] = uint8_t(length);
    std::copy(message.begin(), message.end(), out.begin() + 4);
    return out;
}

std::vector<uint8_t> TestLookupServer::replyFor(const CastCommand& command) {
    return framed(command.makeData());
}

std::vector<uint8_t> TestLookupServer::foundReply(const std::vector<std::string>& ipList,
                                                  std::optional<std::string> name,
                                                  std::optional<std::string> version) {
    return replyFor(CastCommand{ResponseCmd{StatusCode::OK},
                                QueryServerResponseData{ipList, std::move(name), std::move(version)}});
}

std::vector<uint8_t> TestLookupServer::statusReply(StatusCode status) {
    return replyFor(CastCommand{ResponseCmd{status}, std::nullopt});
}

TestLookupServer::TestLookupServer() : thread_([this] { serve(); }) {}

TestLookupServer::~TestLookupServer() {
    stop_ = true;
    thread_.join();
}

void TestLookupServer::refuseConnections() {
    std::unique_lock lock(mutex_);
    refuse_ = true;
    // The serving thread owns the listener; it closes it on its next turn.
    changed_.wait_for(lock, kPatience, [this] { return !listener_.isOpen(); });
}

void TestLookupServer::setMode(Mode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
}

void TestLookupServer::setReply(std::vector<uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(bytes);
}

void TestLookupServer::setReplySplit(size_t splitAt) {
    setReplySplits(splitAt > 0 ? std::vector<size_t>{splitAt} : std::vector<size_t>{});
}

void TestLookupServer::setReplySplits(std::vector<size_t> splitPoints, double pauseSeconds) {
    std::lock_guard lock(mutex_);
    splitPoints_ = std::move(splitPoints);
    splitPause_ = pauseSeconds;
}

void TestLookupServer::setCloseAfterReply(bool close) {
    std::lock_guard lock(mutex_);
    closeAfterReply_ = close;
}

std::vector<TestLookupServer::Connection> TestLookupServer::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool TestLookupServer::waitFor(const std::function<bool(const std::vector<Connection>&)>& pred,
                               double seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return pred(connections_); });
}

bool TestLookupServer::waitForClientClosed(size_t n, double seconds) {
    return waitFor(
        [n](const std::vector<Connection>& all) {
            size_t closed = 0;
            for (const auto& c : all)
                closed += c.clientClosed;
            return closed >= n;
        },
        seconds);
}

void TestLookupServer::update(const std::function<void(Connection&)>& change) {
    {
        std::lock_guard lock(mutex_);
        change(connections_.back());
    }
    changed_.notify_all();
}

void TestLookupServer::serve() {
    while (!stop_) {
        {
            std::lock_guard lock(mutex_);
            if (refuse_ && listener_.isOpen()) {
                listener_.close();
                changed_.notify_all();
            }
        }
        int fd = listener_.accept(kPollMs);
        if (fd < 0) continue;
        {
            std::lock_guard lock(mutex_);
            connections_.emplace_back();
        }
        changed_.notify_all();
        handle(fd);
        closeFd(fd);
    }
}

void TestLookupServer::handle(int fd) {
    Mode mode;
    std::vector<uint8_t> reply;
    std::vector<size_t> splitPoints;
    double splitPause;
    bool closeAfterReply;
    {
        std::lock_guard lock(mutex_);
        mode = mode_;
        reply = reply_;
        splitPoints = splitPoints_;
        splitPause = splitPause_;
        closeAfterReply = closeAfterReply_;
    }
    if (mode == Mode::closeAtOnce) return;

    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    // Reads what comes, recording it; false when the client closed (or the wait ran out).
    auto readMore = [&]() -> std::optional<std::vector<uint8_t>> {
        std::vector<uint8_t> chunk;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            const long n = readSome(fd, chunk, 4096, kPollMs);
            if (n < 0) {
                update([](Connection& c) { c.clientClosed = true; });
                return std::nullopt;
            }
            if (n > 0) {
                update(
                    [&](Connection& c) { c.received.insert(c.received.end(), chunk.begin(), chunk.end()); });
                return chunk;
            }
        }
        return std::nullopt;
    };

    LengthPrefixedFramer framer(64 * 1024);
    std::optional<std::vector<uint8_t>> request;
    while (!request) {
        auto chunk = readMore();
        if (!chunk) return;
        framer.feed(*chunk);
        if (framer.broken()) return;
        request = framer.next();
    }
    update([&](Connection& c) { c.request = request; });

    if (mode == Mode::closeAfterRequest) return;
    if (mode == Mode::answer && !reply.empty()) {
        // Each piece leaves in a segment of its own, and the pause lets the client read it alone.
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        size_t written = 0;
        splitPoints.push_back(reply.size());
        for (size_t end : splitPoints) {
            end = std::min(end, reply.size());
            if (end <= written) continue;
            if (written > 0) std::this_thread::sleep_for(std::chrono::duration<double>(splitPause));
            if (!writeAll(fd, std::span(reply).subspan(written, end - written))) return;
            written = end;
        }
        if (closeAfterReply) return;
    }
    // Until the client closes (silent servers included).
    while (readMore()) {
    }
}

}  // namespace quill::testing
