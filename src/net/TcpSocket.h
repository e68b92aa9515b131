#pragma once
// The asynchronous TCP socket. All of a socket's state lives on its serial socket queue; callers talk to
// it from any thread, and it reports to a weakly held delegate by posting to the delegate queue. Reads
// and writes are queued requests served in order, each with a time-out (seconds, negative = none) and a
// tag that comes back in its callback. A socket connects to a host, an address or a unix-domain path, or
// listens and hands each accepted connection over as a new socket; a connection can be upgraded to TLS
// in place. A socket that was started (connecting, listening or connected) reports its end exactly once
// through socketDidDisconnect; it can then start again.
//
// Threads: every public call may be made from any thread. Calls that answer (getters, connecting,
// listening, disconnect, performBlock) run on the socket queue and wait for it; when the queue is free
// they run there on the calling thread, as a synchronous dispatch does (a disconnect of a secured
// connection sends its close alert from there). Reads and writes return at once; on a plain connection
// whose socket queue is idle their system call is made on the calling thread before they return.
// Nothing else of the socket runs on a caller's thread: the TLS handshake, encryption and the transport
// callbacks under them, trust answers and time-outs run on the socket queue, and delegate callbacks on
// the delegate queue only, posted after the event (the socket never waits for them). The data handed to
// socketDidReadData is valid only during that callback: its buffer serves a later read, so copy what is
// to be kept.

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/SocketAddress.h"
#include "net/TlsSettings.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

namespace quill::platform::securetransport {
class SSLContext;
class Trust;
}  // namespace quill::platform::securetransport

namespace quill::net {

using platform::dispatch::QueuePtr;

inline constexpr const char* kTcpSocketErrorDomain = "TcpSocketErrorDomain";

enum TcpSocketError : long {
    TcpSocketNoError = 0,
    TcpSocketBadConfigError = 1,
    TcpSocketBadParamError = 2,
    TcpSocketConnectTimeoutError = 3,
    TcpSocketReadTimeoutError = 4,
    TcpSocketWriteTimeoutError = 5,
    TcpSocketReadMaxedOutError = 6,
    TcpSocketClosedError = 7,
    TcpSocketOtherError = 8,
};

class TcpSocket;

// Callbacks of a TcpSocket, each run on the delegate queue with the socket first. The default bodies do
// what happens when a delegate does not handle the event: nothing, and no extension of a time-out.
class TcpSocketDelegate {
  public:
    virtual ~TcpSocketDelegate() = default;

    // A listening socket accepted a connection from address (a socket address buffer): the queue the new
    // socket's state lives on, or null for a new one of its own.
    virtual QueuePtr newSocketQueueForConnectionFromAddress(const Bytes& address, TcpSocket& sock);
    // A listening socket accepted a connection, handed over as newSocket (connected, with the listener's
    // delegate and delegate queue). Keep it: a socket nobody holds closes at once.
    virtual void socketDidAcceptNewSocket(TcpSocket& sock, std::shared_ptr<TcpSocket> newSocket);
    virtual void socketDidConnectToHost(TcpSocket& sock, const std::string& host, uint16_t port);
    // A unix-domain connection is up; url is the file URL of the socket connected to.
    virtual void socketDidConnectToUrl(TcpSocket& sock, const std::string& url);
    virtual void socketDidReadData(TcpSocket& sock, const Bytes& data, long tag);
    virtual void socketDidReadPartialDataOfLength(TcpSocket& sock, size_t partialLength, long tag);
    // Seconds to add to the read's time-out; 0 or less lets it time out.
    virtual double socketShouldTimeoutReadWithTag(TcpSocket& sock, long tag, double elapsed,
                                                  size_t bytesDone);
    virtual void socketDidWriteDataWithTag(TcpSocket& sock, long tag);
    virtual void socketDidWritePartialDataOfLength(TcpSocket& sock, size_t partialLength, long tag);
    virtual double socketShouldTimeoutWriteWithTag(TcpSocket& sock, long tag, double elapsed,
                                                   size_t bytesDone);
    // Only with half-duplex on: the peer closed its sending side.
    virtual void socketDidCloseReadStream(TcpSocket& sock);
    // TLS is established (startTLS).
    virtual void socketDidSecure(TcpSocket& sock);
    // With TcpSocketManuallyEvaluateTrust: the server's certificate chain is in and the handshake waits.
    // Return true to judge it, and then call completionHandler once, from any thread, with whether to go
    // on (false closes the socket with the bad-certificate TLS error; an answer that comes after the
    // socket was closed is ignored). Returning false (the default) closes the socket.
    virtual bool socketDidReceiveTrust(TcpSocket& sock,
                                       std::shared_ptr<const platform::securetransport::Trust> trust,
                                       std::function<void(bool shouldTrust)> completionHandler);
    // The socket closed after having been started: err is empty when the close was asked for. sock is
    // null when the close comes from the socket's destruction.
    virtual void socketDidDisconnect(TcpSocket* sock, const std::optional<Error>& err);
};

class TcpSocket : public std::enable_shared_from_this<TcpSocket> {
  public:
    // A socket with its delegate (held weakly), the queue its callbacks run on, and the serial queue its
    // state lives on (a new one labelled "TcpSocket" when none is given).
    static std::shared_ptr<TcpSocket> create(std::weak_ptr<TcpSocketDelegate> delegate = {},
                                             QueuePtr delegateQueue = nullptr,
                                             QueuePtr socketQueue = nullptr);
    // Wraps a descriptor that is already connected. Null (and *error) when it is not an IPv4 or IPv6
    // stream socket with a peer.
    static std::shared_ptr<TcpSocket> socketFromConnectedSocketFD(int fd,
                                                                  std::weak_ptr<TcpSocketDelegate> delegate,
                                                                  QueuePtr delegateQueue,
                                                                  QueuePtr socketQueue,
                                                                  Error* error = nullptr);
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Delegate and queues.
    std::shared_ptr<TcpSocketDelegate> delegate() const;
    QueuePtr delegateQueue() const;
    void getDelegate(std::shared_ptr<TcpSocketDelegate>* delegate, QueuePtr* delegateQueue) const;
    void setDelegate(std::weak_ptr<TcpSocketDelegate> delegate);
    void setDelegateQueue(QueuePtr queue);
    void setDelegate(std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr queue);
    void synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate);
    void synchronouslySetDelegateQueue(QueuePtr queue);
    void synchronouslySetDelegate(std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr queue);
    QueuePtr socketQueue() const;

    // Configuration.
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool enabled);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool enabled);
    bool isIPv4PreferredOverIPv6() const;
    void setIPv4PreferredOverIPv6(bool preferred);
    double alternateAddressDelay() const;
    void setAlternateAddressDelay(double seconds);
    // True (the default) closes the socket when the peer closes its sending side.
    bool autoDisconnectOnClosedReadStream() const;
    void setAutoDisconnectOnClosedReadStream(bool flag);
    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> data);

    // Runs work on the socket queue (inline when already there) and returns after it ran.
    void performBlock(const std::function<void()>& work);
    // Would let work on q count as running on the socket queue, for a socket queue that targets q. The
    // dispatch layer has no target queues, so work on q never runs as part of the socket queue: marking
    // q would let such work touch the socket's state unguarded. Both refuse with a line in the log and
    // mark nothing.
    void markSocketQueueTargetQueue(const QueuePtr& q);
    void unmarkSocketQueueTargetQueue(const QueuePtr& q);
    // Descriptors; only meaningful on the socket queue, -1 elsewhere.
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;

    // Connecting. True when the attempt has started; its outcome arrives as socketDidConnectToHost (or
    // socketDidConnectToUrl) or socketDidDisconnect. False (and *error) for a failure found at once. An
    // interface description ("eth0", "192.168.1.2", "::1", "[::1]:5000", "localhost:5000") names the
    // local address to bind to first.
    bool connectToHost(const std::string& host, uint16_t port, double timeout = -1, Error* error = nullptr);
    // No time-out. Takes nothing but an Error pointer, so that connectToHost(host, port, 0) is a time-out
    // of 0 s and not a null error pointer.
    template <std::same_as<Error*> ErrorPointer>
    bool connectToHost(const std::string& host, uint16_t port, ErrorPointer error) {
        return connectToHost(host, port, std::nullopt, -1, error);
    }
    bool connectToHost(const std::string& host, uint16_t port, const std::optional<std::string>& interface,
                       double timeout, Error* error = nullptr);
    bool connectToAddress(const Bytes& address, double timeout = -1, Error* error = nullptr);
    bool connectToAddress(const Bytes& address, const std::optional<std::string>& interface, double timeout,
                          Error* error = nullptr);
    // A unix-domain stream socket, named by a file URL ("file:///tmp/x.sock") or an absolute path.
    bool connectToUrl(const std::string& url, double timeout = -1, Error* error = nullptr);

    // Listening. True when listening; each connection then arrives as socketDidAcceptNewSocket. With no
    // interface, on every address of both families (one port for both, also when port 0 lets the
    // kernel pick); with one, on its addresses. acceptOnUrl listens on a unix-domain path; an old socket
    // file there is replaced, anything else at the path is left alone and the call fails. The file is
    // deleted when the listener closes.
    bool acceptOnPort(uint16_t port, Error* error = nullptr);
    bool acceptOnInterface(const std::optional<std::string>& interface, uint16_t port,
                           Error* error = nullptr);
    bool acceptOnUrl(const std::string& url, Error* error = nullptr);

    // Reading: whatever is available (up to maxLength when not 0), an exact length, or up to and including
    // a terminator. With a buffer the bytes are also placed into it at the offset (it grows as needed).
    void readDataWithTimeout(double timeout, long tag);
    void readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, size_t offset, long tag);
    void readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, size_t offset, size_t maxLength,
                             long tag);
    void readDataToLength(size_t length, double timeout, long tag);
    void readDataToLength(size_t length, double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                          long tag);
    void readDataToData(const Bytes& terminator, double timeout, long tag);
    void readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                        long tag);
    void readDataToData(const Bytes& terminator, double timeout, size_t maxLength, long tag);
    void readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                        size_t maxLength, long tag);
    // Progress of the current read: fraction done (1 when its length is open), NaN without a read.
    float progressOfReadReturningTag(long* tag, size_t* done, size_t* total) const;

    // Writing. The data is not copied; it must not change while queued. Empty data is ignored.
    void writeData(SharedBytes data, double timeout, long tag);
    void writeData(Bytes data, double timeout, long tag);
    float progressOfWriteReturningTag(long* tag, size_t* done, size_t* total) const;

    // TLS. Upgrades the connection in place once the reads and writes queued before this call are done;
    // reads and writes queued after it move through TLS. socketDidSecure reports the upgrade; a failure
    // closes the socket (TcpSocketOtherError naming a refused setting, or a kCFStreamErrorDomainSSL
    // error). A client checks the server against the system's trust store and the peer name when one
    // is given, unless it judges the server itself (TcpSocketManuallyEvaluateTrust). Ignored unless
    // started, and after the first call.
    void startTLS(TlsSettings settings = {});
    // The TLS context; only on the socket queue, and only once TLS has started; null elsewhere.
    platform::securetransport::SSLContext* sslContext() const;

    // Closing.
    void disconnect();
    void disconnectAfterReading();
    void disconnectAfterWriting();
    void disconnectAfterReadingAndWriting();

    // State and endpoints.
    bool isDisconnected() const;
    bool isConnected() const;
    std::string connectedHost() const;
    uint16_t connectedPort() const;
    std::string localHost() const;
    uint16_t localPort() const;
    // The same for one family's descriptor. These do not switch to the socket queue: call them there
    // (from performBlock or a callback on a socket queue that is the delegate queue); elsewhere they
    // give "" and 0.
    std::string connectedHost4() const;
    std::string connectedHost6() const;
    uint16_t connectedPort4() const;
    uint16_t connectedPort6() const;
    std::string localHost4() const;
    std::string localHost6() const;
    uint16_t localPort4() const;
    uint16_t localPort6() const;
    // The file URL of the unix-domain socket connected to; empty otherwise.
    std::string connectedUrl() const;
    Bytes connectedAddress() const;
    Bytes localAddress() const;
    bool isIPv4() const;
    bool isIPv6() const;
    bool isSecure() const;

    // The error builders of this class.
    static Error badConfigError(const std::string& text);
    static Error badParamError(const std::string& text);
    static Error connectTimeoutError();
    static Error readTimeoutError();
    static Error writeTimeoutError();
    static Error readMaxedOutError();
    static Error connectionClosedError();
    static Error otherError(const std::string& text);
    // A TLS failure: domain "kCFStreamErrorDomainSSL", the status number as the code.
    static Error sslError(long status);

  private:
    struct Private {};

  public:
    TcpSocket(Private, std::weak_ptr<TcpSocketDelegate> delegate, QueuePtr delegateQueue,
              QueuePtr socketQueue);

  private:
    // The socket's state and machinery (TcpSocketImpl.h), all of it touched on the socket queue.
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quill::net
