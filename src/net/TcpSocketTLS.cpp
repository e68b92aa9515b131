// The TLS upgrade: startTLS queues a marker in both directions; once both queues reach it the settings
// make the context, the handshake runs through the socket's own non-blocking transport callbacks, and
// the read and write loops move their bytes through the context from then on.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/SocketErrors.h"
#include "net/TcpSocketImpl.h"

namespace quill::net {

namespace st = platform::securetransport;

namespace {

// Integers of any of the usual types (also SSLProtocol values).
std::optional<long> numberOf(const std::any& value) {
    if (const auto* v = std::any_cast<long>(&value)) return *v;
    if (const auto* v = std::any_cast<int>(&value)) return *v;
    if (const auto* v = std::any_cast<long long>(&value)) return long(*v);
    if (const auto* v = std::any_cast<unsigned>(&value)) return long(*v);
    if (const auto* v = std::any_cast<st::SSLProtocol>(&value)) return long(*v);
    return std::nullopt;
}

std::optional<std::vector<uint16_t>> cipherSuitesOf(const std::any& value) {
    if (const auto* v = std::any_cast<std::vector<uint16_t>>(&value)) return *v;
    if (const auto* v = std::any_cast<std::vector<int>>(&value)) {
        std::vector<uint16_t> out;
        for (int suite : *v) {
            if (suite < 0 || suite > 0xFFFF) return std::nullopt;
            out.push_back(uint16_t(suite));
        }
        return out;
    }
    return std::nullopt;
}

}  // namespace

void TcpSocket::startTLS(TlsSettings settings) {
    auto marker = std::make_shared<TcpSpecialPacket>(std::move(settings));
    impl_->asyncOnQueue([marker = std::move(marker)](Impl& s) {
        if (!(s.flags_ & Impl::flagStarted) ||
            (s.flags_ & (Impl::flagQueuedTLS | Impl::flagForbidReadsWrites)))
            return;
        s.readQueue_.push_back(marker);
        s.writeQueue_.push_back(marker);
        s.flags_ |= Impl::flagQueuedTLS;
        s.maybeDequeueRead();
        s.maybeDequeueWrite();
    });
}

st::SSLContext* TcpSocket::sslContext() const {
    return impl_->queue_.isCurrent() ? impl_->sslContext_.get() : nullptr;
}

void TcpSocket::Impl::maybeStartTLS() {
    // Both directions have finished what was queued before the upgrade.
    if ((flags_ & flagStartingReadTLS) && (flags_ & flagStartingWriteTLS)) sslStartTLS();
}

void TcpSocket::Impl::sslStartTLS() {
    const auto* marker = packetAs<TcpSpecialPacket>(currentRead_);
    if (!marker) {
        closeWithError(otherError("Logic error"));
        return;
    }
    // Made first: the transport callbacks use it as soon as the context exists.
    sslPreBuffer_ = std::make_unique<TcpSocketPreBuffer>(4096);
    if (auto failure = applyTlsSettings(marker->tlsSettings)) {
        closeWithError(*failure);
        return;
    }
    // Bytes that arrived before the upgrade were read already; they belong to the handshake.
    if (const size_t n = preBuffer_.availableBytes()) {
        sslPreBuffer_->ensureCapacityForWrite(n);
        std::memcpy(sslPreBuffer_->writeBuffer(), preBuffer_.readBuffer(), n);
        sslPreBuffer_->didWrite(n);
        preBuffer_.didRead(n);
    }
    lastSSLHandshakeError_ = 0;
    sslErrCode_ = 0;
    sslContinueHandshake();
}

std::optional<Error> TcpSocket::Impl::applyTlsSettings(const TlsSettings& settings) {
    auto find = [&](const char* key) -> const std::any* {
        auto it = settings.find(key);
        return it == settings.end() ? nullptr : &it->second;
    };
    auto invalid = [](const char* key) { return otherError(std::string("Invalid value for ") + key + "."); };

    bool isServer = false;
    if (const std::any* v = find(kCFStreamSSLIsServer)) {
        if (const bool* b = std::any_cast<bool>(v)) isServer = *b;
    }
    sslContext_ = st::SSLContext::create(isServer ? st::kSSLServerSide : st::kSSLClientSide);
    if (!sslContext_) return otherError("Error in SSLCreateContext");
    // The callbacks are the connection: they run inside the context's calls, on the socket queue, and
    // the context never outlives this object.
    if (sslContext_->setIOFuncs(
            [this](void* data, size_t* length) { return sslRead(data, length); },
            [this](const void* data, size_t* length) { return sslWrite(data, length); }) != st::noErr)
        return otherError("Error in SSLSetIOFuncs");

    if (const std::any* v = find(TcpSocketManuallyEvaluateTrust)) {
        const bool* manual = std::any_cast<bool>(v);
        if (manual && *manual) {
            if (isServer) return otherError("Manual trust validation is not supported for server sockets");
            if (sslContext_->setBreakOnServerAuth(true) != st::noErr)
                return otherError("Error in SSLSetSessionOption");
        }
    }
    if (const std::any* v = find(kCFStreamSSLPeerName)) {
        const auto* name = std::any_cast<std::string>(v);
        if (!name) return invalid(kCFStreamSSLPeerName);
        if (sslContext_->setPeerDomainName(*name) != st::noErr)
            return otherError("Error in SSLSetPeerDomainName");
    }
    if (const std::any* v = find(kCFStreamSSLCertificates)) {
        const auto* identity = std::any_cast<st::Identity>(v);
        if (!identity) return invalid(kCFStreamSSLCertificates);
        if (sslContext_->setCertificate(*identity) != st::noErr)
            return otherError("Error in SSLSetCertificate");
    }
    if (const std::any* v = find(TcpSocketSSLPeerID)) {
        const auto* peerID = std::any_cast<Bytes>(v);
        if (!peerID) return invalid(TcpSocketSSLPeerID);
        if (sslContext_->setPeerID(*peerID) != st::noErr) return otherError("Error in SSLSetPeerID");
    }
    if (const std::any* v = find(TcpSocketSSLProtocolVersionMin)) {
        const auto version = numberOf(*v);
        if (!version) return invalid(TcpSocketSSLProtocolVersionMin);
        if (*version != 0 && sslContext_->setProtocolVersionMin(*version) != st::noErr)
            return otherError("Error in SSLSetProtocolVersionMin");
    }
    if (const std::any* v = find(TcpSocketSSLProtocolVersionMax)) {
        const auto version = numberOf(*v);
        if (!version) return invalid(TcpSocketSSLProtocolVersionMax);
        if (*version != 0 && sslContext_->setProtocolVersionMax(*version) != st::noErr)
            return otherError("Error in SSLSetProtocolVersionMax");
    }
    // The TLS engine has neither false start nor one-byte records: both options are accepted and have no
    // effect.
    for (const char* key :
         {TcpSocketSSLSessionOptionFalseStart, TcpSocketSSLSessionOptionSendOneByteRecord}) {
        if (const std::any* v = find(key); v && !std::any_cast<bool>(v)) return invalid(key);
    }
    if (const std::any* v = find(TcpSocketSSLCipherSuites)) {
        const auto suites = cipherSuitesOf(*v);
        if (!suites) return invalid(TcpSocketSSLCipherSuites);
        if (sslContext_->setEnabledCiphers(*suites) != st::noErr)
            return otherError("Error in SSLSetEnabledCiphers");
    }
    if (const std::any* v = find(TcpSocketSSLDiffieHellmanParameters)) {
        const auto* params = std::any_cast<Bytes>(v);
        if (!params) return invalid(TcpSocketSSLDiffieHellmanParameters);
        if (sslContext_->setDiffieHellmanParams(*params) != st::noErr)
            return otherError("Error in SSLSetDiffieHellmanParams");
    }
    for (const char* key :
         {kCFStreamSSLAllowsAnyRoot, kCFStreamSSLAllowsExpiredRoots, kCFStreamSSLValidatesCertificateChain,
          kCFStreamSSLAllowsExpiredCertificates, kCFStreamSSLLevel}) {
        if (find(key)) return otherError(std::string("Security option unavailable - ") + key);
    }
    return std::nullopt;
}

void TcpSocket::Impl::sslContinueHandshake() {
    const OSStatus status = sslContext_->handshake();
    lastSSLHandshakeError_ = status;
    if (status == st::noErr) {
        flags_ &= ~(flagStartingReadTLS | flagStartingWriteTLS);
        flags_ |= flagSecure;
        post([](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidSecure(s); });
        // The markers are done.
        endCurrentRead();
        endCurrentWrite();
        maybeDequeueRead();
        maybeDequeueWrite();
    } else if (status == st::errSSLPeerAuthCompleted) {
        auto trust = sslContext_->copyPeerTrust();
        auto delegate = delegate_.lock();
        if (!trust) {
            closeWithError(sslError(status));
            return;
        }
        const char* unanswered =
            "TcpSocketManuallyEvaluateTrust specified in tlsSettings, but delegate doesn't implement "
            "socket:shouldTrustPeer:";
        if (!delegateQueue_ || !delegate) {
            closeWithError(otherError(unanswered));
            return;
        }
        // The answer belongs to this connection only: one that comes after a close (and maybe a new
        // connection) carries an old index and is dropped.
        const int index = stateIndex_;
        post([trust, index, unanswered](TcpSocketDelegate& d, TcpSocket& sock) {
            auto handler = [weak = sock.impl_->weak(), index](bool shouldTrust) {
                if (auto s = weak.lock()) {
                    s->impl_->asyncOnQueue(
                        [shouldTrust, index](Impl& impl) { impl.sslShouldTrustPeer(shouldTrust, index); });
                    s.reset();
                }
            };
            if (!d.socketDidReceiveTrust(sock, trust, std::move(handler))) {
                sock.impl_->asyncOnQueue([index, unanswered](Impl& impl) {
                    if (index == impl.stateIndex_) impl.closeWithError(otherError(unanswered));
                });
            }
        });
    } else if (status != st::errSSLWouldBlock) {
        closeWithError(sslError(status));
    }
    // Would block: the transport callbacks have resumed the source the handshake waits for, whose event
    // calls this again.
}

void TcpSocket::Impl::sslShouldTrustPeer(bool shouldTrust, int index) {
    if (index != stateIndex_) return;
    ++stateIndex_;
    if (shouldTrust) {
        sslContinueHandshake();
    } else {
        closeWithError(sslError(st::errSSLPeerBadCert));
    }
}

TcpSocket::Impl::OSStatus TcpSocket::Impl::sslRead(void* buffer, size_t* length) {
    const size_t wanted = *length;
    size_t done = 0;
    *length = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    if (socketFDBytesAvailable_ == 0 && sslPreBuffer_->availableBytes() == 0) {
        resumeReadSource();
        return st::errSSLWouldBlock;
    }
    if (const size_t staged = sslPreBuffer_->availableBytes()) {
        done = std::min(staged, wanted);
        std::memcpy(out, sslPreBuffer_->readBuffer(), done);
        sslPreBuffer_->didRead(done);
        if (done == wanted) {
            *length = done;
            return st::noErr;
        }
    }
    if (socketFDBytesAvailable_ > 0) {
        const size_t needed = wanted - done;
        // More is announced than asked for: take it all in one read, keep the rest for the next call.
        const bool intoPreBuffer = socketFDBytesAvailable_ > needed;
        ssize_t r;
        if (intoPreBuffer) {
            sslPreBuffer_->ensureCapacityForWrite(socketFDBytesAvailable_);
            r = ::read(connectedFD(), sslPreBuffer_->writeBuffer(), socketFDBytesAvailable_);
        } else {
            r = ::read(connectedFD(), out + done, needed);
        }
        if (r <= 0) {
            const bool blocked = r < 0 && wouldBlock(errno);
            socketFDBytesAvailable_ = 0;
            *length = done;
            if (!blocked) return st::errSSLClosedAbort;
            resumeReadSource();
            return st::errSSLWouldBlock;
        }
        const size_t got = size_t(r);
        socketFDBytesAvailable_ -= std::min(got, socketFDBytesAvailable_);
        if (intoPreBuffer) {
            sslPreBuffer_->didWrite(got);
            const size_t take = std::min(got, needed);
            std::memcpy(out + done, sslPreBuffer_->readBuffer(), take);
            sslPreBuffer_->didRead(take);
            done += take;
        } else {
            done += got;
        }
    }
    *length = done;
    if (done == wanted) return st::noErr;
    resumeReadSource();
    return st::errSSLWouldBlock;
}

TcpSocket::Impl::OSStatus TcpSocket::Impl::sslWrite(const void* buffer, size_t* length) {
    const size_t offered = *length;
    *length = 0;
    if (!(flags_ & flagCanAcceptBytes)) {
        resumeWriteSource();
        return st::errSSLWouldBlock;
    }
    const ssize_t r = sendNoSignal(connectedFD(), buffer, offered);
    if (r >= 0 && size_t(r) == offered) {
        *length = offered;
        return st::noErr;
    }
    if (r < 0 && !wouldBlock(errno)) {
        flags_ &= ~flagCanAcceptBytes;
        return st::errSSLClosedAbort;
    }
    // The kernel refused bytes: wait for writability. The write source must run again, or a handshake
    // that waits to write would never be woken.
    *length = r > 0 ? size_t(r) : 0;
    flags_ &= ~flagCanAcceptBytes;
    resumeWriteSource();
    return st::errSSLWouldBlock;
}

size_t TcpSocket::Impl::sslBufferedBytes() const {
    return (sslPreBuffer_ ? sslPreBuffer_->availableBytes() : 0) +
           (sslContext_ ? sslContext_->bufferedReadSize() : 0);
}

void TcpSocket::Impl::flushSSLBuffers() {
    if (!sslContext_ || preBuffer_.availableBytes() > 0) return;
    size_t estimate = socketFDBytesAvailable_ + sslBufferedBytes();
    while (estimate > 0) {
        preBuffer_.ensureCapacityForWrite(estimate);
        size_t n = 0;
        const OSStatus status = sslContext_->read(preBuffer_.writeBuffer(), estimate, &n);
        preBuffer_.didWrite(n);
        if (status != st::noErr) {
            // The peer's close alert (or the end of its stream) met here decides how the close reads.
            if ((status == st::errSSLClosedGraceful || status == st::errSSLClosedAbort) &&
                sslErrCode_ == st::noErr)
                sslErrCode_ = status;
            break;
        }
        estimate = socketFDBytesAvailable_ + sslBufferedBytes();
    }
}

}  // namespace quill::net
