// Datagrams of the fuzzer's choosing, sent over loopback from plain sockets to a receiving UdpSocket bound
// to 127.0.0.1 and ::1: any content and size (0 to beyond the largest datagram), on either family,
// received once at a time or continuously, with a receive filter (synchronous or not) or without, and
// with the receive sizes the input sets. Nothing may crash, hang or outlive the socket (its descriptors
// are closed after it), and every datagram the kernel delivered is handled once, in order: offered to the
// filter, which lets through what the input says, and reported to the delegate when let through (or when
// there is no filter), cut to its family's receive size. An empty datagram (also one cut to nothing) is
// dropped.
//
// Datagrams go out in batches small enough for the receiving descriptor's buffer, so the kernel drops
// none; after each batch a marker datagram from another sender on each family used shows that the socket
// has handled everything before it.
//
// Input: a mode byte (bit 0 a filter, bit 1 an asynchronous one, bit 2 receive once at a time, bit 3 the
// receive sizes follow: IPv4 16 bits, IPv6 32 bits, little-endian), then datagrams: a header byte (bit 0
// IPv6, bit 1 the filter refuses it, bit 2 the batch ends after it, bit 3 a length near the largest
// datagram: 65500 plus the length field modulo 64), a 16-bit length, a count c and c bytes of content,
// repeated to the length.
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <any>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "FuzzSupport.h"
#include "net/SocketAddress.h"
#include "net/SocketCalls.h"
#include "net/UdpSocket.h"

namespace {

using quill::Bytes;
using quill::SharedBytes;
using quill::net::UdpSocket;
using quill::platform::dispatch::Queue;
using quill::platform::dispatch::QueuePtr;

constexpr size_t kMaxDatagrams = 64;
// A batch stays well inside the receive buffer the socket asks for (twice 65535 bytes in the kernel's
// accounting, where a small datagram costs up to twice its size plus a kilobyte): a larger datagram goes
// alone.
constexpr size_t kBatchBytes = 32768;
constexpr size_t kBatchDatagrams = 16;
constexpr auto kWait = std::chrono::seconds(5);

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "udp_fuzz: %s\n", what);
    std::abort();
}

// A blocking datagram socket bound to the loopback address of a family.
struct Sender {
    explicit Sender(int af) : fd(quill::net::openSocket(af, SOCK_DGRAM)) {
        if (fd < 0 || !quill::net::bindTo(fd, af == AF_INET ? quill::net::loopbackAddress4(0)
                                                            : quill::net::loopbackAddress6(0)))
            fail("no loopback sender");
        address = quill::net::localAddressOf(fd);
    }
    int fd;
    Bytes address;
};

// What one family's datagrams are expected to do, and what they did.
struct Family {
    std::vector<Bytes> sent;       // non-empty after cutting, in order
    std::vector<bool> allowed;     // the filter's verdict for each
    std::vector<Bytes> filtered;   // what the filter was offered
    std::vector<Bytes> reported;   // what the delegate got
    std::vector<size_t> contexts;  // the filter's context with each report
    size_t markers = 0;            // markers reported
};

// The delegate and the filter of one input's socket.
class Recorder : public quill::net::UdpSocketDelegate {
  public:
    Recorder(const Sender* main4, const Sender* main6, const Sender* marker4, const Sender* marker6,
             bool once)
        : main_{main4, main6}, marker_{marker4, marker6}, once_(once) {}

    // Runs on the filter queue.
    bool filter(const SharedBytes& data, const Bytes& address, std::any* context) {
        std::lock_guard lock(mutex_);
        const int f = familyOf(address, marker_);
        if (f >= 0) return true;
        const int m = familyOf(address, main_);
        if (m < 0) fail("filter offered a datagram from an unknown sender");
        Family& fam = families_[m];
        const size_t index = fam.filtered.size();
        fam.filtered.push_back(*data);
        if (index >= fam.allowed.size()) fail("filter offered more datagrams than were sent");
        *context = index;
        return fam.allowed[index];
    }

    void udpSocketDidReceiveData(UdpSocket& sock, const SharedBytes& data, const Bytes& address,
                                 const std::any& context) override {
        {
            std::lock_guard lock(mutex_);
            if (const int f = familyOf(address, marker_); f >= 0) {
                ++families_[f].markers;
            } else if (const int m = familyOf(address, main_); m >= 0) {
                families_[m].reported.push_back(*data);
                const size_t* index = std::any_cast<size_t>(&context);
                families_[m].contexts.push_back(index ? *index : SIZE_MAX);
            } else {
                fail("datagram from an unknown sender");
            }
            cv_.notify_all();
        }
        if (once_) sock.receiveOnce();
    }

    void udpSocketDidClose(UdpSocket* sock, const std::optional<quill::Error>& error) override {
        std::lock_guard lock(mutex_);
        if (sock || error) fail("the socket closed by itself");
        ++closes_;
        cv_.notify_all();
    }

    // Before a datagram goes out: what it should become.
    void expect(int f, Bytes cut, bool allowed) {
        std::lock_guard lock(mutex_);
        families_[f].sent.push_back(std::move(cut));
        families_[f].allowed.push_back(allowed);
    }

    // The last expected datagram was refused by the kernel and never went out.
    void retract(int f) {
        std::lock_guard lock(mutex_);
        families_[f].sent.pop_back();
        families_[f].allowed.pop_back();
    }

    bool waitForMarkers(const size_t (&markers)[2]) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kWait, [&] {
            return families_[0].markers >= markers[0] && families_[1].markers >= markers[1];
        });
    }
    bool waitForClose() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kWait, [&] { return closes_ > 0; });
    }

    // Everything sent so far was handled once, in order.
    void check(bool filtering) {
        std::lock_guard lock(mutex_);
        for (const Family& fam : families_) {
            std::vector<Bytes> expected;
            std::vector<size_t> contexts;
            for (size_t i = 0; i < fam.sent.size(); ++i) {
                if (filtering && !fam.allowed[i]) continue;
                expected.push_back(fam.sent[i]);
                contexts.push_back(filtering ? i : SIZE_MAX);
            }
            if (filtering && fam.filtered != fam.sent) fail("the filter was not offered every datagram once");
            if (fam.reported != expected) fail("the delegate did not get what the filter let through");
            if (fam.contexts != contexts) fail("a report carried another datagram's context");
        }
    }

  private:
    static int familyOf(const Bytes& address, const Sender* const (&senders)[2]) {
        for (int f = 0; f < 2; ++f)
            if (address == senders[f]->address) return f;
        return -1;
    }

    const Sender* const main_[2];
    const Sender* const marker_[2];
    const bool once_;
    std::mutex mutex_;
    std::condition_variable cv_;
    Family families_[2];
    int closes_ = 0;
};

// The receiving socket's descriptor of a family, as it is now.
int descriptorOf(UdpSocket& sock, int f) {
    int fd = -1;
    sock.performBlock([&] { fd = f == 0 ? sock.socket4FD() : sock.socket6FD(); });
    return fd;
}

// Datagrams the kernel dropped for the descriptor.
uint32_t drops(int fd) {
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) != 0) return 0;
    return info[SK_MEMINFO_DROPS];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quill::fuzz::silenceLog();
    static const Sender main4(AF_INET), main6(AF_INET6), marker4(AF_INET), marker6(AF_INET6);
    static const QueuePtr delegateQueue = Queue::serial("udp_fuzz.delegate");
    static const QueuePtr filterQueue = Queue::serial("udp_fuzz.filter");
    static const int baseline = quill::fuzz::openSockets();
    const Sender* mains[2] = {&main4, &main6};
    const Sender* markers[2] = {&marker4, &marker6};

    quill::fuzz::InputReader in{data, size};
    const uint8_t mode = in.byte();
    const bool filtering = mode & 1, async = mode & 2, once = mode & 4;
    // A size of 0 would drop every datagram, the markers too, and leave nothing to observe.
    const uint16_t max4 = (mode & 8) ? std::max<uint16_t>(uint16_t(in.little(2)), 1) : 65535;
    const uint32_t max6 = (mode & 8) ? std::max<uint32_t>(in.little(4), 1) : 65535;

    auto recorder = std::make_shared<Recorder>(&main4, &main6, &marker4, &marker6, once);
    auto sock = UdpSocket::create(recorder, delegateQueue);
    sock->setMaxReceiveIPv4BufferSize(max4);
    sock->setMaxReceiveIPv6BufferSize(max6);
    if (filtering) {
        sock->setReceiveFilter([recorder](const SharedBytes& d, const Bytes& a,
                                          std::any* c) { return recorder->filter(d, a, c); },
                               filterQueue, async);
    }
    if (!sock->bindToPort(0, std::string("localhost"))) fail("cannot bind to the loopback addresses");
    if (!(once ? sock->receiveOnce() : sock->beginReceiving())) fail("cannot start receiving");
    const Bytes to[2] = {sock->localAddress_IPv4(), sock->localAddress_IPv6()};
    const size_t cut[2] = {max4, std::min<size_t>(max6, 65535)};

    size_t markersSent[2] = {0, 0};
    size_t batchBytes[2] = {0, 0}, batchCount[2] = {0, 0};
    auto endBatch = [&] {
        for (int f = 0; f < 2; ++f) {
            if (batchCount[f] == 0) continue;
            const uint8_t mark = 'M';
            if (quill::fuzz::retryInterrupted(
                    [&] { return quill::net::sendNoSignal(markers[f]->fd, &mark, 1, to[f]); }) != 1)
                fail("marker not sent");
            ++markersSent[f];
            batchBytes[f] = batchCount[f] = 0;
        }
        if (!recorder->waitForMarkers(markersSent)) {
            std::fprintf(stderr, "udp_fuzz: kernel drops %u (IPv4), %u (IPv6)\n",
                         drops(descriptorOf(*sock, 0)), drops(descriptorOf(*sock, 1)));
            fail("the socket did not handle a batch in time");
        }
        recorder->check(filtering);
    };

    for (size_t n = 0; n < kMaxDatagrams && in.more(); ++n) {
        const uint8_t header = in.byte();
        const int f = header & 1;
        const uint32_t field = in.little(2);
        const size_t length = (header & 8) ? 65500 + field % 64 : field;
        const size_t count = in.byte();
        Bytes datagram(length);
        const size_t available = std::min(count, in.left());
        for (size_t i = 0; i < length; ++i)
            datagram[i] = available ? in.data[in.pos + i % available] : uint8_t(i * 7 + n);
        in.pos += available;

        if (batchCount[f] > 0 && (batchBytes[f] + length > kBatchBytes || batchCount[f] == kBatchDatagrams))
            endBatch();
        // Expected before it goes out, since the filter may see it at once.
        const size_t kept = std::min(length, cut[f]);
        if (kept > 0)
            recorder->expect(f, Bytes(datagram.begin(), datagram.begin() + long(kept)), !(header & 2));
        if (quill::fuzz::retryInterrupted(
                [&] { return quill::net::sendNoSignal(mains[f]->fd, datagram.data(), length, to[f]); }) < 0) {
            // Larger than a datagram can be: nothing arrives.
            if (errno != EMSGSIZE) fail("send failed");
            if (kept > 0) recorder->retract(f);
            continue;
        }
        ++batchCount[f];
        batchBytes[f] += length;
        if (header & 4) endBatch();
    }
    endBatch();

    sock.reset();
    if (!recorder->waitForClose()) fail("no close report after the socket's destruction");
    if (!quill::fuzz::socketsBackTo(baseline)) fail("descriptors outlived the socket");
    return 0;
}
