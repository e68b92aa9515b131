// The shared text checks: strict UTF-8, decimal digits and dotted IPv4 addresses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/Text.h"

namespace quill::platform::foundation {
namespace {

TEST(Utf8Test, OnlyWellFormedSequencesAreValid) {
    struct Case {
        std::string_view text;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain", true},
        {std::string_view("\0", 1), true},
        {"\xC2\x80\xDF\xBF", true},                      // the smallest and largest two-byte forms
        {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", true},  // U+0800, U+D7FF, U+E000
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},      // U+10000, U+10FFFF
        {"\x80", false},                                 // a continuation byte alone
        {"\xC3", false},                                 // truncated
        {"\xE2\x82", false},
        {"\xC3(", false},     // not followed by a continuation byte
        {"\xC0\xAF", false},  // overlong '/'
        {"\xC1\xBF", false},
        {"\xE0\x80\x80", false},  // overlong
        {"\xE0\x9F\xBF", false},
        {"\xF0\x8F\xBF\xBF", false},
        {"\xED\xA0\x80", false},  // surrogates
        {"\xED\xBF\xBF", false},
        {"\xF4\x90\x80\x80", false},  // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xF8\x88\x80\x80\x80", false},
        {"\xFF", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isValidUtf8(c.text), c.valid) << ::testing::PrintToString(std::string(c.text));
}

TEST(TextTest, DecimalDigits) {
    EXPECT_TRUE(isDecimalDigits("0"));
    EXPECT_TRUE(isDecimalDigits("12345678"));
    for (std::string_view s :
         {"", " 1", "1 ", "+1", "-1", "1a", "1.0", "\xEF\xBC\x91"})  // last: a full-width 1
        EXPECT_FALSE(isDecimalDigits(s)) << s;
}

TEST(TextTest, DottedIPv4) {
    using Octets = std::array<uint8_t, 4>;
    EXPECT_EQ(parseIPv4("192.168.1.20"), (Octets{192, 168, 1, 20}));
    EXPECT_EQ(parseIPv4("0.0.0.0"), (Octets{0, 0, 0, 0}));
    EXPECT_EQ(parseIPv4("255.255.255.255"), (Octets{255, 255, 255, 255}));
    const std::vector<std::string> refused{"",
                                           "10.0.1",
                                           "10.0.0.1.5",
                                           "10..0.1",
                                           ".10.0.1",
                                           "10.0.0.1.",
                                           "10.0.0.256",
                                           "010.0.0.1",
                                           "10.0.0.01",
                                           "a.b.c.d",
                                           " 10.0.0.1",
                                           "10.0.0.1 ",
                                           "+10.0.0.1",
                                           "0x0a.0.0.1",
                                           "167772161",
                                           "fe80::1",
                                           std::string("10.0.0.1\0x", 10)};
    for (const std::string& s : refused)
        EXPECT_FALSE(parseIPv4(s)) << ::testing::PrintToString(s);
}

}  // namespace
}  // namespace quill::platform::foundation
