// Datagrams per second (1200 bytes each) from one UdpSocket to another on loopback, beside a plain
// blocking sendto/recvfrom pair in the same run. Both count the datagrams that arrived (a datagram the
// receiver had no room for is lost, not counted); an iteration's time runs from its first send to its
// last arrival. The ratio of the two rates over all runs is printed at the end.

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "net/SocketAddress.h"
#include "net/SocketCalls.h"
#include "net/UdpSocket.h"

namespace {

using namespace quill;
using quill::net::UdpSocket;
using quill::net::UdpSocketDelegate;
using quill::platform::dispatch::Queue;
using Clock = std::chrono::steady_clock;

constexpr size_t kDatagramSize = 1200;
constexpr long kDatagrams = 100000;                      // sent per iteration
constexpr int kInFlight = 32;                            // datagrams kept queued at the sending UdpSocket
constexpr auto kQuiet = std::chrono::milliseconds(100);  // no arrival for this long ends an iteration

// Arrivals and seconds of each pair over all runs, for the closing ratio.
struct Totals {
    double received = 0, seconds = 0;
    double rate() const { return seconds > 0 ? received / seconds : 0; }
} plainTotals, socketTotals;

// Records the counters of a run and adds it to the totals.
void report(benchmark::State& state, Totals& totals, double received, double seconds) {
    totals.received += received;
    totals.seconds += seconds;
    const double rate = seconds > 0 ? received / seconds : 0;
    state.counters["received"] = received / double(state.iterations());
    state.counters["datagrams_per_s"] = rate;
    state.counters["lost"] = double(kDatagrams) - received / double(state.iterations());
}

void BM_PlainBlockingPair(benchmark::State& state) {
    int rx = net::openSocket(AF_INET, SOCK_DGRAM), tx = net::openSocket(AF_INET, SOCK_DGRAM);
    net::bindTo(rx, net::loopbackAddress4(0));
    const Bytes to = net::localAddressOf(rx);
    timeval quiet{0, int(std::chrono::microseconds(kQuiet).count())};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    const std::vector<uint8_t> out(kDatagramSize, 0x5A);
    std::vector<uint8_t> in(65536);
    double received = 0, seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto last = start;
        std::thread sender([&] {
            for (long i = 0; i < kDatagrams; ++i)
                ::sendto(tx, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
                         socklen_t(to.size()));
        });
        long got = 0;
        while (got<kDatagrams&& ::recvfrom(rx, in.data(), in.size(), 0, nullptr, nullptr)> 0) {
            ++got;
            last = Clock::now();
        }
        sender.join();
        const double s = std::chrono::duration<double>(last - start).count();
        state.SetIterationTime(s);
        received += double(got);
        seconds += s;
        // Leftovers of a lost race must not count in the next iteration.
        while (::recv(rx, in.data(), in.size(), MSG_DONTWAIT) > 0) {
        }
    }
    report(state, plainTotals, received, seconds);
    ::close(rx);
    ::close(tx);
}

// Keeps kInFlight datagrams queued at the sender and counts arrivals at the receiver.
class Pump : public UdpSocketDelegate {
  public:
    void udpSocketDidSendDataWithTag(UdpSocket& sock, long) override { sendNext(sock); }
    void udpSocketDidNotSendDataWithTag(UdpSocket& sock, long, const Error&) override { sendNext(sock); }
    void udpSocketDidReceiveData(UdpSocket&, const SharedBytes&, const Bytes&, const std::any&) override {
        std::lock_guard lock(mutex_);
        ++received_;
        last_ = Clock::now();
        if (received_ == kDatagrams) cv_.notify_all();
    }

    // Runs one iteration; returns the datagrams that arrived and the seconds from start to the last.
    std::pair<long, double> run(UdpSocket& sender, Bytes to) {
        to_ = std::move(to);
        const auto start = Clock::now();
        {
            std::lock_guard lock(mutex_);
            received_ = 0;
            last_ = start;
        }
        queued_ = 0;
        for (int i = 0; i < kInFlight; ++i)
            sendNext(sender);
        std::unique_lock lock(mutex_);
        long seen = -1;
        // Ends when all arrived, or when nothing arrived for a while (the rest was lost).
        while (received_ < kDatagrams && received_ != seen) {
            seen = received_;
            cv_.wait_for(lock, kQuiet, [&] { return received_ == kDatagrams; });
        }
        return {received_, std::chrono::duration<double>(last_ - start).count()};
    }

  private:
    void sendNext(UdpSocket& sock) {
        if (queued_.fetch_add(1) < kDatagrams) sock.sendData(payload_, to_, -1, 0);
    }

    SharedBytes payload_ = std::make_shared<const Bytes>(kDatagramSize, 0x5A);
    Bytes to_;
    std::atomic<long> queued_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    long received_ = 0;
    Clock::time_point last_;
};

void BM_UdpSocketPair(benchmark::State& state) {
    auto pump = std::make_shared<Pump>();
    auto receiver = UdpSocket::create(pump, Queue::serial("bench.receiver"));
    auto sender = UdpSocket::create(pump, Queue::serial("bench.sender"));
    Error error;
    if (!receiver->bindToPort(0, std::string("127.0.0.1"), &error) || !receiver->beginReceiving(&error)) {
        state.SkipWithError(error.localizedDescription().c_str());
        return;
    }
    const Bytes to = receiver->localAddress();
    double received = 0, seconds = 0;
    for (auto _ : state) {
        auto [got, s] = pump->run(*sender, to);
        state.SetIterationTime(s);
        received += double(got);
        seconds += s;
        // Let the previous iteration's stragglers arrive (and be counted) before the next starts.
        std::this_thread::sleep_for(kQuiet);
    }
    report(state, socketTotals, received, seconds);
    sender->close();
    receiver->close();
}

BENCHMARK(BM_PlainBlockingPair)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_UdpSocketPair)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (plainTotals.rate() > 0 && socketTotals.rate() > 0)
        std::printf(
            "UdpSocket pair / plain blocking pair (all runs): %.0f / %.0f datagrams per second = %.2f\n",
            socketTotals.rate(), plainTotals.rate(), socketTotals.rate() / plainTotals.rate());
    return 0;
}
