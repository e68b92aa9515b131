#include <gtest/gtest.h>

#include <syslog.h>

#include <cerrno>
#include <mutex>

#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::foundation {
namespace {

TEST(ErrorTest, PosixErrorCarriesTextAndReason) {
    Error e = posixError(ECONNREFUSED, "Error in connect() function");
    EXPECT_EQ(e.domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(e.code, ECONNREFUSED);
    EXPECT_EQ(e.localizedDescription(), "Connection refused");
    EXPECT_EQ(e.localizedFailureReason(), "Error in connect() function");
    EXPECT_EQ(
        e.description(),
        "Error Domain=NSPOSIXErrorDomain Code=111 \"Connection refused\" UserInfo={NSLocalizedDescription="
        "Connection refused, NSLocalizedFailureReason=Error in connect() function}");
}

TEST(ErrorTest, DescriptionWithoutUserInfoNamesDomainAndCode) {
    Error e("TcpSocketErrorDomain", 3);
    EXPECT_EQ(e.localizedDescription(),
              "The operation couldn\xE2\x80\x99t be completed. (TcpSocketErrorDomain error 3.)");
    EXPECT_EQ(e.description().rfind("Error Domain=TcpSocketErrorDomain Code=3 \"", 0), 0u);
    EXPECT_NE(e.description().find("UserInfo={}"), std::string::npos);
}

TEST(ByteBufferTest, ConsumeFromFrontKeepsOrderAcrossGrowth) {
    ByteBuffer buf;
    for (int round = 0; round < 100; ++round) {
        uint8_t* p = buf.prepare(10);
        for (int i = 0; i < 10; ++i)
            p[i] = static_cast<uint8_t>(round * 10 + i);
        buf.commit(7);  // only seven of the ten prepared bytes were written
        ASSERT_EQ(buf.data()[buf.size() - 1], static_cast<uint8_t>(round * 10 + 6));
        buf.consume(5);
    }
    EXPECT_EQ(buf.size(), 200u);
    Bytes all = buf.take(1000);
    EXPECT_EQ(all.size(), 200u);
    EXPECT_TRUE(buf.empty());
}

TEST(SysLogTest, CaptureSeesExactFormattedLines) {
    LogCapture capture;
    sysLog("socket %d closed after %s", 7, "error");
    sysLogString("plain line");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"socket 7 closed after error", "plain line"}));
}

TEST(SysLogTest, DefaultSinkSendsLinesToTheJournalAtDebugPriority) {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> seen;
    SyslogWriter previous = setSyslogWriter([&](int priority, const std::string& text) {
        std::lock_guard lock(mutex);
        seen.emplace_back(priority, text);
    });
    sysLog("packet %d sent", 3);
    setSyslogWriter(std::move(previous));
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{LOG_DEBUG, "packet 3 sent"}}));
}

}  // namespace
}  // namespace quill::platform::foundation
