#pragma once
// The state and machinery of a TcpSocket, shared by the files that implement it, one concern a file:
//   TcpSocket.cpp         the object, its delegate and configuration, time-outs (the queue discipline
//                         is the sockets' shared one, SocketQueue.h)
//   TcpSocketConnect.cpp  connecting: checks, look-up, one descriptor per family, the did-connect step
//   TcpSocketRead.cpp     queued reads, the read loop, end of stream
//   TcpSocketWrite.cpp    queued writes and the write loop
//   TcpSocketClose.cpp    closing, the error builders, state and endpoint queries
//   TcpSocketAccept.cpp   listening on ports and unix-domain paths, accepting connections
//   TcpSocketTLS.cpp      the TLS upgrade: settings, handshake, trust, the transport callbacks
// Every field is read and written on the socket queue only (the spare read buffers excepted, which come
// back on the delegate queue under their own lock); nothing here is for the socket's users.

#include <sys/socket.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/SocketCalls.h"
#include "net/SocketQueue.h"
#include "net/TcpPackets.h"
#include "net/TcpSocket.h"
#include "net/TcpSocketPreBuffer.h"
#include "platform/securetransport/SecureTransport.h"

namespace quill::net {

struct TcpSocket::Impl {
    // State bits.
    enum Flags : uint32_t {
        flagStarted = 1u << 0,
        flagConnected = 1u << 1,
        flagForbidReadsWrites = 1u << 2,
        flagReadsPaused = 1u << 3,
        flagWritesPaused = 1u << 4,
        flagDisconnectAfterReads = 1u << 5,
        flagDisconnectAfterWrites = 1u << 6,
        flagCanAcceptBytes = 1u << 7,
        flagReadSourceSuspended = 1u << 8,
        flagWriteSourceSuspended = 1u << 9,
        flagQueuedTLS = 1u << 10,
        flagStartingReadTLS = 1u << 11,
        flagStartingWriteTLS = 1u << 12,
        flagSecure = 1u << 13,
        flagHasReadEOF = 1u << 14,
        flagReadStreamClosed = 1u << 15,
        flagDealloc = 1u << 16,
    };
    // Configuration bits.
    enum Config : uint16_t {
        configIPv4Disabled = 1u << 0,
        configIPv6Disabled = 1u << 1,
        configPreferIPv6 = 1u << 2,
        configAllowHalfDuplex = 1u << 3,
    };

    using Source = platform::dispatch::Source;
    using FdSource = platform::dispatch::FdSource;
    using TimerSource = platform::dispatch::TimerSource;

    Impl(TcpSocket& owner, std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr delegateQueue,
         QueuePtr socketQueue);

    // ---- the queue discipline (SocketQueue.h), with work(impl) in place of work(socket) ----
    std::weak_ptr<TcpSocket> weak() const { return owner_.weak_from_this(); }
    // Runs work on the socket queue later (never inline), if the socket still exists then.
    template <class F>
    void asyncOnQueue(F&& work) {
        queue_.async(weak(), [work = std::forward<F>(work)](TcpSocket& s) mutable { work(*s.impl_); });
    }
    // Queues a read or write request: push(impl) puts it into its queue (false when refused), then
    // serve() starts on it. Asked for while the socket queue is idle (and not the caller's own queue),
    // this happens at once on the calling thread, so that requests made from a delegate callback start
    // without a hand-off; but only on a plain connection, where that costs no more than a system call.
    // Once TLS is queued or on, the request still takes its place in the queue there, and is served from
    // the socket queue's own thread: the TLS engine and its transport callbacks never run on a caller's
    // thread.
    template <class Push>
    void queueRequest(Push&& push, void (Impl::*serve)()) {
        queue_.asyncOrRunHere(weak(), [push = std::forward<Push>(push), serve](TcpSocket& s) mutable {
            Impl& impl = *s.impl_;
            if (!push(impl)) return;
            if (impl.queue_.onCallersThread() && (impl.flags_ & (flagQueuedTLS | flagSecure))) {
                impl.queue_.asyncOffCallersThread(impl.weak(),
                                                  [serve](TcpSocket& later) { (*later.impl_.*serve)(); });
                return;
            }
            (impl.*serve)();
        });
    }
    // Inline when on the socket queue, else later.
    template <class F>
    void inlineOrAsync(F&& work) {
        queue_.inlineOrAsync(owner_,
                             [work = std::forward<F>(work)](TcpSocket& s) mutable { work(*s.impl_); });
    }
    // Posts callback(delegate, socket) to the delegate queue when a delegate and its queue are set.
    template <class F>
    void post(F&& callback) {
        auto self = weak().lock();
        if (!self) return;
        postToDelegate(delegateQueue_, delegate_, std::move(self),
                       [callback = std::forward<F>(callback)](TcpSocketDelegate& d, TcpSocket* s) mutable {
                           callback(d, *s);
                       });
    }
    // Arms a one-shot timer on the socket queue that calls fired (if the socket still exists); a
    // negative time-out leaves it cleared. The timer is made on first use and re-armed for later
    // packets; closing cancels it.
    void startTimer(std::shared_ptr<TimerSource>& timer, double timeout, void (Impl::*fired)());
    // Asks the delegate whether the expiring read or write packet (with its tag, time-out so far and
    // bytes done) gets more time; the answer comes back as a block on the socket queue (0 at once
    // without a delegate).
    void askForExtension(const std::shared_ptr<TcpPacket>& packet, long tag, double elapsed, size_t done,
                         double (TcpSocketDelegate::*question)(TcpSocket&, long, double, size_t),
                         void (Impl::*answered)(const std::shared_ptr<TcpPacket>&, double));

    // ---- connecting (TcpSocketConnect.cpp) ----
    bool preConnect(const std::optional<std::string>& interface, Error* error);
    bool connectHostOnQueue(const std::string& host, uint16_t port,
                            const std::optional<std::string>& interface, double timeout, Error* error);
    bool connectAddressOnQueue(const Bytes& address, const std::optional<std::string>& interface,
                               double timeout, Error* error);
    bool connectUrlOnQueue(const std::string& url, double timeout, Error* error);
    // The checks every connect and accept makes first: a delegate, a delegate queue, not started. verb
    // is "connect" or "accept", as the texts say.
    bool checkDelegateAndIdle(const char* verb, Error* error);
    void lookupDidFail(int index, const Error& error);
    void lookupDidSucceed(int index, Bytes address4, Bytes address6);
    int createSocket(int family, const Bytes& interfaceAddress, Error* error);
    bool connectWithAddresses(const Bytes& address4, const Bytes& address6, Error* error);
    void connectSocket(int family, const Bytes& address, int index);
    void connectFinished(int family, int fd, int err, int index);
    void closeConnectingSocket(int family);
    void didConnect(int index);
    void didNotConnect(int index, const Error& error);
    void startConnectTimeout(double timeout);
    void doConnectTimeout();
    void endConnectTimeout();
    void setupReadAndWriteSources(int fd);
    void suspendReadSource();
    void resumeReadSource();
    void suspendWriteSource();
    void resumeWriteSource();
    int& fdField(int family) {
        return family == AF_INET ? socket4FD_ : family == AF_INET6 ? socket6FD_ : socketUN_;
    }
    int connectedFD() const {
        return socket4FD_ != -1 ? socket4FD_ : socket6FD_ != -1 ? socket6FD_ : socketUN_;
    }
    // The current read / write when it is a request (not a TLS marker), else null.
    TcpReadPacket* readPacket() const { return packetAs<TcpReadPacket>(currentRead_); }
    TcpWritePacket* writePacket() const { return packetAs<TcpWritePacket>(currentWrite_); }

    // ---- reading (TcpSocketRead.cpp) ----
    void queueRead(std::shared_ptr<TcpReadPacket> packet);
    void maybeDequeueRead();
    void doReadData();
    void doReadEOF();
    void completeCurrentRead();
    void endCurrentRead();
    // Read buffers come back after their callback when nobody else holds them, and reads that own their
    // buffer reuse them: a busy connection then neither allocates nor faults in fresh memory for every
    // read. Two are kept, since the next read usually starts while the last one's callback still runs.
    void keepSpareReadBuffer(std::shared_ptr<Bytes> buffer);
    std::shared_ptr<Bytes> takeSpareReadBuffer();
    void doReadTimeout();
    void doReadTimeoutWithExtension(const std::shared_ptr<TcpPacket>& packet, double extension);

    // ---- writing (TcpSocketWrite.cpp) ----
    void maybeDequeueWrite();
    void doWriteData();
    void completeCurrentWrite();
    void endCurrentWrite();
    void doWriteTimeout();
    void doWriteTimeoutWithExtension(const std::shared_ptr<TcpPacket>& packet, double extension);

    // ---- listening (TcpSocketAccept.cpp) ----
    bool acceptOnInterfaceOnQueue(const std::optional<std::string>& interface, uint16_t port, Error* error);
    bool acceptOnUrlOnQueue(const std::string& url, Error* error);
    // A non-blocking descriptor of the family listening on address, or -1 (and *error).
    int createListeningSocket(int family, const Bytes& address, Error* error);
    // Watches a listening descriptor; its cancel handler closes it.
    std::shared_ptr<FdSource> makeAcceptSource(int fd);
    // Accepts one connection from the listening descriptor and hands it to the delegate; false when none
    // was waiting (or accepting failed).
    bool doAccept(int listenFD);
    // An accepted descriptor becomes this (new) socket's connection.
    void adoptAcceptedDescriptor(int fd, int family);

    // ---- TLS (TcpSocketTLS.cpp) ----
    using OSStatus = platform::securetransport::OSStatus;
    // Starts the upgrade once both queues have reached its marker.
    void maybeStartTLS();
    void sslStartTLS();
    // Makes the context and applies the settings in their order; the error to close with, if any.
    std::optional<Error> applyTlsSettings(const TlsSettings& settings);
    void sslContinueHandshake();
    void sslShouldTrustPeer(bool shouldTrust, int index);
    // The transport callbacks of the context.
    OSStatus sslRead(void* buffer, size_t* length);
    OSStatus sslWrite(const void* buffer, size_t* length);
    // Decrypts what is waiting into the pre-buffer while no read consumes it.
    void flushSSLBuffers();
    // Bytes waiting on the TLS side: encrypted in the TLS pre-buffer, decrypted inside the context.
    size_t sslBufferedBytes() const;

    // ---- closing (TcpSocketClose.cpp) ----
    void maybeClose();
    void closeWithError(const std::optional<Error>& error);

    TcpSocket& owner_;
    // The socket queue with its queue-specific key.
    SocketQueue queue_;
    uint32_t flags_ = 0;
    uint16_t config_ = 0;
    std::weak_ptr<TcpSocketDelegate> delegate_;
    QueuePtr delegateQueue_;
    int socket4FD_ = -1;
    int socket6FD_ = -1;
    int socketUN_ = -1;
    // The file URL of a unix-domain listener; its file is deleted when the listener closes.
    std::string socketUrl_;
    int stateIndex_ = 0;
    Bytes connectInterface4_;
    Bytes connectInterface6_;
    Bytes connectInterfaceUN_;
    // Completion of a non-blocking connect, per family (index 0 IPv4, 1 IPv6, 2 unix domain).
    std::shared_ptr<FdSource> connectSource_[3];
    std::shared_ptr<FdSource> accept4Source_;
    std::shared_ptr<FdSource> accept6Source_;
    std::shared_ptr<FdSource> acceptUNSource_;
    std::shared_ptr<TimerSource> connectTimer_;
    std::shared_ptr<FdSource> readSource_;
    std::shared_ptr<FdSource> writeSource_;
    std::shared_ptr<TimerSource> readTimer_;
    std::shared_ptr<TimerSource> writeTimer_;
    std::deque<std::shared_ptr<TcpPacket>> readQueue_;
    std::deque<std::shared_ptr<TcpPacket>> writeQueue_;
    // The request being served: a read or write packet, or the marker of a TLS upgrade.
    std::shared_ptr<TcpPacket> currentRead_;
    std::shared_ptr<TcpPacket> currentWrite_;
    size_t socketFDBytesAvailable_ = 0;
    std::mutex spareReadBuffersMutex_;  // buffers come back on the delegate queue
    std::vector<std::shared_ptr<Bytes>> spareReadBuffers_;
    TcpSocketPreBuffer preBuffer_{4096};
    std::unique_ptr<platform::securetransport::SSLContext> sslContext_;
    // Bytes read from the descriptor for the TLS layer that it has not taken yet.
    std::unique_ptr<TcpSocketPreBuffer> sslPreBuffer_;
    // A TLS write that would block has been taken by the context: this many bytes count once sent.
    size_t sslWriteCachedLength_ = 0;
    OSStatus sslErrCode_ = 0;
    OSStatus lastSSLHandshakeError_ = 0;
    std::shared_ptr<void> userData_;
    double alternateAddressDelay_ = 0.3;
};

// Shared by the implementation files.
namespace tcp_detail {

void cancelTimer(std::shared_ptr<platform::dispatch::TimerSource>& timer);

}  // namespace tcp_detail

}  // namespace quill::net
