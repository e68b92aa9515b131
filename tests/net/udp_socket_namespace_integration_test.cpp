// UdpSocket where the traffic must stay inside the test: multicast groups, and a throttled loopback on
// which the kernel runs out of room for datagrams. Each case runs this program again in a network
// namespace of its own (which needs root), whose only interface is its own loopback; where no namespace
// can be made the case is skipped.

#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "UdpTestSupport.h"
#include "net/SocketCalls.h"

namespace quill::net {
namespace {

using platform::dispatch::Queue;

constexpr const char* kInNamespace = "QUILL_UDP_TEST_IN_NAMESPACE";
constexpr int kNoNamespace = 99;
constexpr uint16_t kPort = 47000;

// ---- the parent: runs a case in a child process inside a new network namespace ----

void expectPassesInOwnNamespace(const std::string& test) {
    char path[] = "/tmp/quill-udp-netns-XXXXXX";
    int out = mkstemp(path);
    ASSERT_GE(out, 0);
    ::unlink(path);
    std::string filter = "--gtest_filter=UdpSocketInNamespace.DISABLED_" + test;
    std::string marker = std::string(kInNamespace) + "=1", self = "/proc/self/exe",
                all = "--gtest_also_run_disabled_tests";
    char* argv[] = {self.data(), filter.data(), all.data(), nullptr};
    std::vector<char*> envp = {marker.data()};
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Only system calls between fork and exec: the new program starts inside the namespace.
        dup2(out, 1);
        dup2(out, 2);
        if (unshare(CLONE_NEWNET) != 0) _exit(kNoNamespace);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 1200 && !ended; ++i) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    std::string output;
    char buf[4096];
    ::lseek(out, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(out, buf, sizeof buf)) > 0;)
        output.append(buf, size_t(n));
    ::close(out);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace)
        GTEST_SKIP() << "no network namespace can be made here (unshare(CLONE_NEWNET) needs root)";
    if (output.find("[  SKIPPED ]") != std::string::npos) GTEST_SKIP() << output;
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

TEST(UdpSocketNamespaceTest, MulticastGroupsAreJoinedHeardAndLeft) {
    expectPassesInOwnNamespace("Multicast");
}

TEST(UdpSocketNamespaceTest, DatagramsWaitForRoomInTheKernelOrTimeOut) {
    expectPassesInOwnNamespace("FullSendBuffer");
}

// ---- the child: runs inside the namespace ----

// Brings the namespace's loopback up with multicast and routes the IPv4 multicast range to it. False
// outside a namespace made by the parent, whose interfaces must not be touched.
bool prepareOwnLoopback() {
    if (!std::getenv(kInNamespace)) return false;
    if (if_nametoindex("lo") == 0 || if_nametoindex("eth0") != 0) return false;
    int fd = openSocket(AF_INET, SOCK_DGRAM);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP | IFF_MULTICAST);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    rtentry route{};
    auto* dst = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
    dst->sin_family = mask->sin_family = AF_INET;
    dst->sin_addr.s_addr = htonl(0xE0000000);   // 224.0.0.0
    mask->sin_addr.s_addr = htonl(0xF0000000);  // /4
    route.rt_flags = RTF_UP;
    char lo[] = "lo";
    route.rt_dev = lo;
    ok = ok && ioctl(fd, SIOCADDRT, &route) == 0;
    ::close(fd);
    return ok;
}

TEST(UdpSocketInNamespace, DISABLED_Multicast) {
    ASSERT_TRUE(prepareOwnLoopback());
    auto queue = Queue::serial("test.udp.delegate");
    auto heard = std::make_shared<UdpRecorder>(), said = std::make_shared<UdpRecorder>();
    auto in = UdpSocket::create(heard, queue), out = UdpSocket::create(said, queue);
    Error error;
    ASSERT_TRUE(in->bindToPort(kPort, &error)) << error.description();
    ASSERT_TRUE(in->joinMulticastGroup("239.1.2.3", &error)) << error.description();
    // The IPv6 descriptor is gone, and IPv6 stays out of the address choice.
    EXPECT_FALSE(in->isIPv6());
    in->sendData(datagram("x"), "::1", kPort, 5, 1);
    ASSERT_TRUE(heard->waitFor(UdpEvent::NotSent));
    expectError(heard->events(UdpEvent::NotSent).at(0).error, "UdpSocketErrorDomain", 5,
                "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).");

    ASSERT_TRUE(in->beginReceiving());
    out->sendData(datagram("group"), "239.1.2.3", kPort, 5, 1);
    ASSERT_TRUE(heard->waitFor(UdpEvent::Received));
    ASSERT_TRUE(in->leaveMulticastGroup("239.1.2.3", &error)) << error.description();
    // The group's datagram after leaving is not heard; the unicast one behind it is.
    out->sendData(datagram("after leaving"), "239.1.2.3", kPort, 5, 2);
    out->sendData(datagram("unicast"), "127.0.0.1", kPort, 5, 3);
    ASSERT_TRUE(heard->waitFor(UdpEvent::Received, 2));
    ASSERT_TRUE(said->waitFor(UdpEvent::Sent, 3));
    EXPECT_EQ(heard->received(), (std::vector<std::string>{"group", "unicast"}));

    // An IPv6 group keeps the IPv6 descriptor and closes the IPv4 one.
    auto in6 = UdpSocket::create(heard, queue);
    ASSERT_TRUE(in6->bindToPort(kPort + 1, &error));
    ASSERT_TRUE(in6->joinMulticastGroup("ff02::1234", std::string("::1"), &error)) << error.description();
    EXPECT_FALSE(in6->isIPv4());
    EXPECT_TRUE(in6->isIPv6());
    EXPECT_TRUE(in6->leaveMulticastGroup("ff02::1234", std::string("::1"), &error)) << error.description();
}

TEST(UdpSocketInNamespace, DISABLED_FullSendBuffer) {
    ASSERT_TRUE(prepareOwnLoopback());
    // About a kilobyte a second: the socket's small send buffer fills after a few datagrams.
    if (std::system("tc qdisc add dev lo root tbf rate 8kbit burst 1600 limit 1000000") != 0)
        GTEST_SKIP() << "tc cannot shape the loopback here";
    int sink = openSocket(AF_INET, SOCK_DGRAM);  // takes the datagrams, so that no ICMP answers come back
    ASSERT_TRUE(bindTo(sink, loopbackAddress4(kPort)));
    auto queue = Queue::serial("test.udp.delegate");
    const Bytes to = loopbackAddress4(kPort);
    const SharedBytes kilobyte = std::make_shared<const Bytes>(1000, 0x5A);

    auto slow = std::make_shared<UdpRecorder>();
    auto sock = UdpSocket::create(slow, queue);
    sock->setMaxSendBufferSize(4096);
    for (long tag = 1; tag <= 20; ++tag)
        sock->sendData(kilobyte, to, 0.3, tag);
    ASSERT_TRUE(slow->waitFor(UdpEvent::NotSent, 1, 10));
    expectError(slow->events(UdpEvent::NotSent).at(0).error, "UdpSocketErrorDomain", 3,
                "Send operation timed out");
    EXPECT_FALSE(sock->isClosed());
    sock->close();

    // Fast enough to drain, still slower than the sender: datagrams without a time-out wait for room and
    // all go out.
    ASSERT_EQ(std::system("tc qdisc change dev lo root tbf rate 20mbit burst 1600 limit 1000000"), 0);
    auto fast = std::make_shared<UdpRecorder>();
    auto sock2 = UdpSocket::create(fast, queue);
    sock2->setMaxSendBufferSize(4096);
    for (long tag = 1; tag <= 200; ++tag)
        sock2->sendData(kilobyte, to, -1, tag);
    EXPECT_TRUE(fast->waitFor(UdpEvent::Sent, 200, 20)) << fast->count(UdpEvent::Sent) << " sent";
    EXPECT_EQ(fast->count(UdpEvent::NotSent) + fast->count(UdpEvent::Closed), 0u);
    ::close(sink);
}

}  // namespace
}  // namespace quill::net
