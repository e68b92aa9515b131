#pragma once
// A stand-in look-up server for integration tests, written from the exchange: on 127.0.0.1 it accepts
// one connection at a time, reads one request (a 4-byte big-endian length, then a CastCommand), records
// it and answers as scripted. Replies are built with our own message builder.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "messages/CastCommand.h"
#include "support/LoopbackServer.h"

namespace quill::testing {

class TestLookupServer {
  public:
    enum class Mode {
        // Reads the request and writes the scripted reply bytes.
        answer,
        // Reads the request and never answers; keeps the connection until the client closes it.
        silent,
        // Closes each connection as soon as it is accepted.
        closeAtOnce,
        // Reads the request, then closes without answering.
        closeAfterRequest,
    };

    // --- replies (header included) ---
    // A message framed with its 4-byte big-endian length.
    static std::vector<uint8_t> framed(const std::vector<uint8_t>& message);
    // ResponseCmd OK with a QueryServerResponseData.
    static std::vector<uint8_t> foundReply(const std::vector<std::string>& ipList,
                                           std::optional<std::string> name = std::nullopt,
                                           std::optional<std::string> version = std::nullopt);
    // ResponseCmd with a status and no data.
    static std::vector<uint8_t> statusReply(StatusCode status);
    static std::vector<uint8_t> replyFor(const CastCommand& command);

    TestLookupServer();
    ~TestLookupServer();
    TestLookupServer(const TestLookupServer&) = delete;
    TestLookupServer& operator=(const TestLookupServer&) = delete;

    uint16_t port() const { return listener_.port(); }
    // Stops listening: later connects are refused.
    void refuseConnections();

    // --- script (applies to the next connections) ---
    void setMode(Mode mode);
    void setReply(std::vector<uint8_t> bytes);
    // Writes the first splitAt bytes of the reply, waits a moment, then the rest (0: one write).
    void setReplySplit(size_t splitAt);
    // Writes the reply in pieces that end at the given offsets (ascending), pausing between them.
    void setReplySplits(std::vector<size_t> splitPoints, double pauseSeconds = 0.05);
    // Closes the connection right after writing the reply instead of waiting for the client to close.
    void setCloseAfterReply(bool close);

    // --- what arrived ---
    struct Connection {
        // Every byte the client sent.
        std::vector<uint8_t> received;
        // The request's message (without its header), once a whole one arrived.
        std::optional<std::vector<uint8_t>> request;
        // The client closed the connection.
        bool clientClosed = false;
    };
    std::vector<Connection> connections() const;
    bool waitFor(const std::function<bool(const std::vector<Connection>&)>& pred, double seconds);
    // Until n connections saw the client close.
    bool waitForClientClosed(size_t n, double seconds);

  private:
    void serve();
    void handle(int fd);
    void update(const std::function<void(Connection&)>& change);

    Listener listener_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Mode mode_ = Mode::answer;
    std::vector<uint8_t> reply_;
    std::vector<size_t> splitPoints_;
    double splitPause_ = 0.05;
    bool closeAfterReply_ = false;
    bool refuse_ = false;
    std::vector<Connection> connections_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace quill::testing
