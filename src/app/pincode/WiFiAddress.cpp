#include "app/pincode/WiFiAddress.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/foundation/SysLog.h"
#include "platform/foundation/Text.h"

namespace quill {

namespace {

bool isLoopbackText(const std::string& text) {
    return text.rfind("127.", 0) == 0;
}

}  // namespace

std::vector<InterfaceAddress> localInterfaceAddresses() {
    std::vector<InterfaceAddress> list;
    ifaddrs* addresses = nullptr;
    if (::getifaddrs(&addresses) != 0) return list;
    for (const ifaddrs* entry = addresses; entry; entry = entry->ifa_next) {
        InterfaceAddress item;
        item.name = entry->ifa_name ? entry->ifa_name : "";
        if (entry->ifa_addr) {
            item.family = entry->ifa_addr->sa_family;
            if (item.family == AF_INET || item.family == AF_INET6) {
                const socklen_t length = item.family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
                char host[NI_MAXHOST] = {};
                if (::getnameinfo(entry->ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) ==
                    0)
                    item.text = host;
            }
        }
        list.push_back(std::move(item));
    }
    ::freeifaddrs(addresses);
    return list;
}

bool isWirelessInterface(const std::string& name, const std::string& sysClassNet) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(sysClassNet) / name / "wireless", ec);
}

std::optional<std::string> preferredInterfaceName(const std::vector<InterfaceAddress>& list,
                                                  const char* environmentValue,
                                                  const std::function<bool(const std::string&)>& isWireless) {
    if (environmentValue && *environmentValue) return std::string(environmentValue);
    for (const InterfaceAddress& entry : list) {
        if (isWireless(entry.name)) return entry.name;
    }
    return std::nullopt;
}

std::optional<std::string> chooseWiFiAddress(const std::vector<InterfaceAddress>& list,
                                             const std::optional<std::string>& preferredInterface) {
    std::optional<std::string> firstCandidate;
    for (const InterfaceAddress& entry : list) {
        // Only IPv4 addresses that could be written as text qualify.
        if (entry.family != AF_INET || !entry.text) continue;
        const std::string& text = *entry.text;
        const bool dotted = platform::foundation::parseIPv4(text).has_value();
        if (preferredInterface && entry.name == *preferredInterface) {
            if (dotted) return text;
            continue;
        }
        if (!dotted) continue;
        sysLogString("name = " + entry.name + ", ip =" + text);
        if (!firstCandidate && !isLoopbackText(text)) firstCandidate = text;
    }
    return firstCandidate;
}

std::optional<std::string> getWiFiAddress() {
    const std::vector<InterfaceAddress> list = localInterfaceAddresses();
    const auto preferred =
        preferredInterfaceName(list, std::getenv("QUILLARAN_INTERFACE"),
                               [](const std::string& name) { return isWirelessInterface(name); });
    return chooseWiFiAddress(list, preferred);
}

}  // namespace quill
