#pragma once
// This computer's own IPv4 address on the local network: the address the 8-digit pins are decoded
// against and whose last octet the receiver link announces.
//
// The interface is chosen as follows. The preferred interface is QUILLARAN_INTERFACE when set, else the
// first wireless interface the system lists (one with a /sys/class/net/<name>/wireless folder). An IPv4
// address of the preferred interface wins over every other (loopback too, so QUILLARAN_INTERFACE=lo
// works against a receiver on this machine). Otherwise the first IPv4 address of any other interface
// that is not a loopback address (127.x.x.x) is used. Only IPv4 addresses qualify.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quill {

// One entry of the system's interface address list.
struct InterfaceAddress {
    std::string name;
    // AF_INET, AF_INET6, AF_PACKET...; 0 for an entry without an address.
    int family = 0;
    // The address as numeric text; none when it could not be converted.
    std::optional<std::string> text;
};

// The system's interface address list, in the order the system gives it (empty when it cannot be read).
std::vector<InterfaceAddress> localInterfaceAddresses();
// True when the system marks the interface as wireless (sysClassNet/<name>/wireless exists).
bool isWirelessInterface(const std::string& name, const std::string& sysClassNet = "/sys/class/net");
// The preferred interface: environmentValue when set and not empty, else the first interface of list for
// which isWireless answers true, else none.
std::optional<std::string> preferredInterfaceName(const std::vector<InterfaceAddress>& list,
                                                  const char* environmentValue,
                                                  const std::function<bool(const std::string&)>& isWireless);
// Chooses the address from list (logging the other interfaces' candidates as it walks).
std::optional<std::string> chooseWiFiAddress(const std::vector<InterfaceAddress>& list,
                                             const std::optional<std::string>& preferredInterface);
// The address from the system's list, with QUILLARAN_INTERFACE and /sys/class/net deciding the preferred
// interface. Keeps no state; may run on any thread.
std::optional<std::string> getWiFiAddress();

}  // namespace quill
