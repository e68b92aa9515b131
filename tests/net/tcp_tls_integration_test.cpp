// TcpSocket's TLS upgrade on loopback: two TcpSockets with a self-signed certificate made here, the
// client judging the server itself; settings that close the socket; the upgrade's place in the queues;
// and openssl s_server / s_client as independent peers.

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "net/TcpRecorder.h"
#include "net/TcpSocket.h"
#include "platform/foundation/Task.h"
#include "platform/securetransport/SecureTransport.h"
#include "support/SelfSignedCertificate.h"
#include "support/TempFolder.h"

namespace quill::net {
namespace {

namespace st = platform::securetransport;
using platform::dispatch::Queue;
using platform::foundation::bytesOf;
using platform::foundation::stringOf;
using tcptest::Event;
using tcptest::Recorder;

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 13 + (i >> 9));
    return b;
}

// Reads what a child writes to its standard output until a line holding `until` is complete, its end,
// or the deadline.
std::string readOutput(int fd, double seconds, const std::string& until) {
    std::string out;
    auto complete = [&] {
        const auto at = out.find(until);
        return at != std::string::npos && out.find('\n', at) != std::string::npos;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!complete() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

class TcpTlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        listener = TcpSocket::create(server, Queue::serial("test.tls.server"));
        ASSERT_TRUE(listener->acceptOnInterface(std::string("127.0.0.1"), 0));
    }
    // A client connected to the listener, and the accepted side (whose callbacks go to server).
    std::shared_ptr<TcpSocket> connectPair() {
        auto sock = TcpSocket::create(client, Queue::serial("test.tls.client"));
        const size_t connects = client->count(Event::Connect);
        const size_t accepts = server->count(Event::Accept);
        EXPECT_TRUE(sock->connectToHost("127.0.0.1", listener->localPort(), 5.0));
        EXPECT_TRUE(client->waitFor(Event::Connect, connects + 1));
        EXPECT_TRUE(server->waitFor(Event::Accept, accepts + 1));
        accepted = server->acceptedSocket(accepts);
        return sock;
    }
    TlsSettings serverSettings() const {
        return {{kCFStreamSSLIsServer, true}, {kCFStreamSSLCertificates, identity}};
    }
    // The client judges the server: trusted when it presents the test's certificate.
    void trustTheTestCertificate() {
        client->onTrust = [this](const st::Trust& trust, std::function<void(bool)> answer) {
            answer(trust.certificates().at(0).der() == identity.certificates().at(0).der());
            return true;
        };
    }
    std::string clientProtocol(TcpSocket& sock) {
        std::string protocol;
        sock.performBlock([&] { protocol = sock.sslContext() ? sock.sslContext()->protocolVersion() : ""; });
        return protocol;
    }

    testing::SelfSignedCertificate certificate = testing::makeSelfSignedCertificate();
    st::Identity identity = *st::Identity::fromPEM(certificate.pem());
    std::shared_ptr<Recorder> server = std::make_shared<Recorder>();
    std::shared_ptr<Recorder> client = std::make_shared<Recorder>();
    std::shared_ptr<TcpSocket> listener;
    std::shared_ptr<TcpSocket> accepted;
};

TEST_F(TcpTlsTest, EchoThroughTwoSocketsWithTheServerTrustedByTheClient) {
    trustTheTestCertificate();
    auto sock = connectPair();
    sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}});
    accepted->startTLS(serverSettings());
    ASSERT_TRUE(client->waitFor(Event::Secure));
    ASSERT_TRUE(server->waitFor(Event::Secure));
    EXPECT_TRUE(sock->isSecure());
    EXPECT_EQ(clientProtocol(*sock), "TLSv1.3");
    EXPECT_EQ(sock->sslContext(), nullptr);  // off the socket queue

    // Large enough for many records, chunks and refused writes both ways.
    const Bytes payload = pattern(3 << 20);
    accepted->readDataToLength(payload.size(), 20.0, 1);
    sock->writeData(payload, 20.0, 2);
    ASSERT_TRUE(server->waitFor(Event::Read, 1, 20));
    EXPECT_TRUE(server->events(Event::Read).at(0).data == payload);
    accepted->writeData(server->events(Event::Read).at(0).data, 20.0, 3);
    for (size_t got = 0, reads = 1; got < payload.size(); ++reads) {
        sock->readDataWithTimeout(20.0, 4);
        ASSERT_TRUE(client->waitFor(Event::Read, reads, 20));
        got = client->readBytes().size();
    }
    EXPECT_TRUE(client->readBytes() == payload);

    // A close alert ends the peer's stream: the plain "closed by remote peer".
    sock->disconnect();
    ASSERT_TRUE(server->waitFor(Event::Disconnect));
    EXPECT_EQ(server->disconnectEvent().error->code, 7);
}

// Secured, a write asked for while the socket queue is idle is not sent (nor encrypted) on the asking
// thread, where sends fail here.
TEST_F(TcpTlsTest, SecuredWritesAreNotSentFromTheAskingThread) {
    trustTheTestCertificate();
    auto sock = connectPair();
    sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}});
    accepted->startTLS(serverSettings());
    ASSERT_TRUE(client->waitFor(Event::Secure));
    accepted->readDataToLength(5, 10.0, 1);
    sock->performBlock([] {});  // idle
    std::thread([&] {
        ASSERT_TRUE(failOnThisThread(__NR_sendto, EPERM));
        sock->writeData(bytesOf("hello"), 10.0, 2);
    }).join();
    ASSERT_TRUE(server->waitFor(Event::Read));
    EXPECT_EQ(stringOf(server->readBytes()), "hello");
}

// How a secured stream ends decides the close, whether or not a read is waiting when the end arrives:
// after the peer's close alert the plain "closed by remote peer" (code 7); cut without it, the TLS closed
// abort (-9806), since the last bytes may be missing.
TEST_F(TcpTlsTest, StreamCutWithoutACloseAlertEndsWithClosedAbort) {
    trustTheTestCertificate();
    const struct {
        bool closeAlert;
        bool readQueued;
        const char* domain;
        long code;
    } cases[] = {
        {true, true, kTcpSocketErrorDomain, 7},
        {true, false, kTcpSocketErrorDomain, 7},
        {false, true, "kCFStreamErrorDomainSSL", -9806},
        {false, false, "kCFStreamErrorDomainSSL", -9806},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.closeAlert ? "close alert" : "cut") +
                     (c.readQueued ? ", read queued" : ""));
        auto sock = connectPair();
        const size_t secured = server->count(Event::Secure), ended = server->count(Event::Disconnect);
        sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}});
        accepted->startTLS(serverSettings());
        ASSERT_TRUE(server->waitFor(Event::Secure, secured + 1));
        if (c.readQueued) accepted->readDataWithTimeout(10.0, 9);
        if (c.closeAlert) {
            sock->disconnect();
        } else {
            sock->performBlock([&] { ::shutdown(sock->socketFD(), SHUT_RDWR); });
        }
        ASSERT_TRUE(server->waitFor(Event::Disconnect, ended + 1));
        const Error err = *server->events(Event::Disconnect).at(ended).error;
        EXPECT_EQ(err.domain, c.domain);
        EXPECT_EQ(err.code, c.code);
    }
}

TEST_F(TcpTlsTest, ServerResumesTheSessionsOfTheSamePeerIDOnly) {
    trustTheTestCertificate();
    const char* serverPeerIDs[] = {"client", "client", "another client"};
    for (size_t i = 0; i < 3; ++i) {
        auto sock = connectPair();
        sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}, {TcpSocketSSLPeerID, bytesOf("server")}});
        TlsSettings settings = serverSettings();
        settings[TcpSocketSSLPeerID] = bytesOf(serverPeerIDs[i]);
        accepted->startTLS(settings);
        accepted->writeData(bytesOf("x"), 5.0, 1);  // read with the server's session ticket
        sock->readDataToLength(1, 5.0, 1);
        ASSERT_TRUE(client->waitFor(Event::Read, i + 1));
        bool resumed = i != 1;
        accepted->performBlock([&] { resumed = accepted->sslContext()->sessionWasResumed(); });
        EXPECT_EQ(resumed, i == 1) << serverPeerIDs[i] << " " << i;
        sock->disconnect();
    }
}

TEST_F(TcpTlsTest, TrustAnsweredNoClosesWithTheBadCertificateError) {
    client->onTrust = [](const st::Trust& trust, std::function<void(bool)> answer) {
        EXPECT_EQ(trust.certificates().at(0).commonName(), "localhost");
        std::string why;
        EXPECT_FALSE(trust.evaluate(std::string("localhost"), &why));  // in no trust store
        EXPECT_EQ(why, "self-signed certificate");
        answer(false);
        return true;
    };
    auto sock = connectPair();
    sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}});
    accepted->startTLS(serverSettings());
    ASSERT_TRUE(client->waitFor(Event::Disconnect));
    Error err = *client->disconnectEvent().error;
    EXPECT_EQ(err.domain, "kCFStreamErrorDomainSSL");
    EXPECT_EQ(err.code, -9825);
    EXPECT_EQ(client->count(Event::Secure), 0u);
    ASSERT_TRUE(server->waitFor(Event::Disconnect));
    EXPECT_EQ(server->count(Event::Secure), 0u);
}

TEST_F(TcpTlsTest, WithoutManualTrustTheSystemStoreDecides) {
    // The test's certificate is in no trust store: the chain does not verify.
    auto sock = connectPair();
    sock->startTLS({{kCFStreamSSLPeerName, std::string("localhost")}});
    accepted->startTLS(serverSettings());
    ASSERT_TRUE(client->waitFor(Event::Disconnect));
    EXPECT_EQ(client->disconnectEvent().error->domain, "kCFStreamErrorDomainSSL");
    EXPECT_EQ(client->disconnectEvent().error->code, st::errSSLXCertChainInvalid);
}

TEST_F(TcpTlsTest, LateTrustAnswerAfterReconnectingIsIgnored) {
    std::mutex mutex;
    std::function<void(bool)> pending;
    client->onTrust = [&](const st::Trust&, std::function<void(bool)> answer) {
        std::lock_guard lock(mutex);
        pending = std::move(answer);
        return true;
    };
    auto sock = connectPair();
    sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}});
    accepted->startTLS(serverSettings());
    for (int i = 0; i < 500; ++i) {
        std::lock_guard lock(mutex);
        if (pending) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(pending);
    sock->disconnect();
    ASSERT_TRUE(client->waitFor(Event::Disconnect));
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", listener->localPort(), 5.0));
    ASSERT_TRUE(client->waitFor(Event::Connect, 2));
    pending(false);             // would close the new connection with -9825 if it counted
    sock->performBlock([] {});  // the answer has reached the socket queue before this
    sock->performBlock([] {});
    EXPECT_TRUE(sock->isConnected());
    EXPECT_EQ(client->count(Event::Disconnect), 1u);
}

// The reason says that the socket's own answer refused the key: OpenSSL did not prompt for a pass-phrase.
TEST_F(TcpTlsTest, EncryptedKeyIsRefusedWithoutAskingForAPassPhrase) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    BIO* out = BIO_new(BIO_s_mem());
    char passphrase[] = "secret";
    PEM_write_bio_PKCS8PrivateKey(out, key, EVP_aes_128_cbc(), passphrase, 6, nullptr, nullptr);
    char* text = nullptr;
    const size_t length = size_t(BIO_get_mem_data(out, &text));
    std::string why;
    EXPECT_FALSE(st::Identity::fromPEM(std::string(text, length) + certificate.certificatePem, &why));
    EXPECT_EQ(why, "the private key is encrypted (no pass-phrase is asked for)");
    BIO_free(out);
    EVP_PKEY_free(key);
}

TEST_F(TcpTlsTest, RefusedSettingsCloseWithTheirTexts) {
    struct Case {
        TlsSettings settings;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{{kCFStreamSSLLevel, std::string("kCFStreamSocketSecurityLevelNegotiatedSSL")}},
         "Security option unavailable - kCFStreamSSLLevel"},
        {{{kCFStreamSSLPeerName, 5}}, "Invalid value for kCFStreamSSLPeerName."},
        {{{kCFStreamSSLCertificates, certificate.pem()}}, "Invalid value for kCFStreamSSLCertificates."},
        {{{kCFStreamSSLIsServer, true}, {TcpSocketManuallyEvaluateTrust, true}},
         "Manual trust validation is not supported for server sockets"},
        {{{TcpSocketSSLProtocolVersionMin, 99L}}, "Error in SSLSetProtocolVersionMin"},
        {{{TcpSocketSSLCipherSuites, std::vector<uint16_t>{0xFFFF}}}, "Error in SSLSetEnabledCiphers"},
        {{{TcpSocketSSLDiffieHellmanParameters, bytesOf("no parameters")}},
         "Error in SSLSetDiffieHellmanParams"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        auto sock = connectPair();
        sock->startTLS(cases[i].settings);
        ASSERT_TRUE(client->waitFor(Event::Disconnect, i + 1)) << cases[i].text;
        const Error err = *client->events(Event::Disconnect).at(i).error;
        EXPECT_EQ(err.domain, "TcpSocketErrorDomain") << cases[i].text;
        EXPECT_EQ(err.code, 8) << cases[i].text;
        EXPECT_EQ(err.localizedDescription(), cases[i].text);
    }
}

TEST_F(TcpTlsTest, UpgradeWaitsForTheReadsAndWritesQueuedBeforeIt) {
    trustTheTestCertificate();
    auto sock = connectPair();
    sock->readDataToLength(3, 10.0, 1);
    sock->readDataToLength(3, 10.0, 2);
    sock->writeData(bytesOf("hey"), 10.0, 3);
    sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}});
    // The server answers in the clear first; a client that started early would take this for TLS.
    accepted->readDataToLength(3, 10.0, 1);
    ASSERT_TRUE(server->waitFor(Event::Read));
    EXPECT_EQ(stringOf(server->readBytes()), "hey");
    accepted->writeData(bytesOf("abcdef"), 10.0, 2);
    accepted->startTLS(serverSettings());
    ASSERT_TRUE(client->waitFor(Event::Secure));
    const auto reads = client->events(Event::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(stringOf(reads[0].data), "abc");
    EXPECT_EQ(stringOf(reads[1].data), "def");
    auto kinds = client->kinds();
    EXPECT_EQ(kinds.back(), Event::Secure);
    EXPECT_EQ(client->count(Event::Write), 1u);
    // Both sides go on through TLS.
    accepted->readDataToData(LFData(), 10.0, 3);
    sock->writeData(bytesOf("secret\n"), 10.0, 4);
    ASSERT_TRUE(server->waitFor(Event::Read, 2));
    EXPECT_EQ(stringOf(server->events(Event::Read).at(1).data), "secret\n");
}

TEST_F(TcpTlsTest, BytesAlreadyReadFeedTheHandshake) {
    trustTheTestCertificate();
    auto sock = connectPair();
    sock->writeData(bytesOf("hello\n"), 10.0, 1);
    sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}});
    // Wait until the client's first handshake bytes are there too, so that the server's line read takes
    // them from the kernel along with the line.
    int waiting = 0;
    for (int i = 0; i < 500 && waiting <= 6 + 100; ++i) {
        accepted->performBlock([&] { ::ioctl(accepted->socketFD(), FIONREAD, &waiting); });
        if (waiting <= 106) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(waiting, 106);
    accepted->readDataToData(LFData(), 10.0, 1);
    accepted->startTLS(serverSettings());
    ASSERT_TRUE(server->waitFor(Event::Read));
    EXPECT_EQ(stringOf(server->readBytes()), "hello\n");
    ASSERT_TRUE(server->waitFor(Event::Secure));
    ASSERT_TRUE(client->waitFor(Event::Secure));
}

// A handshake whose flight the kernel cannot take at once goes on when the socket becomes writable.
TEST_F(TcpTlsTest, HandshakeThatMustWaitToWriteCompletes) {
    certificate = testing::makeSelfSignedCertificate("localhost", 60000);
    identity = *st::Identity::fromPEM(certificate.pem());
    trustTheTestCertificate();
    auto sock = connectPair();
    int small = 8192;
    sock->performBlock([&] { ::setsockopt(sock->socketFD(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small); });
    accepted->performBlock(
        [&] { ::setsockopt(accepted->socketFD(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small); });
    sock->startTLS({{TcpSocketManuallyEvaluateTrust, true}});
    accepted->startTLS(serverSettings());
    // Generous: with buffers this small each few kilobytes cost a round of events, slow under the
    // thread sanitizer on a busy machine; a stalled handshake never gets there.
    ASSERT_TRUE(client->waitFor(Event::Secure, 1, 30));
    ASSERT_TRUE(server->waitFor(Event::Secure, 1, 30));
}

class TlsAgainstOpenSSLTest : public TcpTlsTest {
  protected:
    void SetUp() override {
        TcpTlsTest::SetUp();
        std::ofstream(folder / "cert.pem") << certificate.certificatePem;
        std::ofstream(folder / "key.pem") << certificate.keyPem;
    }
    testing::TempFolder folder;
};

TEST_F(TlsAgainstOpenSSLTest, ClientAgainstOpenSSLServer) {
    platform::foundation::TaskOptions options;
    options.standardInput = platform::foundation::TaskStream::Null;
    options.standardError = platform::foundation::TaskStream::MergeWithOutput;
    platform::foundation::Task server("/usr/bin/openssl",
                                      {"s_server", "-accept", "127.0.0.1:0", "-cert", folder / "cert.pem",
                                       "-key", folder / "key.pem", "-rev", "-naccept", "1"},
                                      options);
    ASSERT_TRUE(server.launch());
    const std::string banner = readOutput(server.standardOutputFd(), 10, "ACCEPT 127.0.0.1:");
    const auto at = banner.find("ACCEPT 127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << banner;
    const auto port = uint16_t(std::stoi(banner.substr(at + 17)));

    trustTheTestCertificate();
    auto sock = TcpSocket::create(client, Queue::serial("test.tls.client"));
    ASSERT_TRUE(sock->connectToHost("127.0.0.1", port, 5.0));
    sock->startTLS(
        {{TcpSocketManuallyEvaluateTrust, true}, {kCFStreamSSLPeerName, std::string("localhost")}});
    ASSERT_TRUE(client->waitFor(Event::Secure, 1, 10));
    EXPECT_EQ(clientProtocol(*sock), "TLSv1.3");
    sock->writeData(bytesOf("hello\n"), 5.0, 1);
    sock->readDataToData(LFData(), 5.0, 2);
    ASSERT_TRUE(client->waitFor(Event::Read, 1, 10));
    EXPECT_EQ(stringOf(client->readBytes()), "olleh\n");
    sock->disconnect();
    server.sendSignal(SIGTERM);
    server.waitUntilExit();
}

TEST_F(TlsAgainstOpenSSLTest, ServerAgainstOpenSSLClient) {
    std::ofstream(folder / "in.txt") << "ping\n";
    // The client checks the server's certificate against the test's own and ends at the server's close.
    const std::string command =
        "exec /usr/bin/openssl s_client -connect 127.0.0.1:" + std::to_string(listener->localPort()) +
        " -servername localhost -CAfile '" + (folder / "cert.pem") + "' -verify_return_error -quiet < '" +
        (folder / "in.txt") + "'";
    platform::foundation::TaskOptions options;
    options.standardError = platform::foundation::TaskStream::Null;
    platform::foundation::Task peer("/bin/sh", {"-c", command}, options);
    ASSERT_TRUE(peer.launch());
    ASSERT_TRUE(server->waitFor(Event::Accept, 1, 10));
    accepted = server->acceptedSocket(0);
    accepted->startTLS(serverSettings());
    accepted->readDataToData(LFData(), 10.0, 1);
    ASSERT_TRUE(server->waitFor(Event::Secure, 1, 10));
    ASSERT_TRUE(server->waitFor(Event::Read, 1, 10));
    EXPECT_EQ(stringOf(server->readBytes()), "ping\n");
    accepted->writeData(bytesOf("pong\n"), 5.0, 2);
    accepted->disconnectAfterWriting();
    EXPECT_EQ(readOutput(peer.standardOutputFd(), 10, "pong"), "pong\n");
    const int status = peer.waitUntilExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace quill::net
