// TLS bytes from a peer to a TcpSocket that has started TLS, as the server or as a client that judges
// the server itself, over loopback:
// - before the handshake: the input is the peer's whole side of it (garbage, or from the seeds a real
//   ClientHello or server flight, which can get as far as the trust question);
// - after a handshake made in the process with OpenSSL's API: records the peer encrypts (their payloads,
//   and the pieces they travel in, of the input's choosing), raw bytes among them, key updates and the
//   close alert.
// The peer's side of the connection then ends. Nothing may crash or hang: the socket ends within a
// bounded wait with an error in the TLS domain, or as closed by the peer after the close alert; it reads
// exactly what the peer encrypted (only a prefix once raw bytes broke the record stream), and its
// descriptor is closed after it.
//
// Input: a mode byte (bit 0 the socket is the server, bit 1 the handshake is made first, bit 2 the client
// socket trusts the server it is shown, bit 3 TLS 1.2 at most), then
// - without a handshake: pieces, each a length byte and that many bytes, written one after the other;
// - after it: operations, each a byte (modulo 5) and its arguments: 0 a record of a length byte's payload
//   (the bytes that follow) sent in pieces of a byte's value plus one; 1 raw bytes (a length byte and the
//   bytes); 2 a key update that asks for one back (TLS 1.3; nothing under TLS 1.2); 3 the close alert;
//   4 a long payload (a 16-bit length, made up) sent whole.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "FuzzSupport.h"
#include "TlsPeer.h"
#include "net/SocketAddress.h"
#include "net/SocketCalls.h"
#include "net/TcpSocket.h"
#include "platform/securetransport/SecureTransport.h"
#include "support/SelfSignedCertificate.h"
// The fuzz targets link the libraries only; the tests' certificate maker is compiled in here.
#include "support/SelfSignedCertificate.cpp"

namespace {

using quill::Bytes;
using quill::Error;
using quill::net::TcpSocket;
using quill::platform::dispatch::Queue;
using quill::platform::dispatch::QueuePtr;
namespace st = quill::platform::securetransport;

constexpr auto kWait = std::chrono::seconds(5);

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "tls_fuzz: %s\n", what);
    std::abort();
}

class Recorder : public quill::net::TcpSocketDelegate {
  public:
    explicit Recorder(bool trust) : trust_(trust) {}

    void socketDidSecure(TcpSocket&) override {
        std::lock_guard lock(mutex_);
        secure_ = true;
        cv_.notify_all();
    }
    bool socketDidReceiveTrust(TcpSocket&, std::shared_ptr<const st::Trust>,
                               std::function<void(bool)> answer) override {
        answer(trust_);
        return true;
    }
    // Every read asks for the next, so that one is always queued.
    void socketDidReadData(TcpSocket& sock, const Bytes& data, long) override {
        {
            std::lock_guard lock(mutex_);
            received_.insert(received_.end(), data.begin(), data.end());
        }
        sock.readDataWithTimeout(-1, 0);
    }
    void socketDidDisconnect(TcpSocket*, const std::optional<Error>& error) override {
        std::lock_guard lock(mutex_);
        ++disconnects_;
        error_ = error;
        cv_.notify_all();
    }

    bool waitForSecure() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kWait, [&] { return secure_ || disconnects_ > 0; }) && secure_;
    }
    bool waitForDisconnect() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kWait, [&] { return disconnects_ > 0; });
    }
    bool secure() {
        std::lock_guard lock(mutex_);
        return secure_;
    }
    Bytes received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::optional<Error> error() {
        std::lock_guard lock(mutex_);
        if (disconnects_ != 1) fail("not exactly one disconnect");
        return error_;
    }

  private:
    const bool trust_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool secure_ = false;
    Bytes received_;
    int disconnects_ = 0;
    std::optional<Error> error_;
};

// The loopback listener the connections are made with.
struct Listener {
    Listener() : fd(quill::net::openSocket(AF_INET, SOCK_STREAM)) {
        if (fd < 0 || !quill::net::bindTo(fd, quill::net::loopbackAddress4(0)) || ::listen(fd, 16) != 0)
            fail("no loopback listener");
        address = quill::net::localAddressOf(fd);
    }
    // A connected pair: the peer's end and the socket's end.
    std::pair<int, int> connect() const {
        const int peer = quill::net::openSocket(AF_INET, SOCK_STREAM);
        // Interrupted, the connection goes on being made; it is there once accepted.
        if (peer < 0 || (!quill::net::connectTo(peer, address) && errno != EINTR)) fail("cannot connect");
        const int ours =
            quill::fuzz::retryInterrupted([&] { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); });
        if (ours < 0) fail("cannot accept");
        // A peer that cannot write for this long counts as a hang.
        timeval tv{5, 0};
        setsockopt(peer, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        return {peer, ours};
    }
    int fd;
    Bytes address;
};

// Writes all of bytes in pieces of at most `piece`; false once the socket's end is gone.
bool sendAll(int fd, const std::vector<uint8_t>& bytes, size_t piece = SIZE_MAX) {
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = quill::fuzz::retryInterrupted([&] {
            return quill::net::sendNoSignal(fd, bytes.data() + at, std::min(piece, bytes.size() - at));
        });
        if (n < 0 && errno == EAGAIN) fail("the peer could not write in time");
        if (n <= 0) return false;
        at += size_t(n);
    }
    return true;
}

// The peer's side of a handshake, its bytes carried over fd; true once it is done.
bool handshake(quill::fuzz::MemoryTls& peer, int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (;;) {
        const int r = peer.handshake();
        if (!sendAll(fd, peer.takeOutput())) return false;
        if (r != 0) return r == 1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0) return false;
        const int ready = ::poll(&p, 1, int(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready != 1) return false;
        uint8_t buffer[16384];
        const ssize_t n = quill::fuzz::retryInterrupted([&] { return ::read(fd, buffer, sizeof buffer); });
        if (n <= 0) return false;
        peer.giveInput(buffer, size_t(n));
    }
}

struct World {
    quill::testing::SelfSignedCertificate certificate = quill::testing::makeSelfSignedCertificate();
    st::Identity identity = *st::Identity::fromPEM(certificate.pem());
    Listener listener;
    QueuePtr delegateQueue = Queue::serial("tls_fuzz.delegate");
    int baseline = quill::fuzz::openSockets();
};

// What the peer did after the handshake, for the checks.
struct Sent {
    Bytes plain;          // the payloads it encrypted, in order
    bool broken = false;  // raw bytes went out before any close alert
    bool closed = false;  // the close alert went out
};

Sent afterHandshake(quill::fuzz::InputReader& in, quill::fuzz::MemoryTls& peer, int fd) {
    Sent sent;
    bool writable = true;  // the socket's end still takes bytes
    auto payload = [&](size_t length) {
        std::string bytes = in.bytes(length);
        Bytes out(length);
        for (size_t i = 0; i < length; ++i)
            out[i] = bytes.empty() ? uint8_t(i * 13 + sent.plain.size()) : uint8_t(bytes[i % bytes.size()]);
        return out;
    };
    auto record = [&](const Bytes& data, size_t piece) {
        if (sent.closed || !peer.write(data.data(), data.size())) return;
        if (!sent.broken) sent.plain.insert(sent.plain.end(), data.begin(), data.end());
        writable = writable && sendAll(fd, peer.takeOutput(), piece);
    };
    while (in.more() && writable) {
        switch (in.byte() % 5) {
            case 0: {
                const Bytes data = payload(in.byte());
                record(data, size_t(in.byte()) + 1);
                break;
            }
            case 1: {
                const std::string raw = in.bytes(in.byte());
                if (!raw.empty() && !sent.closed) sent.broken = true;
                writable = sendAll(fd, std::vector<uint8_t>(raw.begin(), raw.end()));
                break;
            }
            case 2:
                if (!sent.closed && SSL_version(peer.ssl()) == TLS1_3_VERSION &&
                    SSL_key_update(peer.ssl(), SSL_KEY_UPDATE_REQUESTED) == 1) {
                    peer.handshake();
                    writable = sendAll(fd, peer.takeOutput());
                }
                ERR_clear_error();
                break;
            case 3:
                if (!sent.closed) {
                    SSL_shutdown(peer.ssl());
                    ERR_clear_error();
                    sent.closed = true;
                    writable = sendAll(fd, peer.takeOutput());
                }
                break;
            default:
                record(payload(in.little(2)), SIZE_MAX);
        }
    }
    return sent;
}

bool isPrefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quill::fuzz::silenceLog();
    static World world;
    static const auto client12 = quill::fuzz::makeTlsContext(false, "", TLS1_2_VERSION);
    static const auto client13 = quill::fuzz::makeTlsContext(false, "", TLS1_3_VERSION);
    static const auto server12 = quill::fuzz::makeTlsContext(true, world.certificate.pem(), TLS1_2_VERSION);
    static const auto server13 = quill::fuzz::makeTlsContext(true, world.certificate.pem(), TLS1_3_VERSION);
    if (!client12 || !client13 || !server12 || !server13) fail("no peer contexts");

    quill::fuzz::InputReader in{data, size};
    const uint8_t mode = in.byte();
    const bool server = mode & 1, handshakeFirst = mode & 2, tls12 = mode & 8;

    auto recorder = std::make_shared<Recorder>(handshakeFirst || (mode & 4));
    const auto [peerFd, ourFd] = world.listener.connect();
    Error error;
    auto sock = TcpSocket::socketFromConnectedSocketFD(ourFd, recorder, world.delegateQueue, nullptr, &error);
    if (!sock) fail("cannot wrap the connection");
    if (server) {
        sock->startTLS({{quill::net::kCFStreamSSLIsServer, true},
                        {quill::net::kCFStreamSSLCertificates, world.identity}});
    } else {
        sock->startTLS({{quill::net::TcpSocketManuallyEvaluateTrust, true}});
    }
    // Behind the upgrade; each read asks for the next.
    sock->readDataWithTimeout(-1, 0);
    sock->readDataWithTimeout(-1, 0);

    Sent sent;
    if (handshakeFirst) {
        SSL_CTX* ctx = server ? (tls12 ? client12 : client13).get() : (tls12 ? server12 : server13).get();
        quill::fuzz::MemoryTls peer(ctx, !server);
        if (!handshake(peer, peerFd) || !recorder->waitForSecure())
            fail("a valid handshake did not complete");
        sent = afterHandshake(in, peer, peerFd);
    } else {
        while (in.more()) {
            const std::string piece = in.bytes(in.byte());
            if (!sendAll(peerFd, std::vector<uint8_t>(piece.begin(), piece.end()))) break;
        }
    }
    ::shutdown(peerFd, SHUT_WR);
    if (!recorder->waitForDisconnect()) fail("the socket did not end after its peer did");

    const std::optional<Error> end = recorder->error();
    // A failure below shows how the socket ended.
    auto failEnded = [&end](const char* what) {
        std::fprintf(stderr, "tls_fuzz: the socket ended with %s\n",
                     end ? end->description().c_str() : "no error");
        fail(what);
    };
    const Bytes received = recorder->received();
    const bool tlsError = end && end->domain == "kCFStreamErrorDomainSSL";
    const bool closedByPeer = end && end->domain == quill::net::kTcpSocketErrorDomain &&
                              end->code == quill::net::TcpSocketClosedError;
    if (!handshakeFirst && !recorder->secure()) {
        if (!tlsError) failEnded("a failed handshake ended without a TLS error");
        if (!received.empty()) failEnded("data read without a handshake");
    } else if (!sent.broken) {
        if (received != sent.plain) failEnded("the reads lost, added or changed bytes");
        if (sent.closed ? !closedByPeer : !(tlsError && end->code == st::errSSLClosedAbort))
            failEnded("an unbroken stream ended in an unexpected way");
    } else {
        if (!isPrefix(received, sent.plain)) failEnded("the reads changed bytes or read past broken records");
        if (!tlsError && !(sent.closed && closedByPeer))
            failEnded("a broken stream ended without a TLS error");
    }

    sock.reset();
    ::close(peerFd);
    if (!quill::fuzz::socketsBackTo(world.baseline)) fail("descriptors outlived the socket");
    return 0;
}
