// Throughput of a connected TcpSocket pair on loopback (64 KiB writes, whatever-is-available reads)
// beside a plain blocking send/recv loop over the same kind of connection.

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/TcpSocket.h"
#include "support/LoopbackServer.h"

namespace {

using namespace quill;
using quill::net::TcpSocket;
using quill::net::TcpSocketDelegate;
using quill::platform::dispatch::Queue;

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kTotal = 256u << 20;  // per iteration
constexpr int kInFlight = 8;

void BM_PlainBlockingLoop(benchmark::State& state) {
    testing::Listener listener;
    int client = testing::connectLoopback(listener.port());
    int server = listener.accept(5000);
    if (client < 0 || server < 0) {
        state.SkipWithError("no loopback connection");
        return;
    }
    std::vector<uint8_t> chunk(kChunk, 0x5A);
    for (auto _ : state) {
        std::thread writer([&] {
            for (size_t sent = 0; sent < kTotal; sent += kChunk)
                testing::writeAll(client, chunk);
        });
        std::vector<uint8_t> in(kChunk);
        size_t got = 0;
        while (got < kTotal) {
            ssize_t r = ::recv(server, in.data(), in.size(), 0);
            if (r <= 0) break;
            got += size_t(r);
        }
        writer.join();
        benchmark::DoNotOptimize(got);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTotal));
    testing::closeFd(client);
    testing::closeFd(server);
}

// The reader re-arms its read from each callback and counts; the writer keeps a few writes queued.
class Pump : public TcpSocketDelegate {
  public:
    void socketDidReadData(TcpSocket& sock, const Bytes& data, long) override {
        size_t now = received_.fetch_add(data.size()) + data.size();
        if (now >= target_) {
            std::lock_guard lock(mutex_);
            cv_.notify_all();
        } else {
            sock.readDataWithTimeout(-1, 0);
        }
    }
    void socketDidWriteDataWithTag(TcpSocket& sock, long) override {
        if (queued_ < target_) {
            sock.writeData(chunk_, 10.0, 0);
            queued_ += kChunk;
        }
    }
    void start(TcpSocket& writer, TcpSocket& reader) {
        received_ = 0;
        queued_ = 0;
        reader.readDataWithTimeout(-1, 0);
        for (int i = 0; i < kInFlight && queued_ < target_; ++i) {
            writer.writeData(chunk_, 10.0, 0);
            queued_ += kChunk;
        }
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return received_.load() >= target_; });
    }

    size_t target_ = kTotal;
    std::atomic<size_t> received_{0};
    size_t queued_ = 0;  // touched on the writer's delegate queue (and before the first write)
    SharedBytes chunk_ = std::make_shared<const Bytes>(kChunk, 0x5A);
    std::mutex mutex_;
    std::condition_variable cv_;
};

void BM_TcpSocketPair(benchmark::State& state) {
    testing::Listener listener;
    auto pump = std::make_shared<Pump>();
    auto writerQueue = Queue::serial("bench.writer");
    auto readerQueue = Queue::serial("bench.reader");
    auto writer = TcpSocket::create(pump, writerQueue);
    if (!writer->connectToHost("127.0.0.1", listener.port(), 5.0)) {
        state.SkipWithError("connect refused");
        return;
    }
    int server = listener.accept(5000);
    auto reader =
        server >= 0 ? TcpSocket::socketFromConnectedSocketFD(server, pump, readerQueue, nullptr) : nullptr;
    if (!reader) {
        state.SkipWithError("no loopback connection");
        return;
    }
    for (int i = 0; i < 500 && !writer->isConnected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (auto _ : state) {
        writerQueue->sync([&] { pump->start(*writer, *reader); });
        if (!pump->wait()) {
            state.SkipWithError("transfer stalled");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTotal));
    writer->disconnect();
    reader->disconnect();
}

BENCHMARK(BM_PlainBlockingLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_TcpSocketPair)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
