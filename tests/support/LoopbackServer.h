#pragma once
// Building blocks of the local test peers: a listening socket on 127.0.0.1, accepted connections with
// bounded reads and writes, and a waiter for "until something happened, at most N seconds".

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/BigEndian.h"

namespace quill::testing {

// A listening TCP socket bound to 127.0.0.1 (port 0: the kernel picks).
class Listener {
  public:
    explicit Listener(uint16_t port = 0, int backlog = 8);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t port() const { return port_; }
    bool isOpen() const { return fd_ >= 0; }
    // Waits up to timeoutMs for a connection; returns its descriptor or -1.
    int accept(int timeoutMs);
    // Stops listening: later connects are refused.
    void close();

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Reads what is available within timeoutMs: >0 bytes read, 0 on time-out, -1 at end of stream or error.
long readSome(int fd, std::vector<uint8_t>& out, size_t max, int timeoutMs);
// True when the peer closed or reset the connection, waiting up to timeoutMs; reads nothing.
bool peerHungUp(int fd, int timeoutMs);
// Writes everything (MSG_NOSIGNAL); false when the peer is gone.
bool writeAll(int fd, std::span<const uint8_t> data);
// Connects a blocking client to 127.0.0.1:port; -1 on failure.
int connectLoopback(uint16_t port);
void closeFd(int& fd);

// Splits a byte stream into length-prefixed frames: each frame is a 4-byte big-endian length followed
// by that many bytes. feed() any split of the stream; next() returns whole frames in order.
class LengthPrefixedFramer {
  public:
    explicit LengthPrefixedFramer(uint32_t maxFrame = 16 * 1024 * 1024) : maxFrame_(maxFrame) {}
    void feed(std::span<const uint8_t> bytes) { buffer_.insert(buffer_.end(), bytes.begin(), bytes.end()); }
    // The next frame's payload (without its length), or nullopt while incomplete.
    std::optional<std::vector<uint8_t>> next();
    // True once a length above the maximum was seen; the stream cannot be framed any further.
    bool broken() const { return broken_; }
    size_t pending() const { return buffer_.size(); }

  private:
    std::vector<uint8_t> buffer_;
    uint32_t maxFrame_;
    bool broken_ = false;
};

// Condition variable with a predicate and a deadline, for bounded waits in tests.
class Waiter {
  public:
    template <class Pred>
    bool waitFor(std::unique_lock<std::mutex>& lock, double seconds, Pred pred) {
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds), pred);
    }
    void notifyAll() { cv_.notify_all(); }

  private:
    std::condition_variable cv_;
};

}  // namespace quill::testing
