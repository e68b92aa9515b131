// Writes the seed inputs of the fuzz targets, one folder per target, so that the committed seeds can be
// made again: valid inputs as the system meets them (a receiver's heartbeat and a whole set-up exchange,
// small archives, the two settings files, a look-up reply, datagrams, real TLS handshake messages and
// records), and a few hostile ones to start from.
// Usage: fuzz-seeds [CORPUS_FOLDER]   (default: the source tree's tests/fuzz/corpus)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "fuzz/TlsPeer.h"
#include "link/ControlPacket.h"
#include "link/ControlProtocol.h"
#include "platform/foundation/PropertyList.h"
#include "support/FileText.h"
#include "support/SelfSignedCertificate.h"
#include "support/TempFolder.h"
#include "support/TestLookupServer.h"
#include "support/ZipFixture.h"

namespace fs = std::filesystem;
using namespace quill;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kReceiverByte = 200;

Bytes wire(const ControlPacket& plain) {
    const ControlPacket p = plain.scrambled();
    return Bytes(p.bytes.begin(), p.bytes.end());
}

// A packet the receiver sends: its address byte, 4, the kind and the code, then bytes set by index.
Bytes fromReceiver(uint8_t kind, uint8_t code, std::initializer_list<std::pair<int, uint8_t>> set = {}) {
    ControlPacket p;
    p.bytes[0] = kReceiverByte;
    p.bytes[1] = kControlProtocolByte;
    p.bytes[2] = kind;
    p.bytes[3] = code;
    for (auto [i, v] : set)
        p.bytes[size_t(i)] = v;
    return wire(p);
}

// The receiver's answer to one of this sender's requests (address byte 1 until the session sets it).
Bytes answer(uint8_t requestCode, uint8_t result = 1,
             std::initializer_list<std::pair<int, uint8_t>> data = {}) {
    ControlPacket::ResponseData d{};
    for (auto [i, v] : data)
        d[size_t(i)] = v;
    return wire(ControlPacket::response(kReceiverByte, result, ControlPacket::request(1, 4, requestCode), d));
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& b : parts)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

// The control-link target's input: the stream cut into reads of the given sizes (the last size repeats
// until the stream ends), each read a length byte and its bytes.
Bytes reads(const Bytes& stream, std::initializer_list<size_t> sizes) {
    Bytes out;
    size_t pos = 0;
    auto size = sizes.begin();
    while (pos < stream.size()) {
        const size_t n = std::min(*size, stream.size() - pos);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), stream.begin() + long(pos), stream.begin() + long(pos + n));
        pos += n;
        if (size + 1 != sizes.end()) ++size;
    }
    return out;
}

bool write(const fs::path& file, const Bytes& bytes) {
    fs::create_directories(file.parent_path());
    testing::writeFileText(file, std::string(bytes.begin(), bytes.end()));
    return testing::readFileText(file).size() == bytes.size();
}

bool controlLinkSeeds(const fs::path& dir) {
    const Bytes heartbeat = fromReceiver(kControlKindRequest, kRequestHeartBeat);
    // The receiver's side of a set-up: answers to the heartbeat, the sender name in two pieces, the
    // version, the authentication type, the client type and the pin, with its own heartbeat between.
    const Bytes setup = join(
        {answer(kRequestHeartBeat), answer(kRequestSenderNameFirst), answer(kRequestSenderNameNext),
         heartbeat, answer(kRequestReceiverVersion, 1, {{0, '2'}, {1, '.'}, {2, '1'}, {3, '.'}, {4, '7'}}),
         answer(kRequestGetAuthentication, 1, {{0, 1}}), answer(kRequestSyncClientType),
         answer(kRequestAuthenPinCode), answer(kRequestHeartBeat)});
    // Mirroring: a refused start, the status answers, the start, what the receiver asks while mirroring,
    // its callbacks, and the stop from its side.
    const Bytes mirroring = join(
        {answer(kRequestMirrorStart, 0), answer(kRequestGetReceiverStatus, 1, {{2, 1}, {3, kReceiverByte}}),
         answer(kRequestGetReceiverStatus, 1, {{2, 1}, {3, 1}}),
         answer(kRequestGetReceiverStatus, 1, {{2, 2}}), answer(kRequestGetReceiverStatus, 1, {{2, 3}}),
         answer(kRequestMirrorStart), fromReceiver(kControlKindRequest, kRequestKeyFrame),
         fromReceiver(kControlKindRequest, kRequestUpdateFrameRate, {{4, 30}}),
         fromReceiver(kControlKindCallback, kCallbackSetDeviceStatus, {{5, 1}}),
         fromReceiver(kControlKindCallback, kCallbackSetKeyStatus),
         fromReceiver(kControlKindRequest, kRequestMirrorStop), answer(kRequestMirrorStop),
         fromReceiver(kControlKindRequest, kRequestMirrorStart)});
    // What the link drops: unknown kinds and codes, and a partial packet at the end.
    const Bytes unknown = join({fromReceiver(7, 1), fromReceiver(kControlKindRequest, 99),
                                fromReceiver(kControlKindCallback, 5), answer(kRequestAuthenticate),
                                Bytes(heartbeat.begin(), heartbeat.begin() + 9)});
    return write(dir / "heartbeat", reads(heartbeat, {16})) &&
           write(dir / "setup-exchange", reads(setup, {16, 40, 8, 5, 11, 64})) &&
           write(dir / "mirroring", reads(mirroring, {1, 1, 1, 3, 200, 7})) &&
           write(dir / "unknown-packets", reads(unknown, {0, 17, 255}));
}

// Entries as the loopback driver's archive holds them.
std::vector<testing::ZipFixtureEntry> driverEntries() {
    return {
        {"Soundflower.kext/", "", 040755},
        {"Soundflower.kext/Contents/Info.plist", "<plist><dict/></plist>\n"},
        {"Soundflower.kext/Contents/MacOS/Soundflower", std::string(300, 'x'), 0100755, 3, 0x5A2E6C2Du, true},
        {"Soundflower.kext/Current", "Contents", 0120777},
    };
}

// Names and links that try to leave the destination, and bits that must not come back.
std::vector<testing::ZipFixtureEntry> hostileEntries() {
    return {
        {"../escape", "out"},
        {"/absolute", "out"},
        {"folder\\back.txt", "backslash"},
        {"x", "../../../../outside", 0120777},
        {"x/through-link", "out"},
        {"root", "/", 0120777},
        {"root/tmp/through-absolute-link", "out"},
        {"setuid", "#!/bin/sh\n", 0104755},
        {"dos-host", "a link made on another host", 0120777, 0},
        {"", "empty name"},
    };
}

// The archive with a one-byte comment, which the archive target reads as its mode (keep what exists, use
// a password).
Bytes withComment(Bytes zip, uint8_t comment) {
    zip[zip.size() - 2] = 1;  // the comment's length, the last field of the end record
    zip.push_back(comment);
    return zip;
}

bool archiveSeeds(const fs::path& dir) {
    testing::TempFolder tmp;
    auto make = [&](const std::string& name, const std::vector<testing::ZipFixtureEntry>& entries) {
        const std::string path = tmp / name;
        return testing::writeZipFixture(path, entries) ? path : std::string();
    };
    auto bytesOf = [](const std::string& path) {
        const std::string s = testing::readFileText(path);
        return Bytes(s.begin(), s.end());
    };
    const std::string driver = make("driver", driverEntries());
    const std::string hostile = make("hostile", hostileEntries());
    const std::string damaged =
        make("damaged", {{"first", "kept"}, {"second", "damaged data", 0100644, 3, 0x5A2E6C2Du, true}});
    if (driver.empty() || hostile.empty() || damaged.empty() ||
        !testing::damageZipData(damaged, "damaged data"))
        return false;
    return write(dir / "driver", bytesOf(driver)) &&
           write(dir / "driver-keep-password", withComment(bytesOf(driver), 3)) &&
           write(dir / "hostile", bytesOf(hostile)) && write(dir / "damaged", bytesOf(damaged));
}

Bytes xml(const PropertyList& p) {
    const std::string s = platform::foundation::xmlPropertyList(p);
    return Bytes(s.begin(), s.end());
}

bool settingsSeeds(const fs::path& dir, bool withDevicesOutOfRange) {
    PropertyList config;
    config.set("AutoShare", true);
    config.set("gesturePPT", false);
    config.set("MouseAlone", true);
    config.set("deviceName",
               "Studio \xC3\xA9"
               "cran");
    PropertyList longName;
    longName.set("deviceName",
                 "Salle de r\xC3\xA9union \xF0\x9F\x8E\xAC \xE7\x94\xBB\xE9\x9D\xA2\xE5\x85\xB1\xE6\x9C\x89 "
                 "e\xCC\x81t\xC3\xA9");
    longName.set("AutoShare", int64_t(1));
    const PropertyList saved(PropertyList::Dictionary{{"input", 4}, {"output", 4}});
    const PropertyList savedDefaults(PropertyList::Dictionary{{"input", 2}, {"output", 3}});
    bool ok = write(dir / "config", xml(config)) && write(dir / "config-long-name", xml(longName)) &&
              write(dir / "soundflower", xml(saved)) &&
              write(dir / "soundflower-binary", platform::foundation::binaryPropertyList(savedDefaults));
    if (withDevicesOutOfRange) {
        const PropertyList wrong(PropertyList::Dictionary{{"input", int64_t(0x100000004)}, {"output", -1}});
        ok = ok && write(dir / "soundflower-out-of-range", xml(wrong));
    }
    return ok;
}

bool castCommandSeeds(const fs::path& dir) {
    auto message = [](Bytes framed) { return Bytes(framed.begin() + 4, framed.end()); };
    return write(dir / "found", message(testing::TestLookupServer::foundReply({"192.168.1.20", "10.0.0.7"},
                                                                              "Room", "2.1.7"))) &&
           write(dir / "not-found", message(testing::TestLookupServer::statusReply(StatusCode::FAILED)));
}

// ---- UDP receiving ----

// One datagram of the UDP target's input: its header bits, its length, and content repeated to it.
Bytes udpDatagram(uint8_t header, uint16_t length, const std::string& content) {
    Bytes out(4 + content.size());
    out[0] = header;
    out[1] = uint8_t(length);
    out[2] = uint8_t(length >> 8);
    out[3] = uint8_t(content.size());
    std::copy(content.begin(), content.end(), out.begin() + 4);
    return out;
}

constexpr uint8_t kIPv6 = 1, kRefused = 2, kEndBatch = 4, kNearLargest = 8;

bool udpSeeds(const fs::path& dir) {
    // Continuously, no filter: small datagrams on both families, a batch at a time.
    const Bytes plain = join({{0},
                              udpDatagram(0, 5, "hello"),
                              udpDatagram(kIPv6, 5, "world"),
                              udpDatagram(kEndBatch, 1200, "media"),
                              udpDatagram(kIPv6, 0, ""),
                              udpDatagram(kNearLargest, 7, "L"),
                              udpDatagram(kIPv6 | kNearLargest, 27, "L")});
    // Once at a time through a synchronous filter that refuses some.
    const Bytes filtered = join({{1 | 4},
                                 udpDatagram(0, 16, "first"),
                                 udpDatagram(kRefused, 16, "refused"),
                                 udpDatagram(kIPv6 | kRefused, 16, "refused"),
                                 udpDatagram(kIPv6, 16, "second")});
    // An asynchronous filter, small receive sizes that cut datagrams, an empty datagram, the largest
    // datagrams of both families and ones too large to send.
    const Bytes sizes = join({{1 | 2 | 8, 100, 0, 0, 2, 0, 0},
                              udpDatagram(0, 99, "x"),
                              udpDatagram(0, 101, "y"),
                              udpDatagram(0, 0, ""),
                              udpDatagram(kIPv6, 600, "z"),
                              udpDatagram(kNearLargest, 7, "a"),
                              udpDatagram(kIPv6 | kNearLargest, 27, "b"),
                              udpDatagram(kNearLargest, 35, "c"),
                              udpDatagram(kIPv6 | kNearLargest, 28, "d")});
    // Full batches alternating between the families, received once at a time.
    Bytes burst{4};
    for (int i = 0; i < 40; ++i) {
        const Bytes d =
            udpDatagram(uint8_t(i % 2), uint16_t(1000 + 97 * i), std::string(1, char('a' + i % 26)));
        burst.insert(burst.end(), d.begin(), d.end());
    }
    return write(dir / "plain", plain) && write(dir / "filtered-once", filtered) &&
           write(dir / "sizes", sizes) && write(dir / "burst-once", burst);
}

// ---- TLS records ----

// Bytes cut into the TLS target's pieces: a length byte and up to 255 bytes each.
Bytes tlsPieces(const std::vector<uint8_t>& bytes) {
    Bytes out;
    for (size_t at = 0; at < bytes.size(); at += 255) {
        const size_t n = std::min<size_t>(255, bytes.size() - at);
        out.push_back(uint8_t(n));
        out.insert(out.end(), bytes.begin() + long(at), bytes.begin() + long(at + n));
    }
    return out;
}

bool tlsSeeds(const fs::path& dir) {
    const std::string pem = testing::makeSelfSignedCertificate().pem();
    bool ok = true;
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        const std::string name = version == TLS1_2_VERSION ? "12" : "13";
        auto clientCtx = fuzz::makeTlsContext(false, "", version);
        auto serverCtx = fuzz::makeTlsContext(true, pem, version);
        if (!clientCtx || !serverCtx) return false;
        fuzz::MemoryTls client(clientCtx.get(), false), server(serverCtx.get(), true);
        client.handshake();
        const std::vector<uint8_t> hello = client.takeOutput();
        server.giveInput(hello.data(), hello.size());
        server.handshake();
        const std::vector<uint8_t> flight = server.takeOutput();
        // Before any handshake: the socket as the server gets a real ClientHello; as a client (trusting,
        // or not, what it is shown) a real server's answer to another client.
        ok = ok && !hello.empty() && !flight.empty() &&
             write(dir / ("client-hello-" + name), join({{1}, tlsPieces(hello)})) &&
             write(dir / ("server-flight-" + name + "-trusted"), join({{4}, tlsPieces(flight)})) &&
             write(dir / ("server-flight-" + name + "-refused"), join({{0}, tlsPieces(flight)}));
    }
    // After a handshake: records whole and in one-byte pieces, a long payload, a key update and the close
    // alert; the same with raw bytes breaking the stream; the socket as a TLS 1.2 client.
    const Bytes records = {0,   5, 'h', 'e',  'l',  'l', 'o', 255, 0,   3,   'a', 'b',
                           'c', 0, 4,   0x00, 0x90, 2,   0,   2,   'o', 'k', 255, 3};
    const Bytes broken = {0,    4,    'g',  'o', 'o', 'd', 255, 1,   5,   0x17, 0x03,
                          0x03, 0x00, 0x10, 0,   4,   'l', 'o', 's', 't', 255};
    return ok && write(dir / "records-server-13", join({{1 | 2}, records})) &&
           write(dir / "records-client-12", join({{2 | 8}, records})) &&
           write(dir / "broken-server-13", join({{1 | 2}, broken}));
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path corpus = argc > 1 ? fs::path(argv[1]) : fs::path(QUILL_SOURCE_DIR) / "tests/fuzz/corpus";
    const bool ok = controlLinkSeeds(corpus / "control_link_fuzz") && archiveSeeds(corpus / "archive_fuzz") &&
                    settingsSeeds(corpus / "settings_fuzz", true) &&
                    settingsSeeds(corpus / "plist_fuzz", false) &&
                    castCommandSeeds(corpus / "castcommand_fuzz") && udpSeeds(corpus / "udp_fuzz") &&
                    tlsSeeds(corpus / "tls_fuzz");
    std::printf("%s seeds in %s\n", ok ? "wrote" : "FAILED to write", corpus.c_str());
    return ok ? 0 : 1;
}
