#pragma once
// The settings of a TLS upgrade (TcpSocket::startTLS): a dictionary from these keys to typed values.
// A value of the wrong type, a setting the TLS engine refuses, and any of the refused keys at the end
// close the socket with a TcpSocketOtherError naming the key.

#include <any>
#include <map>
#include <string>

namespace quill::net {

using TlsSettings = std::map<std::string, std::any>;

// bool: this side is the server (default: client).
inline constexpr const char* kCFStreamSSLIsServer = "kCFStreamSSLIsServer";
// bool, client only: the handshake stops at the server's certificate and asks the delegate
// (socketDidReceiveTrust) whether to go on, instead of checking it against the system's trust store.
inline constexpr const char* TcpSocketManuallyEvaluateTrust = "TcpSocketManuallyEvaluateTrust";
// std::string: the name the server's certificate must carry (also sent as the server name).
inline constexpr const char* kCFStreamSSLPeerName = "kCFStreamSSLPeerName";
// platform::securetransport::Identity: this side's certificate chain with its private key.
inline constexpr const char* kCFStreamSSLCertificates = "kCFStreamSSLCertificates";
// Bytes: the key sessions are kept under for resuming: a client's for its server, a server's for its
// peer (a server resumes only sessions it made under the same key; without one it resumes none).
inline constexpr const char* TcpSocketSSLPeerID = "TcpSocketSSLPeerID";
// long (an SSLProtocol value; 0 = not set): the lowest / highest protocol version.
inline constexpr const char* TcpSocketSSLProtocolVersionMin = "TcpSocketSSLProtocolVersionMin";
inline constexpr const char* TcpSocketSSLProtocolVersionMax = "TcpSocketSSLProtocolVersionMax";
// bool: accepted, without effect (the TLS engine has no such option).
inline constexpr const char* TcpSocketSSLSessionOptionFalseStart = "TcpSocketSSLSessionOptionFalseStart";
inline constexpr const char* TcpSocketSSLSessionOptionSendOneByteRecord =
    "TcpSocketSSLSessionOptionSendOneByteRecord";
// std::vector<uint16_t>: the cipher suites allowed, by their registered numbers (0x1301, 0xC02F, ...).
inline constexpr const char* TcpSocketSSLCipherSuites = "TcpSocketSSLCipherSuites";
// Bytes: Diffie-Hellman parameters (PEM or DER) for a server.
inline constexpr const char* TcpSocketSSLDiffieHellmanParameters = "TcpSocketSSLDiffieHellmanParameters";
// Refused when present, whatever their value.
inline constexpr const char* kCFStreamSSLAllowsAnyRoot = "kCFStreamSSLAllowsAnyRoot";
inline constexpr const char* kCFStreamSSLAllowsExpiredRoots = "kCFStreamSSLAllowsExpiredRoots";
inline constexpr const char* kCFStreamSSLValidatesCertificateChain = "kCFStreamSSLValidatesCertificateChain";
inline constexpr const char* kCFStreamSSLAllowsExpiredCertificates = "kCFStreamSSLAllowsExpiredCertificates";
inline constexpr const char* kCFStreamSSLLevel = "kCFStreamSSLLevel";

}  // namespace quill::net
