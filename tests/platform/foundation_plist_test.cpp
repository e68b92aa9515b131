#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "platform/foundation/PropertyList.h"
#include "support/TempFolder.h"

namespace quill::platform::foundation {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

const char* const kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::optional<PropertyList> parse(const std::string& text) {
    return readPropertyList(bytesOf(text));
}

PropertyList sample() {
    PropertyList inner;
    inner.set("name", "Quill & <Co>");
    inner.set("flag", false);
    PropertyList root;
    root.set("AutoShare", true);
    root.set("count", -42);
    root.set("big", int64_t{1} << 40);
    root.set("ratio", 0.1);
    root.set("when", PlistDate{86400.0 * 365});
    root.set("blob", Bytes{0, 1, 2, 0xfe, 0xff});
    root.set("empty", PropertyList::Dictionary{});
    root.set("list", PropertyList::Array{1, "two", 3.5, inner, PropertyList::Array{}});
    root.set("unicode", "gr\xC3\xBC\xC3\x9F");
    return root;
}

TEST(PropertyListTest, TwoIntegersAreWrittenByteForByte) {
    PropertyList devices;
    devices.set("output", 73);
    devices.set("input", 52);
    EXPECT_EQ(xmlPropertyList(devices), std::string(kHeader) +
                                            "<dict>\n"
                                            "\t<key>input</key>\n"
                                            "\t<integer>52</integer>\n"
                                            "\t<key>output</key>\n"
                                            "\t<integer>73</integer>\n"
                                            "</dict>\n"
                                            "</plist>\n");
}

TEST(PropertyListTest, EveryTypeIsWrittenInTheNativeForm) {
    std::string xml = xmlPropertyList(sample());
    EXPECT_EQ(xml.rfind(kHeader, 0), 0u);
    EXPECT_NE(xml.find("\t<key>AutoShare</key>\n\t<true/>\n"), std::string::npos);
    EXPECT_NE(xml.find("\t<integer>-42</integer>\n"), std::string::npos);
    EXPECT_NE(xml.find("\t<real>0.10000000000000001</real>\n"), std::string::npos);
    EXPECT_NE(xml.find("\t<date>2002-01-01T00:00:00Z</date>\n"), std::string::npos);
    EXPECT_NE(xml.find("\t<data>\n\tAAEC/v8=\n\t</data>\n"), std::string::npos);
    EXPECT_NE(xml.find("\t<dict/>\n"), std::string::npos);
    EXPECT_NE(xml.find("\t\t<array/>\n"), std::string::npos);
    EXPECT_NE(xml.find("\t\t\t<string>Quill &amp; &lt;Co&gt;</string>\n"), std::string::npos);
    EXPECT_NE(
        xml.find("\t<array>\n\t\t<integer>1</integer>\n\t\t<string>two</string>\n\t\t<real>3.5</real>\n"),
        std::string::npos);
    EXPECT_EQ(xmlPropertyList(PropertyList(1.0)), std::string(kHeader) + "<real>1</real>\n</plist>\n");
    EXPECT_EQ(xmlPropertyList(PropertyList::Array{}), std::string(kHeader) + "<array/>\n</plist>\n");
}

TEST(PropertyListTest, LongDataIsWrappedByIndentation) {
    PropertyList root;
    root.set("d", Bytes(100, 0xAB));
    std::string xml = xmlPropertyList(root);
    // 100 bytes are 136 base64 characters; one tab of indentation leaves 68 per line.
    std::string line(68, 'q');
    size_t open = xml.find("<data>\n");
    ASSERT_NE(open, std::string::npos);
    std::istringstream lines(xml.substr(open + 7));
    std::string first, second, close;
    std::getline(lines, first);
    std::getline(lines, second);
    std::getline(lines, close);
    EXPECT_EQ(first.size(), 69u);
    EXPECT_EQ(first[0], '\t');
    EXPECT_EQ(second.size(), 69u);
    EXPECT_EQ(close, "\t</data>");
    EXPECT_EQ(readPropertyList(bytesOf(xml)), root);
}

TEST(PropertyListTest, XmlAndBinaryRoundTrip) {
    PropertyList original = sample();
    auto fromXml = parse(xmlPropertyList(original));
    ASSERT_TRUE(fromXml);
    EXPECT_EQ(*fromXml, original);

    Bytes binary = binaryPropertyList(original);
    ASSERT_GE(binary.size(), 8u);
    EXPECT_EQ(stringOf(std::span(binary).first(8)), "bplist00");
    auto fromBinary = readPropertyList(binary);
    ASSERT_TRUE(fromBinary);
    EXPECT_EQ(*fromBinary, original);
}

TEST(PropertyListTest, ReadsHandWrittenXmlWithAccessors) {
    auto plist = parse(std::string(kHeader) +
                       "<dict><key>deviceName</key><string>Ada</string>"
                       "<key>gesturePPT</key><false/><key>n</key><integer>7</integer>"
                       "<key>d</key><date>2001-01-01T00:01:40Z</date></dict></plist>");
    ASSERT_TRUE(plist);
    ASSERT_NE(plist->find("deviceName"), nullptr);
    EXPECT_EQ(*plist->find("deviceName")->string(), "Ada");
    EXPECT_EQ(plist->find("gesturePPT")->boolean(), false);
    EXPECT_EQ(plist->find("n")->integer(), 7);
    EXPECT_EQ(plist->find("n")->boolean(), std::nullopt) << "no conversion between types";
    EXPECT_EQ(plist->find("d")->date(), PlistDate{100.0});
    EXPECT_EQ(plist->find("missing"), nullptr);
    EXPECT_EQ(PropertyList(5).find("n"), nullptr);
}

TEST(PropertyListTest, MalformedInputGivesNoValue) {
    const std::string good = xmlPropertyList(sample());
    EXPECT_EQ(parse(""), std::nullopt);
    EXPECT_EQ(parse("hello"), std::nullopt);
    EXPECT_EQ(parse("<?xml version=\"1.0\"?><plist><dict><key>a</key>"), std::nullopt);
    EXPECT_EQ(parse("bplist00"), std::nullopt);
    EXPECT_EQ(parse(std::string("<plist><key>a\0b</key></plist>", 29)), std::nullopt);
    EXPECT_EQ(parse(std::string("<plist><string>a\0b</string></plist>", 35)), std::nullopt);
    EXPECT_EQ(parse(std::string("bplist00\xff\xff\xff\xff", 12)), std::nullopt);
    // Every truncation of a valid document, text and binary, is handled without a crash.
    for (size_t n = 0; n < good.size(); n += 7)
        (void)parse(good.substr(0, n));
    Bytes binary = binaryPropertyList(sample());
    for (size_t n = 0; n < binary.size(); ++n) {
        (void)readPropertyList(std::span(binary).first(n));
    }
    // A binary string with a zero byte inside is a string, not a crash.
    PropertyList withZero(std::string("a\0b", 3));
    EXPECT_EQ(readPropertyList(binaryPropertyList(PropertyList::Array{"ab"})).value(),
              PropertyList::Array{"ab"});
    // Corrupted bytes in the binary form's trailer and offsets.
    for (size_t i = 0; i < binary.size(); ++i) {
        Bytes bad = binary;
        bad[i] ^= 0xFF;
        (void)readPropertyList(bad);
    }
}

// A binary property list from objects laid out one after the other (one-byte offsets and references).
Bytes binaryOf(const std::vector<Bytes>& objects, uint8_t top = 0) {
    Bytes out = bytesOf("bplist00");
    Bytes offsets;
    for (const auto& o : objects) {
        offsets.push_back(static_cast<uint8_t>(out.size()));
        out.insert(out.end(), o.begin(), o.end());
    }
    uint8_t tableOffset = static_cast<uint8_t>(out.size());
    out.insert(out.end(), offsets.begin(), offsets.end());
    Bytes trailer(32, 0);
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<uint8_t>(objects.size());
    trailer[23] = top;
    trailer[31] = tableOffset;
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

TEST(PropertyListTest, HostileBinaryInputIsBounded) {
    // A string with a zero byte inside stays a string of three bytes.
    auto zero = readPropertyList(binaryOf({{0x53, 'a', 0, 'b'}}));
    ASSERT_TRUE(zero);
    EXPECT_EQ(*zero->string(), std::string("a\0b", 3));
    // UTF-16 strings become UTF-8.
    EXPECT_EQ(readPropertyList(binaryOf({{0x63, 0x00, 0xFC, 0xD8, 0x3D, 0xDE, 0x00}})),
              PropertyList("\xC3\xBC\xF0\x9F\x98\x80"));
    // An array that holds itself.
    EXPECT_EQ(readPropertyList(binaryOf({{0xA1, 0x00}})), std::nullopt);
    // Thirty arrays each holding the next one fifteen times would expand to 15^30 values.
    std::vector<Bytes> chain;
    for (uint8_t i = 0; i < 30; ++i) {
        Bytes a{0xAF};
        for (int k = 0; k < 15; ++k)
            a.push_back(static_cast<uint8_t>(i + 1));
        chain.push_back(a);
    }
    chain.push_back({0x09});
    EXPECT_EQ(readPropertyList(binaryOf(chain)), std::nullopt);
    // A dictionary whose key is not a string; a length running past the end; an unknown marker.
    EXPECT_EQ(readPropertyList(binaryOf({{0xD1, 0x01, 0x01}, {0x10, 0x05}})), std::nullopt);
    EXPECT_EQ(readPropertyList(binaryOf({{0x5F, 0x10, 0xFF, 'a'}})), std::nullopt);
    EXPECT_EQ(readPropertyList(binaryOf({{0x70}})), std::nullopt);
}

TEST(PropertyListTest, FilesAreWrittenAtomicallyAndReadBack) {
    TempFolder dir;
    std::string path = dir / ".soundflower";
    EXPECT_EQ(readPropertyListFile(path), std::nullopt);

    PropertyList first;
    first.set("input", 1);
    ASSERT_TRUE(writePropertyListFile(first, path));
    PropertyList second;
    second.set("input", 2);
    ASSERT_TRUE(writePropertyListFile(second, path));
    EXPECT_EQ(fileText(path), xmlPropertyList(second));
    EXPECT_EQ(readPropertyListFile(path), second);

    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1u) << "no temporary file is left behind";
}

TEST(PropertyListTest, FailedWriteLeavesNoTraceAndReportsTheError) {
    TempFolder dir;
    Error error;
    EXPECT_FALSE(writePropertyListFile(PropertyList(), dir / "missing/folder.plist", &error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(PropertyListTest, UnreadableFilesGiveNoValue) {
    TempFolder dir;
    EXPECT_EQ(readPropertyListFile(dir.str()), std::nullopt) << "a folder";
    std::ofstream(dir / "junk.plist") << "{ not a plist";
    EXPECT_EQ(readPropertyListFile(dir / "junk.plist"), std::nullopt);
    std::ofstream(dir / "empty.plist");
    EXPECT_EQ(readPropertyListFile(dir / "empty.plist"), std::nullopt);
}

TEST(PropertyListTest, AFifoAtThePathIsUnreadableAndDoesNotBlock) {
    TempFolder dir;
    const std::string fifo = dir / ".config.plist";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&] { return readPropertyListFile(fifo); });
    if (read.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
        // A writer lets the blocked open go on, so the test ends.
        int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        read.wait();
        if (writer >= 0) ::close(writer);
        FAIL() << "reading a FIFO blocked";
    }
    EXPECT_EQ(read.get(), std::nullopt);
    EXPECT_EQ(readPropertyListFile("/dev/zero"), std::nullopt) << "a device";
}

}  // namespace
}  // namespace quill::platform::foundation
