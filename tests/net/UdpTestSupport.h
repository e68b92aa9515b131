#pragma once
// What the UdpSocket tests share: a delegate that records every callback for bounded waits, and small
// helpers for datagrams and loopback addresses.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/SocketAddress.h"
#include "net/UdpSocket.h"

namespace quill::net {

struct UdpEvent {
    enum Kind { Connect, NotConnect, Sent, NotSent, Received, Closed } kind;
    long tag = 0;
    std::optional<Error> error;
    std::string data;
    Bytes address;
    std::any context;
    bool nullSocket = false;
};

class UdpRecorder : public UdpSocketDelegate {
  public:
    void udpSocketDidConnectToAddress(UdpSocket&, const Bytes& address) override {
        add({.kind = UdpEvent::Connect, .address = address});
    }
    void udpSocketDidNotConnect(UdpSocket&, const Error& error) override {
        add({.kind = UdpEvent::NotConnect, .error = error});
    }
    void udpSocketDidSendDataWithTag(UdpSocket&, long tag) override {
        add({.kind = UdpEvent::Sent, .tag = tag});
    }
    void udpSocketDidNotSendDataWithTag(UdpSocket&, long tag, const Error& error) override {
        add({.kind = UdpEvent::NotSent, .tag = tag, .error = error});
    }
    void udpSocketDidReceiveData(UdpSocket&, const SharedBytes& data, const Bytes& address,
                                 const std::any& context) override {
        add({.kind = UdpEvent::Received,
             .data = std::string(data->begin(), data->end()),
             .address = address,
             .context = context});
    }
    void udpSocketDidClose(UdpSocket* sock, const std::optional<Error>& error) override {
        add({.kind = UdpEvent::Closed, .error = error, .nullSocket = sock == nullptr});
    }

    bool waitFor(UdpEvent::Kind kind, size_t n = 1, double seconds = 5) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return countLocked(kind) >= n; });
    }
    size_t count(UdpEvent::Kind kind) {
        std::lock_guard lock(mutex_);
        return countLocked(kind);
    }
    std::vector<UdpEvent> events(UdpEvent::Kind kind) {
        std::lock_guard lock(mutex_);
        std::vector<UdpEvent> out;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
                     [&](const UdpEvent& e) { return e.kind == kind; });
        return out;
    }
    std::vector<std::string> received() {
        std::vector<std::string> out;
        for (const auto& e : events(UdpEvent::Received))
            out.push_back(e.data);
        return out;
    }
    std::vector<UdpEvent::Kind> kinds() {
        std::lock_guard lock(mutex_);
        std::vector<UdpEvent::Kind> out;
        for (const auto& e : events_)
            out.push_back(e.kind);
        return out;
    }

  private:
    void add(UdpEvent e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        cv_.notify_all();
    }
    size_t countLocked(UdpEvent::Kind kind) const {
        return size_t(
            std::count_if(events_.begin(), events_.end(), [&](const UdpEvent& e) { return e.kind == kind; }));
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<UdpEvent> events_;
};

inline SharedBytes datagram(const std::string& text) {
    return std::make_shared<const Bytes>(text.begin(), text.end());
}

// Expects an error of the given domain, code and description.
inline void expectError(const std::optional<Error>& error, const std::string& domain, long code,
                        const std::string& text) {
    ASSERT_TRUE(error.has_value()) << text;
    EXPECT_EQ(error->domain, domain);
    EXPECT_EQ(error->code, code);
    EXPECT_EQ(error->localizedDescription(), text);
}

}  // namespace quill::net
