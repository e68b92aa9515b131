#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "net/Resolver.h"
#include "net/SocketAddress.h"
#include "net/TcpPackets.h"
#include "net/TcpSocketPreBuffer.h"

namespace quill::net {
namespace {

using platform::foundation::bytesOf;
using platform::foundation::stringOf;

void stage(TcpSocketPreBuffer& pre, std::string_view text) {
    pre.ensureCapacityForWrite(text.size());
    std::memcpy(pre.writeBuffer(), text.data(), text.size());
    pre.didWrite(text.size());
}

std::shared_ptr<TcpReadPacket> termPacket(std::string_view term, size_t maxLength = 0) {
    Bytes t = bytesOf(term);
    return std::make_shared<TcpReadPacket>(nullptr, 0, maxLength, -1, 0, &t, 0);
}

// Puts text into the packet as if it had been delivered already.
void deliver(TcpReadPacket& p, std::string_view text) {
    p.ensureCapacityForAdditionalData(text.size());
    std::memcpy(p.writePosition(), text.data(), text.size());
    p.bytesDone += text.size();
}

TEST(TcpSocketPreBufferTest, GrowsByTheShortfallAndRewindsWhenDrained) {
    TcpSocketPreBuffer pre(8);
    stage(pre, "abcdef");
    EXPECT_EQ(pre.availableSpace(), 2u);
    pre.ensureCapacityForWrite(5);
    EXPECT_EQ(pre.capacity(), 11u);
    stage(pre, "ghijk");
    EXPECT_EQ(pre.availableBytes(), 11u);
    pre.didRead(4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pre.readBuffer()), 2), "ef");
    pre.didRead(7);
    EXPECT_EQ(pre.availableBytes(), 0u);
    EXPECT_EQ(pre.availableSpace(), pre.capacity());
}

// A buffer that is never quite drained (TLS records straddle every read) stays the size of what it holds.
TEST(TcpSocketPreBufferTest, ConsumedBytesMakeRoomBeforeTheBlockGrows) {
    TcpSocketPreBuffer pre(16);
    for (int i = 0; i < 1000; ++i) {
        stage(pre, "0123456789");
        pre.didRead(9);
    }
    EXPECT_EQ(pre.availableBytes(), 1000u);  // one byte left of each round
    EXPECT_LE(pre.capacity(), 1016u);
    pre.didRead(999);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pre.readBuffer()), 1), "9");
}

TEST(TcpReadPacketTest, LengthsRespectFixedLengthAndMaximum) {
    TcpReadPacket fixed(nullptr, 0, 0, -1, 10, nullptr, 1);
    EXPECT_EQ(fixed.buffer->size(), 10u);
    EXPECT_TRUE(fixed.bufferOwner);
    fixed.bytesDone = 4;
    EXPECT_EQ(fixed.readLengthForNonTerm(100), 6u);
    bool pre = true;
    EXPECT_EQ(fixed.optimalReadLength(32768, &pre), 6u);
    EXPECT_FALSE(pre);

    TcpReadPacket capped(nullptr, 0, 5, -1, 0, nullptr, 1);
    capped.bytesDone = 2;
    EXPECT_EQ(capped.readLengthForNonTerm(100), 3u);
    TcpReadPacket open(nullptr, 0, 0, -1, 0, nullptr, 1);
    EXPECT_EQ(open.readLengthForNonTerm(100), 100u);
}

TEST(TcpReadPacketTest, CallerBufferIsKeptAndGrownFromTheOffset) {
    auto buffer = std::make_shared<Bytes>(bytesOf("head"));
    TcpReadPacket p(buffer, 4, 0, -1, 0, nullptr, 7);
    EXPECT_FALSE(p.bufferOwner);
    EXPECT_EQ(p.originalBufferLength, 4u);
    deliver(p, "tail");
    EXPECT_EQ(stringOf(*buffer), "headtail");
}

TEST(TcpReadPacketTest, TerminatorFoundInsidePreBuffer) {
    auto p = termPacket("\r\n");
    TcpSocketPreBuffer pre(16);
    stage(pre, "abc\r\ndef");
    bool found = false;
    EXPECT_EQ(p->readLengthForTerm(pre, &found), 5u);
    EXPECT_TRUE(found);
}

TEST(TcpReadPacketTest, TerminatorFoundAcrossTheJoin) {
    auto p = termPacket("ABCD");
    deliver(*p, "xxAB");
    TcpSocketPreBuffer pre(16);
    stage(pre, "CDyy");
    bool found = false;
    EXPECT_EQ(p->readLengthForTerm(pre, &found), 2u);
    EXPECT_TRUE(found);

    // One byte of the terminator in the buffer, the rest in the pre-buffer.
    auto q = termPacket("ABCD");
    deliver(*q, "xxxA");
    TcpSocketPreBuffer pre2(16);
    stage(pre2, "BCDz");
    EXPECT_EQ(q->readLengthForTerm(pre2, &found), 3u);
    EXPECT_TRUE(found);
}

TEST(TcpReadPacketTest, TerminatorAbsentTakesEverythingUpToTheMaximum) {
    auto p = termPacket("\n", 6);
    deliver(*p, "ab");
    TcpSocketPreBuffer pre(16);
    stage(pre, "cdefgh");
    bool found = true;
    EXPECT_EQ(p->readLengthForTerm(pre, &found), 4u);
    EXPECT_FALSE(found);

    // Too little for a terminator at all: everything, found untouched.
    auto q = termPacket("ABCD");
    TcpSocketPreBuffer small(4);
    stage(small, "AB");
    found = true;
    EXPECT_EQ(q->readLengthForTerm(small, &found), 2u);
    EXPECT_TRUE(found);
}

TEST(TcpReadPacketTest, SearchAfterReadingStraightIntoTheBuffer) {
    // Nothing found in the new bytes.
    auto p = termPacket("\r\n");
    deliver(*p, "ab");
    p->ensureCapacityForAdditionalData(2);
    std::memcpy(p->writePosition(), "c\r", 2);
    EXPECT_EQ(p->searchForTermAfterPreBuffering(2), -1);

    auto q = termPacket("\r\n");
    deliver(*q, "abc\r");  // delivered before
    q->ensureCapacityForAdditionalData(4);
    std::memcpy(q->writePosition(), "\nxyz", 4);  // four new bytes read straight in
    EXPECT_EQ(q->searchForTermAfterPreBuffering(4), 3);
}

TEST(SocketAddressTest, DecodesFamiliesHostsAndPorts) {
    Bytes a4 = loopbackAddress4(11102);
    Bytes a6 = loopbackAddress6(10022);
    EXPECT_EQ(a4.size(), 16u);
    EXPECT_EQ(a6.size(), 28u);
    EXPECT_TRUE(isIPv4Address(a4));
    EXPECT_FALSE(isIPv6Address(a4));
    EXPECT_TRUE(isIPv6Address(a6));
    EXPECT_EQ(hostFromAddress(a4), "127.0.0.1");
    EXPECT_EQ(portFromAddress(a4), 11102);
    EXPECT_EQ(hostFromAddress(a6), "::1");
    EXPECT_EQ(portFromAddress(a6), 10022);
    int family = 0;
    std::string host = "x";
    uint16_t port = 9;
    EXPECT_FALSE(getHost(Bytes(10, 0), &host, &port, &family));
    EXPECT_EQ(host, "");
    EXPECT_EQ(port, 0);
    Bytes truncated(a6.begin(), a6.begin() + 20);
    EXPECT_FALSE(isIPv6Address(truncated));
    EXPECT_EQ(portFromAddress(truncated), 0);
}

TEST(SocketAddressTest, InterfaceDescriptions) {
    Bytes a4, a6;
    getInterfaceAddress(std::nullopt, 80, &a4, &a6);
    EXPECT_EQ(hostFromAddress(a4), "0.0.0.0");
    EXPECT_EQ(hostFromAddress(a6), "::");
    EXPECT_EQ(portFromAddress(a6), 80);
    getInterfaceAddress(std::string("localhost:8080"), 0, &a4, &a6);
    EXPECT_EQ(hostFromAddress(a4), "127.0.0.1");
    EXPECT_EQ(portFromAddress(a4), 8080);
    getInterfaceAddress(std::string("loopback:99999"), 0, &a4, &a6);
    EXPECT_EQ(portFromAddress(a6), 0);
    getInterfaceAddress(std::string("127.0.0.1"), 5, &a4, &a6);
    EXPECT_EQ(hostFromAddress(a4), "127.0.0.1");
    EXPECT_EQ(portFromAddress(a4), 5);
    getInterfaceAddress(std::string("no-such-interface0"), 0, &a4, &a6);
    EXPECT_TRUE(a4.empty());
    EXPECT_TRUE(a6.empty());
    // IPv6 addresses: whole when they stand alone, the port only after brackets.
    struct Case {
        const char* description;
        const char* host6;  // "" when no IPv6 address is found
        uint16_t port;
    };
    for (const Case& c : {Case{"::1", "::1", 0}, Case{"[::1]:5000", "::1", 5000}, Case{"[::1]", "::1", 0},
                          Case{"::1:5000", "", 0}, Case{"lo:7", "::1", 7}}) {
        getInterfaceAddress(std::string(c.description), 0, &a4, &a6);
        EXPECT_EQ(hostFromAddress(a6), c.host6) << c.description;
        EXPECT_EQ(portFromAddress(a6), c.port) << c.description;
    }
}

TEST(SocketAddressTest, UnixAddressesAndFileUrls) {
    const std::string path = "/tmp/a dir/s%ck.sock";
    const std::string url = fileUrlFromPath(path);
    EXPECT_EQ(url, "file:///tmp/a%20dir/s%25ck.sock");
    EXPECT_EQ(pathFromFileUrl(url), path);
    EXPECT_EQ(pathFromFileUrl("file://localhost/tmp/x"), "/tmp/x");
    EXPECT_EQ(pathFromFileUrl("/tmp/x"), "/tmp/x");
    for (const char* bad : {"", "tmp/x", "http://host/x", "file://host/x", "file:///x%2", "file:///x%00y"})
        EXPECT_EQ(pathFromFileUrl(bad), "") << bad;
    Bytes a = makeAddressUN(path);
    EXPECT_EQ(pathFromAddressUN(a), path);
    EXPECT_FALSE(isIPv4Address(a));
    // The longest path that fits keeps its terminating zero; one byte more is refused, not cut.
    const size_t room = sizeof(sockaddr_un::sun_path) - 1;
    EXPECT_EQ(pathFromAddressUN(makeAddressUN(std::string(room, 'p'))).size(), room);
    EXPECT_TRUE(makeAddressUN(std::string(room + 1, 'p')).empty());
    EXPECT_TRUE(makeAddressUN("").empty());
}

TEST(ResolverTest, LoopbackNamesNeedNoNameServiceAndComeIPv4First) {
    for (const char* name : {"localhost", "loopback"}) {
        auto list = lookupHost(name, 4242);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(hostFromAddress(list[0]), "127.0.0.1");
        EXPECT_EQ(hostFromAddress(list[1]), "::1");
        EXPECT_EQ(portFromAddress(list[1]), 4242);
    }
    auto numeric = lookupHost("::1", 7);
    ASSERT_EQ(numeric.size(), 1u);
    EXPECT_TRUE(isIPv6Address(numeric[0]));
    EXPECT_EQ(portFromAddress(numeric[0]), 7);
}

TEST(TcpPacketTest, PacketsAreTakenOnlyAsTheirOwnKind) {
    std::shared_ptr<TcpPacket> marker = std::make_shared<TcpSpecialPacket>(TlsSettings{});
    std::shared_ptr<TcpPacket> read = std::make_shared<TcpReadPacket>(nullptr, 0, 0, -1, 4, nullptr, 1);
    std::shared_ptr<TcpPacket> write = std::make_shared<TcpWritePacket>(nullptr, -1, 2);
    EXPECT_EQ(packetAs<TcpReadPacket>(marker), nullptr);
    EXPECT_EQ(packetAs<TcpWritePacket>(marker), nullptr);
    EXPECT_NE(packetAs<TcpSpecialPacket>(marker), nullptr);
    EXPECT_EQ(packetAs<TcpReadPacket>(read)->readLength, 4u);
    EXPECT_EQ(packetAs<TcpWritePacket>(read), nullptr);
    EXPECT_EQ(packetAs<TcpWritePacket>(write)->tag, 2);
    EXPECT_EQ(packetAs<TcpReadPacket>(nullptr), nullptr);
}

}  // namespace
}  // namespace quill::net
