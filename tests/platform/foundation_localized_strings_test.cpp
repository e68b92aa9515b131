#include <gtest/gtest.h>

#include "platform/foundation/LocalizedStrings.h"

namespace quill::platform::foundation {
namespace {

TEST(LocalizedStringsTest, LooksUpByTableAndKeyWithFallbacks) {
    LocalizedStrings strings;
    strings.registerStrings({{"Button.Mirror", "Mirror"}, {"title.failed", "Failed"}});
    strings.registerString("TcpSocketReadTimeoutError", "Read timed out (table)", "TcpSocket");

    EXPECT_EQ(strings.lookup("Button.Mirror"), "Mirror");
    EXPECT_EQ(strings.lookup("Button.Mirror", ""), "Mirror") << "an empty table name is the default table";
    EXPECT_EQ(strings.lookup("unknown.key"), "unknown.key");
    EXPECT_EQ(
        strings.lookup("TcpSocketConnectTimeoutError", "TcpSocket", "Attempt to connect to host timed out"),
        "Attempt to connect to host timed out");
    EXPECT_EQ(strings.lookup("TcpSocketReadTimeoutError", "TcpSocket", "Read operation timed out"),
              "Read timed out (table)");
    EXPECT_EQ(strings.lookup("TcpSocketReadTimeoutError"), "TcpSocketReadTimeoutError") << "other table";

    strings.registerString("Button.Mirror", "Start Mirroring");
    EXPECT_EQ(strings.lookup("Button.Mirror"), "Start Mirroring") << "later registrations replace";
}

TEST(LocalizedStringsTest, SharedTablesServeTheFreeFunction) {
    EXPECT_EQ(localizedString("quill.test.unregistered"), "quill.test.unregistered");
    LocalizedStrings::sharedInstance().registerString("quill.test.key", "text");
    EXPECT_EQ(localizedString("quill.test.key"), "text");
    EXPECT_EQ(localizedString("quill.test.other", "Table", "fallback"), "fallback");
}

}  // namespace
}  // namespace quill::platform::foundation
