#pragma once
// A TLS connection driven through caller-supplied, non-blocking I/O callbacks: the context a socket
// upgrades itself with. The caller owns the transport; the context asks it for bytes and hands it bytes
// through the two callbacks, which answer at once with success, would-block or a closed connection.
// Results are status numbers (0 on success, negative on failure) in the numbering the socket's TLS
// errors carry; the engine's own outcomes are mapped onto them. Backed by OpenSSL 3.
//
// Threads: a context is used from one thread at a time (the socket's queue); the callbacks run inside
// its calls. Identity, Certificate and Trust values are immutable and may be shared between threads.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Bytes.h"

namespace quill::platform::securetransport {

using foundation::Bytes;
using OSStatus = int32_t;

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus errSecParam = -50;                // a parameter the engine cannot use
inline constexpr OSStatus errSSLProtocol = -9800;           // protocol failure, also a fatal alert
inline constexpr OSStatus errSSLNegotiation = -9801;        // no protocol version or cipher in common
inline constexpr OSStatus errSSLWouldBlock = -9803;         // call again once the transport is ready
inline constexpr OSStatus errSSLClosedGraceful = -9805;     // the peer closed with a close alert
inline constexpr OSStatus errSSLClosedAbort = -9806;        // the transport closed without one
inline constexpr OSStatus errSSLXCertChainInvalid = -9807;  // the peer's chain does not verify
inline constexpr OSStatus errSSLInternal = -9810;           // the engine failed
inline constexpr OSStatus errSSLCertExpired = -9814;        // the peer's certificate has expired
inline constexpr OSStatus errSSLPeerBadCert = -9825;        // a certificate was rejected
inline constexpr OSStatus errSSLPeerAuthCompleted = -9841;  // paused for the caller to judge the peer
inline constexpr OSStatus errSSLHostNameMismatch = -9843;   // the certificate names another host

enum SSLProtocolSide { kSSLServerSide, kSSLClientSide };

// Protocol versions for the minimum and maximum settings.
enum SSLProtocol : long {
    kSSLProtocolUnknown = 0,
    kSSLProtocol3 = 2,
    kTLSProtocol1 = 4,
    kTLSProtocol11 = 7,
    kTLSProtocol12 = 8,
    kTLSProtocol13 = 10,
};

// A certificate, as DER bytes.
class Certificate {
  public:
    explicit Certificate(Bytes der) : der_(std::move(der)) {}
    const Bytes& der() const { return der_; }
    // The subject's common name, "" when it has none or the bytes are no certificate.
    std::string commonName() const;

  private:
    Bytes der_;
};

// A certificate chain (leaf first) with the leaf's private key: what a side presents.
class Identity {
  public:
    // From PEM text holding one private key and one or more certificates; nullopt (and the reason in
    // *why) when either is missing, the key is encrypted (no pass-phrase is ever asked for) or it does
    // not match the first certificate.
    static std::optional<Identity> fromPEM(std::string_view pem, std::string* why = nullptr);
    const std::vector<Certificate>& certificates() const;

    struct State;
    const std::shared_ptr<const State>& state() const { return state_; }

  private:
    explicit Identity(std::shared_ptr<const State> state) : state_(std::move(state)) {}
    std::shared_ptr<const State> state_;
};

// The chain a server presented, for a client that judges it itself.
class Trust {
  public:
    explicit Trust(std::vector<Certificate> chain) : chain_(std::move(chain)) {}
    // Leaf first.
    const std::vector<Certificate>& certificates() const { return chain_; }
    // Checks the chain against the system's trust store and, when given, the host name; the reason
    // for a failure goes to *why.
    bool evaluate(const std::optional<std::string>& hostName, std::string* why = nullptr) const;

  private:
    std::vector<Certificate> chain_;
};

// The transport callbacks. Read: fill up to *length bytes; write: take up to *length bytes. Both set
// *length to what they did and return noErr (all of it), errSSLWouldBlock (less, possibly none) or
// errSSLClosedAbort (the transport is gone).
using SSLReadFunc = std::function<OSStatus(void* data, size_t* length)>;
using SSLWriteFunc = std::function<OSStatus(const void* data, size_t* length)>;

class SSLContext {
  public:
    // Null when the engine cannot make a context.
    static std::unique_ptr<SSLContext> create(SSLProtocolSide side);
    ~SSLContext();
    SSLContext(const SSLContext&) = delete;
    SSLContext& operator=(const SSLContext&) = delete;

    SSLProtocolSide side() const;

    // Settings, before the handshake; each returns noErr or the reason it was refused.
    OSStatus setIOFuncs(SSLReadFunc read, SSLWriteFunc write);
    // Client only: the handshake stops with errSSLPeerAuthCompleted once the server's chain is in, for
    // the caller to judge (copyPeerTrust); the next handshake() call goes on as if it verified.
    OSStatus setBreakOnServerAuth(bool on);
    // The name the server's certificate must carry (an IP address is checked as one); also sent to the
    // server as the name asked for.
    OSStatus setPeerDomainName(const std::string& name);
    OSStatus setCertificate(const Identity& identity);
    // Sessions are kept under this key for resuming. A client offers the one it last had under it; a
    // server resumes only sessions it made under the same key with the same certificate, and without
    // a key hands out none.
    OSStatus setPeerID(const Bytes& peerID);
    OSStatus setProtocolVersionMin(long version);
    OSStatus setProtocolVersionMax(long version);
    // Registered cipher-suite numbers; unknown numbers are skipped, none known is refused.
    OSStatus setEnabledCiphers(const std::vector<uint16_t>& suites);
    // Diffie-Hellman parameters, PEM or DER.
    OSStatus setDiffieHellmanParams(const Bytes& params);

    // Runs the handshake as far as the transport allows: noErr once done, errSSLWouldBlock to be called
    // again when the transport is ready, errSSLPeerAuthCompleted (see above), or a failure.
    OSStatus handshake();
    // Decrypted bytes: noErr with *processed > 0, errSSLWouldBlock, errSSLClosedGraceful,
    // errSSLClosedAbort or a failure.
    OSStatus read(void* data, size_t length, size_t* processed);
    // Encrypts and sends all of data. When the transport refuses, the bytes are kept and the result is
    // errSSLWouldBlock with *processed 0: call write(nullptr, 0, ...) later to send them, which then
    // reports *processed as their count.
    OSStatus write(const void* data, size_t length, size_t* processed);
    // Sends the close alert (once).
    OSStatus close();
    // Decrypted bytes held inside, readable without the transport.
    size_t bufferedReadSize() const;
    // The handshake resumed an earlier session instead of making a new one.
    bool sessionWasResumed() const;
    // The chain the peer presented; null before it arrived.
    std::shared_ptr<const Trust> copyPeerTrust() const;
    // The negotiated protocol ("TLSv1.3") and cipher ("TLS_AES_128_GCM_SHA256"), "" before.
    std::string protocolVersion() const;
    std::string cipher() const;

    struct State;

  private:
    explicit SSLContext(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace quill::platform::securetransport
