// Closing (on request, after the queues drain, or on a failure) with its single disconnect report, the
// error builders, and the queries about the socket's state and its two endpoints.

#include <sys/stat.h>
#include <unistd.h>

#include "net/SocketErrors.h"
#include "net/TcpSocketImpl.h"

namespace quill::net {

using namespace tcp_detail;

// ---- errors ----

Error TcpSocket::badConfigError(const std::string& text) {
    return socketError(kTcpSocketErrorDomain, TcpSocketBadConfigError, text);
}
Error TcpSocket::badParamError(const std::string& text) {
    return socketError(kTcpSocketErrorDomain, TcpSocketBadParamError, text);
}
Error TcpSocket::connectTimeoutError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketConnectTimeoutError,
                       "Attempt to connect to host timed out");
}
Error TcpSocket::readTimeoutError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketReadTimeoutError, "Read operation timed out");
}
Error TcpSocket::writeTimeoutError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketWriteTimeoutError, "Write operation timed out");
}
Error TcpSocket::readMaxedOutError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketReadMaxedOutError,
                       "Read operation reached set maximum length");
}
Error TcpSocket::connectionClosedError() {
    return socketError(kTcpSocketErrorDomain, TcpSocketClosedError, "Socket closed by remote peer");
}
Error TcpSocket::otherError(const std::string& text) {
    return socketError(kTcpSocketErrorDomain, TcpSocketOtherError, text);
}
Error TcpSocket::sslError(long status) {
    return Error("kCFStreamErrorDomainSSL", status,
                 {{"NSLocalizedRecoverySuggestion",
                   "Error code definition can be found in Apple's SecureTransport.h"}});
}

// ---- closing ----

void TcpSocket::disconnect() {
    impl_->queue_.sync([&s = *impl_] {
        if (s.flags_ & Impl::flagStarted) s.closeWithError(std::nullopt);
    });
}

void TcpSocket::disconnectAfterReading() {
    impl_->asyncOnQueue([](Impl& s) {
        if (!(s.flags_ & Impl::flagStarted)) return;
        s.flags_ |= Impl::flagForbidReadsWrites | Impl::flagDisconnectAfterReads;
        s.maybeClose();
    });
}

void TcpSocket::disconnectAfterWriting() {
    impl_->asyncOnQueue([](Impl& s) {
        if (!(s.flags_ & Impl::flagStarted)) return;
        s.flags_ |= Impl::flagForbidReadsWrites | Impl::flagDisconnectAfterWrites;
        s.maybeClose();
    });
}

void TcpSocket::disconnectAfterReadingAndWriting() {
    impl_->asyncOnQueue([](Impl& s) {
        if (!(s.flags_ & Impl::flagStarted)) return;
        s.flags_ |=
            Impl::flagForbidReadsWrites | Impl::flagDisconnectAfterReads | Impl::flagDisconnectAfterWrites;
        s.maybeClose();
    });
}

void TcpSocket::Impl::maybeClose() {
    const bool readsPending = currentRead_ || !readQueue_.empty();
    const bool writesPending = currentWrite_ || !writeQueue_.empty();
    if (flags_ & flagDisconnectAfterReads) {
        if (!readsPending && !((flags_ & flagDisconnectAfterWrites) && writesPending))
            closeWithError(std::nullopt);
    } else if (flags_ & flagDisconnectAfterWrites) {
        if (!writesPending) closeWithError(std::nullopt);
    }
}

void TcpSocket::Impl::closeWithError(const std::optional<Error>& error) {
    endConnectTimeout();
    if (currentRead_) endCurrentRead();
    if (currentWrite_) endCurrentWrite();
    cancelTimer(readTimer_);
    cancelTimer(writeTimer_);
    readQueue_.clear();
    writeQueue_.clear();
    preBuffer_.reset();
    if (sslPreBuffer_) sslPreBuffer_->reset();
    lastSSLHandshakeError_ = 0;
    sslErrCode_ = 0;
    if (sslContext_) {
        // The close alert goes out through the write callback while the descriptor is still open.
        sslContext_->close();
        sslContext_.reset();
    }

    if (accept4Source_ || accept6Source_ || acceptUNSource_ || readSource_ || writeSource_) {
        // The sources' cancel handlers close the listening or connected descriptors; a suspended source
        // must be resumed for its cancellation to complete.
        for (auto* source : {&accept4Source_, &accept6Source_, &acceptUNSource_}) {
            if (*source) {
                (*source)->cancel();
                source->reset();
            }
        }
        if (readSource_) {
            readSource_->cancel();
            resumeReadSource();
            readSource_.reset();
        }
        if (writeSource_) {
            writeSource_->cancel();
            resumeWriteSource();
            writeSource_.reset();
        }
        socket4FD_ = -1;
        socket6FD_ = -1;
        socketUN_ = -1;
    } else {
        // Not connected (yet): descriptors of a connect under way are closed by their sources.
        closeConnectingSocket(AF_INET);
        closeConnectingSocket(AF_INET6);
        closeConnectingSocket(AF_UNIX);
    }
    if (!socketUrl_.empty()) {
        // The listener's file goes with it; whatever has since taken its place stays.
        const std::string path = pathFromFileUrl(socketUrl_);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
        socketUrl_.clear();
    }

    const bool wasStarted = flags_ & flagStarted;
    const bool dealloc = flags_ & flagDealloc;
    socketFDBytesAvailable_ = 0;
    flags_ = 0;
    sslWriteCachedLength_ = 0;
    if (!wasStarted) return;
    auto report = [error](TcpSocketDelegate& d, TcpSocket* s) { d.socketDidDisconnect(s, error); };
    if (dealloc) {
        // The socket is being destroyed: the report goes without it.
        postToDelegate(delegateQueue_, delegate_, std::shared_ptr<TcpSocket>(), report);
    } else {
        post([report](TcpSocketDelegate& d, TcpSocket& s) { report(d, &s); });
    }
}

// ---- state and endpoints ----

bool TcpSocket::isDisconnected() const {
    return impl_->queue_.sync([&s = *impl_] { return (s.flags_ & Impl::flagStarted) == 0; });
}

bool TcpSocket::isConnected() const {
    return impl_->queue_.sync([&s = *impl_] { return (s.flags_ & Impl::flagConnected) != 0; });
}

std::string TcpSocket::connectedHost() const {
    return impl_->queue_.sync([&s = *impl_] { return hostFromAddress(peerAddressOf(s.connectedFD())); });
}

uint16_t TcpSocket::connectedPort() const {
    return impl_->queue_.sync([&s = *impl_] { return portFromAddress(peerAddressOf(s.connectedFD())); });
}

std::string TcpSocket::localHost() const {
    return impl_->queue_.sync([&s = *impl_] { return hostFromAddress(localAddressOf(s.connectedFD())); });
}

uint16_t TcpSocket::localPort() const {
    return impl_->queue_.sync([&s = *impl_] { return portFromAddress(localAddressOf(s.connectedFD())); });
}

namespace {

// An endpoint of one family's descriptor; the field is read only on the socket queue.
template <class T>
T endpointOnQueue(bool onSocketQueue, const int& fdField, bool peer, T (*decode)(const Bytes&)) {
    if (!onSocketQueue || fdField == -1) return T{};
    return decode(peer ? peerAddressOf(fdField) : localAddressOf(fdField));
}

}  // namespace

std::string TcpSocket::connectedHost4() const {
    return endpointOnQueue(impl_->queue_.isCurrent(), impl_->socket4FD_, true, hostFromAddress);
}
std::string TcpSocket::connectedHost6() const {
    return endpointOnQueue(impl_->queue_.isCurrent(), impl_->socket6FD_, true, hostFromAddress);
}
uint16_t TcpSocket::connectedPort4() const {
    return endpointOnQueue(impl_->queue_.isCurrent(), impl_->socket4FD_, true, portFromAddress);
}
uint16_t TcpSocket::connectedPort6() const {
    return endpointOnQueue(impl_->queue_.isCurrent(), impl_->socket6FD_, true, portFromAddress);
}
std::string TcpSocket::localHost4() const {
    return endpointOnQueue(impl_->queue_.isCurrent(), impl_->socket4FD_, false, hostFromAddress);
}
std::string TcpSocket::localHost6() const {
    return endpointOnQueue(impl_->queue_.isCurrent(), impl_->socket6FD_, false, hostFromAddress);
}
uint16_t TcpSocket::localPort4() const {
    return endpointOnQueue(impl_->queue_.isCurrent(), impl_->socket4FD_, false, portFromAddress);
}
uint16_t TcpSocket::localPort6() const {
    return endpointOnQueue(impl_->queue_.isCurrent(), impl_->socket6FD_, false, portFromAddress);
}

std::string TcpSocket::connectedUrl() const {
    return impl_->queue_.sync([&s = *impl_] {
        const std::string path = pathFromAddressUN(peerAddressOf(s.socketUN_));
        return path.empty() ? std::string() : fileUrlFromPath(path);
    });
}

Bytes TcpSocket::connectedAddress() const {
    return impl_->queue_.sync(
        [&s = *impl_] { return peerAddressOf(s.socket6FD_ != -1 ? s.socket6FD_ : s.socket4FD_); });
}

Bytes TcpSocket::localAddress() const {
    return impl_->queue_.sync(
        [&s = *impl_] { return localAddressOf(s.socket6FD_ != -1 ? s.socket6FD_ : s.socket4FD_); });
}

bool TcpSocket::isIPv4() const {
    return impl_->queue_.sync([&s = *impl_] { return s.socket4FD_ != -1; });
}

bool TcpSocket::isIPv6() const {
    return impl_->queue_.sync([&s = *impl_] { return s.socket6FD_ != -1; });
}

bool TcpSocket::isSecure() const {
    return impl_->queue_.sync([&s = *impl_] { return (s.flags_ & Impl::flagSecure) != 0; });
}

}  // namespace quill::net
