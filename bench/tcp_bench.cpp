// Throughput of a connected TcpSocket pair on loopback (64 KiB writes, whatever-is-available reads)
// beside a plain blocking send/recv loop over the same kind of connection; and the same through TLS 1.3
// with AES-128-GCM: a TcpSocket TLS pair beside a plain blocking SSL_write/SSL_read loop.

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/TcpSocket.h"
#include "platform/securetransport/SecureTransport.h"
#include "support/LoopbackServer.h"
#include "support/SelfSignedCertificate.h"

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
    void socketDidSecure(TcpSocket&) override {
        std::lock_guard lock(mutex_);
        ++secured_;
        cv_.notify_all();
    }
    // The benchmark's own certificate: trusted without a look.
    bool socketDidReceiveTrust(TcpSocket&, std::shared_ptr<const platform::securetransport::Trust>,
                               std::function<void(bool)> answer) override {
        answer(true);
        return true;
    }
    bool waitSecured(int n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return secured_ >= n; });
    }
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
    int secured_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
};

// Each iteration moves kTotal bytes from writer to reader.
void runTransfers(benchmark::State& state, Pump& pump, platform::dispatch::Queue& writerQueue,
                  TcpSocket& writer, TcpSocket& reader) {
    for (auto _ : state) {
        writerQueue.sync([&] { pump.start(writer, reader); });
        if (!pump.wait()) {
            state.SkipWithError("transfer stalled");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTotal));
}

// TLS 1.3 with AES-128-GCM only, on both sides of both benchmarks.
constexpr uint16_t kAes128Gcm = 0x1301;
const char* const kAes128GcmName = "TLS_AES_128_GCM_SHA256";

const testing::SelfSignedCertificate& benchCertificate() {
    static const testing::SelfSignedCertificate certificate = testing::makeSelfSignedCertificate();
    return certificate;
}

// A connected loopback pair: the client's descriptor and the server's.
bool loopbackPair(testing::Listener& listener, int* client, int* server) {
    *client = testing::connectLoopback(listener.port());
    *server = listener.accept(5000);
    return *client >= 0 && *server >= 0;
}

void BM_PlainBlockingTlsLoop(benchmark::State& state) {
    testing::Listener listener;
    int clientFd = -1, serverFd = -1;
    if (!loopbackPair(listener, &clientFd, &serverFd)) {
        state.SkipWithError("no loopback connection");
        return;
    }
    SSL_CTX* serverCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX* clientCtx = SSL_CTX_new(TLS_client_method());
    for (SSL_CTX* ctx : {serverCtx, clientCtx}) {
        SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
        SSL_CTX_set_ciphersuites(ctx, kAes128GcmName);
    }
    const std::string keyPem = benchCertificate().keyPem;
    const std::string certificatePem = benchCertificate().certificatePem;
    BIO* pem = BIO_new_mem_buf(keyPem.data(), int(keyPem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(pem, nullptr, nullptr, nullptr);
    BIO_free(pem);
    pem = BIO_new_mem_buf(certificatePem.data(), int(certificatePem.size()));
    X509* cert = PEM_read_bio_X509(pem, nullptr, nullptr, nullptr);
    BIO_free(pem);
    SSL_CTX_use_certificate(serverCtx, cert);
    SSL_CTX_use_PrivateKey(serverCtx, key);
    SSL* server = SSL_new(serverCtx);
    SSL* client = SSL_new(clientCtx);
    SSL_set_fd(server, serverFd);
    SSL_set_fd(client, clientFd);
    std::thread accepting([&] { SSL_accept(server); });
    const bool connected = SSL_connect(client) == 1;
    accepting.join();
    if (!connected) {
        state.SkipWithError("no TLS connection");
    } else {
        std::vector<uint8_t> chunk(kChunk, 0x5A);
        for (auto _ : state) {
            std::thread writer([&] {
                for (size_t sent = 0; sent < kTotal; sent += kChunk)
                    SSL_write(client, chunk.data(), int(chunk.size()));
            });
            std::vector<uint8_t> in(kChunk);
            size_t got = 0;
            while (got < kTotal) {
                int r = SSL_read(server, in.data(), int(in.size()));
                if (r <= 0) break;
                got += size_t(r);
            }
            writer.join();
            benchmark::DoNotOptimize(got);
        }
        state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTotal));
        state.SetLabel(std::string(SSL_get_version(client)) + " " + SSL_get_cipher_name(client));
    }
    SSL_free(client);
    SSL_free(server);
    SSL_CTX_free(clientCtx);
    SSL_CTX_free(serverCtx);
    X509_free(cert);
    EVP_PKEY_free(key);
    testing::closeFd(clientFd);
    testing::closeFd(serverFd);
}

void BM_TcpSocketTlsPair(benchmark::State& state) {
    testing::Listener listener;
    int clientFd = -1, serverFd = -1;
    if (!loopbackPair(listener, &clientFd, &serverFd)) {
        state.SkipWithError("no loopback connection");
        return;
    }
    auto pump = std::make_shared<Pump>();
    auto writerQueue = Queue::serial("bench.writer");
    auto readerQueue = Queue::serial("bench.reader");
    auto writer = TcpSocket::socketFromConnectedSocketFD(clientFd, pump, writerQueue, nullptr);
    auto reader = TcpSocket::socketFromConnectedSocketFD(serverFd, pump, readerQueue, nullptr);
    if (!writer || !reader) {
        state.SkipWithError("no TcpSocket pair");
        return;
    }
    const net::TlsSettings common = {
        {net::TcpSocketSSLProtocolVersionMin, long(platform::securetransport::kTLSProtocol13)},
        {net::TcpSocketSSLCipherSuites, std::vector<uint16_t>{kAes128Gcm}}};
    net::TlsSettings clientSettings = common;
    clientSettings[net::TcpSocketManuallyEvaluateTrust] = true;
    net::TlsSettings serverSettings = common;
    serverSettings[net::kCFStreamSSLIsServer] = true;
    serverSettings[net::kCFStreamSSLCertificates] =
        *platform::securetransport::Identity::fromPEM(benchCertificate().pem());
    writer->startTLS(clientSettings);
    reader->startTLS(serverSettings);
    if (!pump->waitSecured(2)) {
        state.SkipWithError("no TLS connection");
        return;
    }
    std::string label;
    writer->performBlock(
        [&] { label = writer->sslContext()->protocolVersion() + " " + writer->sslContext()->cipher(); });
    runTransfers(state, *pump, *writerQueue, *writer, *reader);
    state.SetLabel(label);
    writer->disconnect();
    reader->disconnect();
}

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
    runTransfers(state, *pump, *writerQueue, *writer, *reader);
    writer->disconnect();
    reader->disconnect();
}

BENCHMARK(BM_PlainBlockingLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_TcpSocketPair)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainBlockingTlsLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_TcpSocketTlsPair)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
