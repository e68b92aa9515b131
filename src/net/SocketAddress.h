#pragma once
// Socket addresses as byte buffers (a sockaddr_in of 16 bytes, a sockaddr_in6 of 28 bytes, or a
// sockaddr_un up to the end of its path), their decoding into numeric host strings and ports, the
// endpoints of a descriptor, local interface descriptions ("eth0", "127.0.0.1", "localhost:8080",
// "[::1]:8080", ...), and the file URLs that name unix-domain sockets. Shared by the TCP and UDP sockets.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Bytes.h"

namespace quill::net {

Bytes makeAddress4(const in_addr& addr, uint16_t port);
Bytes makeAddress6(const in6_addr& addr, uint16_t port, uint32_t scope = 0);
// The loopback addresses 127.0.0.1 and ::1 with a port.
Bytes loopbackAddress4(uint16_t port);
Bytes loopbackAddress6(uint16_t port);

// The buffer is at least a sockaddr_in / sockaddr_in6 and carries that family.
bool isIPv4Address(const Bytes& address);
bool isIPv6Address(const Bytes& address);
int addressFamily(const Bytes& address);  // AF_INET, AF_INET6 or AF_UNSPEC

// Numeric host ("" when inet_ntop fails) and port in host order; false / "" / 0 for anything that is
// not an IPv4 or IPv6 address.
bool getHost(const Bytes& address, std::string* host, uint16_t* port, int* family = nullptr);
std::string hostFromAddress(const Bytes& address);
uint16_t portFromAddress(const Bytes& address);
std::string hostFromSockaddr4(const sockaddr_in& sa);
std::string hostFromSockaddr6(const sockaddr_in6& sa);
uint16_t portFromSockaddr4(const sockaddr_in& sa);
uint16_t portFromSockaddr6(const sockaddr_in6& sa);
// A unix-domain address for path; empty when path is empty or too long for sun_path (never truncated).
Bytes makeAddressUN(const std::string& path);
// The path of a unix-domain address buffer, empty for anything else (or an unnamed socket).
std::string pathFromAddressUN(const Bytes& address);
// File URLs: "file://" and the path, with bytes outside the unreserved set and "/" percent-encoded.
std::string fileUrlFromPath(const std::string& path);
// The path a file URL names ("file:///p" or "file://localhost/p", percent-decoded), or a plain absolute
// path as given; empty for anything else.
std::string pathFromFileUrl(const std::string& url);
// The file URL of a unix-domain socket address; empty when it has no path.
std::string urlFromSockaddrUN(const sockaddr_un& sa, socklen_t length);

// Sets the port of an IPv4 or IPv6 address buffer.
void setAddressPort(Bytes& address, uint16_t port);

// The peer / local address of a descriptor, empty when the call fails.
Bytes peerAddressOf(int fd);
Bytes localAddressOf(int fd);

// Resolves an interface description: null gives the "any" addresses, "localhost" / "loopback" the
// loopback ones, otherwise the first IPv4 and IPv6 address of the interface whose name or numeric address
// equals the text (an IPv6 address may carry its interface as "%name"). A port is taken, when port is 0,
// from "[address]:port" or from a text with exactly one ':' ("eth0:8080"); any other text with colons is
// an IPv6 address as a whole. Either result may come back empty.
void getInterfaceAddress(const std::optional<std::string>& description, uint16_t port, Bytes* address4,
                         Bytes* address6);

// Terminators for reads up to a delimiter.
const Bytes& CRLFData();
const Bytes& CRData();
const Bytes& LFData();
const Bytes& ZeroData();

}  // namespace quill::net
