#pragma once
// A TcpSocketDelegate for tests: records every callback in order; tests wait on it with bounded waits.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/SocketTestSupport.h"
#include "net/TcpSocket.h"
#include "platform/securetransport/SecureTransport.h"

namespace quill::net::tcptest {

struct Event {
    enum Kind {
        Connect,
        ConnectUrl,
        Accept,
        Read,
        ReadPartial,
        Write,
        WritePartial,
        CloseReadStream,
        Secure,
        Disconnect
    } kind;
    std::string host;  // also the URL of ConnectUrl
    uint16_t port = 0;
    Bytes data;
    size_t length = 0;
    long tag = 0;
    std::optional<Error> error;
    bool nullSocket = false;
};

// Records every callback; tests wait on it with bounded waits.
class Recorder : public TcpSocketDelegate, public EventLog<Event> {
  public:
    void socketDidConnectToHost(TcpSocket&, const std::string& host, uint16_t port) override {
        add({.kind = Event::Connect, .host = host, .port = port});
    }
    void socketDidConnectToUrl(TcpSocket&, const std::string& url) override {
        add({.kind = Event::ConnectUrl, .host = url});
    }
    QueuePtr newSocketQueueForConnectionFromAddress(const Bytes& address, TcpSocket& sock) override {
        std::function<void(TcpSocket&)> hook;
        {
            std::lock_guard lock(mutex_);
            acceptedFrom.push_back(address);
            hook = onAcceptQuestion;
        }
        if (hook) hook(sock);
        return nullptr;
    }
    // Accepted sockets are kept here (a socket nobody holds closes at once).
    void socketDidAcceptNewSocket(TcpSocket&, std::shared_ptr<TcpSocket> newSocket) override {
        {
            std::lock_guard lock(mutex_);
            accepted.push_back(newSocket);
        }
        add({.kind = Event::Accept});
    }
    void socketDidReadData(TcpSocket& sock, const Bytes& data, long tag) override {
        add({.kind = Event::Read, .data = data, .tag = tag});
        std::function<void(TcpSocket&)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = onRead;
        }
        if (hook) hook(sock);
    }
    void socketDidReadPartialDataOfLength(TcpSocket&, size_t length, long tag) override {
        add({.kind = Event::ReadPartial, .length = length, .tag = tag});
    }
    void socketDidWriteDataWithTag(TcpSocket&, long tag) override { add({.kind = Event::Write, .tag = tag}); }
    void socketDidWritePartialDataOfLength(TcpSocket&, size_t length, long tag) override {
        add({.kind = Event::WritePartial, .length = length, .tag = tag});
    }
    void socketDidCloseReadStream(TcpSocket&) override { add({.kind = Event::CloseReadStream}); }
    void socketDidSecure(TcpSocket&) override { add({.kind = Event::Secure}); }
    bool socketDidReceiveTrust(TcpSocket&, std::shared_ptr<const platform::securetransport::Trust> trust,
                               std::function<void(bool)> completionHandler) override {
        std::function<bool(const platform::securetransport::Trust&, std::function<void(bool)>)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = onTrust;
        }
        return hook && hook(*trust, std::move(completionHandler));
    }
    void socketDidDisconnect(TcpSocket* sock, const std::optional<Error>& err) override {
        add({.kind = Event::Disconnect, .error = err, .nullSocket = sock == nullptr});
    }
    double socketShouldTimeoutReadWithTag(TcpSocket&, long, double elapsed, size_t) override {
        return answer(readElapsed, readExtensions, elapsed);
    }
    double socketShouldTimeoutWriteWithTag(TcpSocket&, long, double elapsed, size_t) override {
        return answer(writeElapsed, writeExtensions, elapsed);
    }

    Bytes readBytes() {
        Bytes all;
        for (const auto& e : events(Event::Read))
            all.insert(all.end(), e.data.begin(), e.data.end());
        return all;
    }
    size_t readQuestions() {
        std::lock_guard lock(mutex_);
        return readElapsed.size();
    }
    Event disconnectEvent() { return events(Event::Disconnect).at(0); }

    std::shared_ptr<TcpSocket> acceptedSocket(size_t i) {
        std::lock_guard lock(mutex_);
        return i < accepted.size() ? accepted[i] : nullptr;
    }

    std::function<void(TcpSocket&)> onRead;
    std::function<void(TcpSocket&)> onAcceptQuestion;
    // Judges a server's chain: returns whether it answers (now or later through the handler).
    std::function<bool(const platform::securetransport::Trust&, std::function<void(bool)>)> onTrust;
    std::vector<std::shared_ptr<TcpSocket>> accepted;
    std::vector<Bytes> acceptedFrom;
    std::vector<double> readExtensions, writeExtensions;  // answers, in order; 0 once used up
    std::vector<double> readElapsed, writeElapsed;        // the elapsed values asked with

  private:
    double answer(std::vector<double>& elapsedLog, std::vector<double>& answers, double elapsed) {
        std::lock_guard lock(mutex_);
        elapsedLog.push_back(elapsed);
        size_t i = elapsedLog.size() - 1;
        return i < answers.size() ? answers[i] : 0;
    }
};

}  // namespace quill::net::tcptest
