// Local decoding of 8-digit pins and the choice of the local address they are decoded against.
#include <sys/socket.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "app/pincode/ServerlessPinCode.h"
#include "app/pincode/WiFiAddress.h"
#include "platform/foundation/SysLog.h"
#include "support/TempFolder.h"

namespace quill {
namespace {

using platform::foundation::LogCapture;
using Status = ServerlessPinCodeStatus;

std::string decodedAddress(const std::string& pin, const std::string& local) {
    const auto result = decodeServerlessPinCode(pin, local);
    if (result.status != Status::found || !result.receiver)
        return "status " + std::to_string(int(result.status));
    return result.receiver->ipList.at(0);
}

TEST(ServerlessPinCode, DecodesTheTwoLastOctetsWithTheKey) {
    LogCapture log;
    const auto result = decodeServerlessPinCode("37036022", std::string("192.168.1.20"));
    ASSERT_EQ(result.status, Status::found);
    ASSERT_TRUE(result.receiver);
    EXPECT_EQ(*result.receiver, (ReceiverObject{"", "", {"192.168.1.51"}, "37036022"}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"local ip=192.168.1.20", "sf=37, sa=036, sb=022",
                                                     "targetIp =192.168.1.51"}));
}

TEST(ServerlessPinCode, EdgeValues) {
    EXPECT_EQ(decodedAddress("05000255", "10.0.5.7"), "10.0.5.250");
    // All zeros: the local network's first two octets, then 0 and 0.
    EXPECT_EQ(decodedAddress("00000000", "10.0.5.7"), "10.0.0.0");
    // 255 is the largest octet, whether given directly or reached through the key.
    EXPECT_EQ(decodedAddress("00255255", "172.16.9.9"), "172.16.255.255");
    EXPECT_EQ(decodedAddress("99156156", "172.16.9.9"), "172.16.255.255");
    // Leading zeros are decimal, never octal: 036 is 36.
    EXPECT_EQ(decodedAddress("00036010", "10.0.0.1"), "10.0.36.10");
}

TEST(ServerlessPinCode, OctetsOf256OrMoreAreInvalid) {
    LogCapture log;
    EXPECT_EQ(decodeServerlessPinCode("00256000", std::string("10.0.0.1")).status, Status::invalidPinCode);
    EXPECT_TRUE(log.contains("invalid pincode"));
    // 257 XOR 1 is 256.
    EXPECT_EQ(decodeServerlessPinCode("01000257", std::string("10.0.0.1")).status, Status::invalidPinCode);
    // All nines: 999 XOR 99 = 900 for both.
    const auto nines = decodeServerlessPinCode("99999999", std::string("10.0.0.1"));
    EXPECT_EQ(nines.status, Status::invalidPinCode);
    EXPECT_FALSE(nines.receiver);
}

TEST(ServerlessPinCode, AnythingButEightDecimalDigitsIsInvalid) {
    for (const std::string pin : {"", "1234567", "123456789", "1234a678", " 1234567", "+1234567", "1234567\n",
                                  "12.45678", "１２３４５６７８"}) {
        LogCapture log;
        const auto result = decodeServerlessPinCode(pin, std::string("10.0.0.1"));
        EXPECT_EQ(result.status, Status::invalidPinCode) << pin;
        EXPECT_FALSE(result.receiver) << pin;
        EXPECT_TRUE(log.contains("invalid pincode")) << pin;
    }
}

TEST(ServerlessPinCode, LocalAddressIsCheckedFirst) {
    {
        LogCapture log;
        EXPECT_EQ(decodeServerlessPinCode("12345678", std::nullopt).status, Status::noLocalIP);
        EXPECT_EQ(decodeServerlessPinCode("bad", std::nullopt).status, Status::noLocalIP);
        EXPECT_EQ(log.count("get local ip error"), 2u);
    }
    // Only a dotted-decimal IPv4 address: octets above 255 and leading zeros (octal to some parsers) too
    // are refused rather than copied into the receiver's address.
    for (const std::string local : {"10.0.1", "10.0.0.1.5", "fe80::1", "10..0.1", "a.b.c.d", "", "256.1.0.1",
                                    "10.300.0.1", "010.0.0.1"}) {
        LogCapture log;
        EXPECT_EQ(decodeServerlessPinCode("00000000", local).status, Status::invalidLocalIP) << local;
        EXPECT_TRUE(log.contains("get a invalid ip")) << local;
    }
}

// ---- the local address ----

InterfaceAddress v4(const std::string& name, const std::string& text) {
    return {name, AF_INET, text};
}
InterfaceAddress v6(const std::string& name, const std::string& text) {
    return {name, AF_INET6, text};
}

TEST(WiFiAddress, PreferredInterfaceWinsWhereverItIsListed) {
    LogCapture log;
    const std::vector<InterfaceAddress> list{v4("lo0", "127.0.0.1"), v4("en1", "192.168.2.9"),
                                             v4("en0", "10.1.1.3"), v4("en2", "172.16.0.4")};
    EXPECT_EQ(chooseWiFiAddress(list, std::string("en0")), "10.1.1.3");
    // The walk stops at the preferred interface: only what came before it is logged.
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"name = lo0, ip =127.0.0.1", "name = en1, ip =192.168.2.9"}));
}

TEST(WiFiAddress, FallsBackToTheFirstOtherAddressWithoutLoopback) {
    EXPECT_EQ(chooseWiFiAddress({v4("lo0", "127.0.0.1"), v4("en1", "192.168.2.9"), v4("en2", "10.0.0.2")},
                                std::string("en0")),
              "192.168.2.9");
    EXPECT_EQ(chooseWiFiAddress({v4("lo", "127.0.0.1"), v4("eth0", "10.0.0.2")}, std::nullopt), "10.0.0.2");
    // Any loopback address is passed over, not only 127.0.0.1.
    EXPECT_EQ(chooseWiFiAddress({v4("lo", "127.0.1.1"), v4("eth0", "10.0.0.2")}, std::nullopt), "10.0.0.2");
    LogCapture log;
    EXPECT_EQ(chooseWiFiAddress({v4("lo0", "127.0.0.1")}, std::string("en0")), std::nullopt);
    EXPECT_EQ(chooseWiFiAddress({}, std::nullopt), std::nullopt);
    EXPECT_TRUE(log.contains("name = lo0, ip =127.0.0.1"));
}

TEST(WiFiAddress, OnlyIPv4AddressesQualify) {
    // The preferred interface with only an IPv6 address gives way to the others.
    EXPECT_EQ(
        chooseWiFiAddress({v6("wlan0", "fe80::1%wlan0"), v6("eth0", "2001:db8::1"), v4("eth0", "10.2.0.3")},
                          std::string("wlan0")),
        "10.2.0.3");
    // Entries without an address, of other families, or whose address could not be written out.
    EXPECT_EQ(chooseWiFiAddress({{"eth0", 0, std::nullopt},
                                 {"eth0", AF_PACKET, std::nullopt},
                                 {"eth1", AF_INET, std::nullopt},
                                 v6("eth2", "1.2.3.4.5")},
                                std::nullopt),
              std::nullopt);
}

TEST(WiFiAddress, OnlyDottedDecimalTextQualifies) {
    EXPECT_EQ(chooseWiFiAddress({v4("eth0", "10..1.2.3"), v4("eth1", "10.0.0.256"), v4("eth2", "10.0.0.9")},
                                std::string("eth0")),
              "10.0.0.9");
}

TEST(WiFiAddress, AnExplicitlyPreferredLoopbackIsTaken) {
    EXPECT_EQ(chooseWiFiAddress({v4("lo", "127.0.0.1"), v4("eth0", "10.0.0.2")}, std::string("lo")),
              "127.0.0.1");
}

TEST(WiFiAddress, PreferredInterfaceName) {
    const std::vector<InterfaceAddress> list{v4("lo", "127.0.0.1"), v4("eth0", "10.0.0.2"),
                                             v4("wlp2s0", "192.168.1.4"), v4("wlan1", "192.168.5.4")};
    auto wireless = [](const std::string& name) { return name.rfind("wl", 0) == 0; };
    EXPECT_EQ(preferredInterfaceName(list, "eth0", wireless), "eth0");
    EXPECT_EQ(preferredInterfaceName(list, nullptr, wireless), "wlp2s0");
    EXPECT_EQ(preferredInterfaceName(list, "", wireless), "wlp2s0");
    EXPECT_EQ(preferredInterfaceName(list, nullptr, [](const std::string&) { return false; }), std::nullopt);
}

TEST(WiFiAddress, WirelessInterfacesAreThoseWithAWirelessFolder) {
    testing::TempFolder sys;
    std::filesystem::create_directories(sys.path() / "wlan0" / "wireless");
    std::filesystem::create_directories(sys.path() / "eth0");
    EXPECT_TRUE(isWirelessInterface("wlan0", sys.str()));
    EXPECT_FALSE(isWirelessInterface("eth0", sys.str()));
    EXPECT_FALSE(isWirelessInterface("missing", sys.str()));
    // Names never reach outside the folder.
    std::filesystem::create_directories(sys.path() / "wireless");
    EXPECT_FALSE(isWirelessInterface(".", sys.str()));
    EXPECT_FALSE(isWirelessInterface("", sys.str()));
    EXPECT_FALSE(isWirelessInterface("wlan0/..", sys.str()));
}

TEST(WiFiAddress, TheSystemListGivesAnIPv4AddressOfIt) {
    const auto list = localInterfaceAddresses();
    testing::ScopedEnv env("QUILLARAN_INTERFACE", std::nullopt);
    const auto chosen = getWiFiAddress();
    if (!chosen) {
        for (const auto& entry : list) {
            if (entry.family == AF_INET && entry.text) {
                EXPECT_EQ(entry.text->rfind("127.", 0), 0u) << *entry.text;
            }
        }
        return;
    }
    bool listed = false;
    for (const auto& entry : list)
        listed |= entry.family == AF_INET && entry.text == chosen;
    EXPECT_TRUE(listed) << *chosen;
}

TEST(WiFiAddress, TheEnvironmentChoosesTheInterface) {
    bool hasLoopback = false;
    for (const auto& entry : localInterfaceAddresses())
        hasLoopback |= entry.name == "lo" && entry.family == AF_INET && entry.text == "127.0.0.1";
    if (!hasLoopback) GTEST_SKIP() << "no IPv4 loopback interface named lo";
    testing::ScopedEnv env("QUILLARAN_INTERFACE", "lo");
    EXPECT_EQ(getWiFiAddress(), "127.0.0.1");
    EXPECT_EQ(checkServerlessPinCode("00001002").receiver->ipList, std::vector<std::string>{"127.0.1.2"});
}

}  // namespace
}  // namespace quill
