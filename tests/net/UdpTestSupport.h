#pragma once
// What the UdpSocket tests share: a delegate that records every callback for bounded waits, and small
// helpers for datagrams and loopback addresses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/SocketAddress.h"
#include "net/SocketTestSupport.h"
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

class UdpRecorder : public UdpSocketDelegate, public EventLog<UdpEvent> {
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

    std::vector<std::string> received() {
        std::vector<std::string> out;
        for (const auto& e : events(UdpEvent::Received))
            out.push_back(e.data);
        return out;
    }
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
