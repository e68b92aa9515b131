#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <regex>
#include <thread>

#include "RecordingLogger.h"
#include "logging/ContextFilterLogFormatter.h"
#include "logging/DispatchQueueLogFormatter.h"
#include "logging/MultiFormatter.h"
#include "platform/foundation/ThreadName.h"

namespace quill {
namespace {

using platform::dispatch::Queue;
using testing::RecordingLogger;

enum class Where { NoQueue, Serial, Global };

// A message made on a thread of the given name, inside work of the given kind of queue.
LogMessage messageMadeOn(Where where, const std::string& threadName, int32_t context = 0) {
    std::optional<LogMessage> out;
    std::thread([&] {
        platform::foundation::setCurrentThreadName(threadName.c_str());
        auto make = [&] {
            out.emplace(makeLogText("text"), 31, 4, context, nullptr, nullptr, 0, nullptr, 0);
        };
        if (where == Where::Serial) {
            Queue::serial("com.quill.worker")->sync(make);
        } else if (where == Where::Global) {
            Queue::global()->sync(make);
        } else {
            make();
        }
    }).join();
    return *out;
}

TEST(DispatchQueueLogFormatterTest, LabelRuleOnQueuesAndThreads) {
    DispatchQueueLogFormatter formatter;
    formatter.setReplacementString("long", "worker-thread-9");
    struct Case {
        Where where;
        const char* thread;
        std::string label;  // empty: the thread number
    };
    const Case cases[] = {
        {Where::Serial, "named", "com.quill.worker"}, {Where::Serial, "", "com.quill.worker"},
        {Where::Global, "pool-7", "pool-7"},          {Where::Global, "", ""},
        {Where::NoQueue, "plain", "plain"},           {Where::NoQueue, "", ""},
        {Where::Global, "worker-thread-9", "long"},
    };
    for (const Case& c : cases) {
        LogMessage m = messageMadeOn(c.where, c.thread);
        std::string expected = c.label.empty() ? m.threadID() : c.label;
        EXPECT_EQ(formatter.queueThreadLabelForLogMessage(m), expected) << int(c.where) << " " << c.thread;
    }
    // This test runs on the main thread: outside any queue's work that counts as the main queue.
    LogMessage onMain(makeLogText("x"), 31, 4, 0, nullptr, nullptr, 0, nullptr, 0);
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(onMain), "main");
    formatter.setReplacementString(std::nullopt, "worker-thread-9");
    EXPECT_EQ(formatter.replacementStringForQueueLabel("worker-thread-9"), "");
}

TEST(DispatchQueueLogFormatterTest, LengthLimitsCountCodePoints) {
    DispatchQueueLogFormatter formatter;
    LogMessage m = messageMadeOn(Where::NoQueue, "x");
    struct Case {
        const char* label;
        size_t min, max;
        const char* expected;
    };
    const Case cases[] = {
        {"ÄÖÜäöü", 0, 4, "ÄÖÜä"}, {"日本", 6, 0, "日本    "}, {"abcdef", 0, 4, "abcd"},
        {"ab", 6, 0, "ab    "},   {"日本語", 2, 3, "日本語"},
    };
    for (const Case& c : cases) {
        formatter.setReplacementString(c.label, "x");
        formatter.setMinQueueLength(c.min);
        formatter.setMaxQueueLength(c.max);
        EXPECT_EQ(formatter.queueThreadLabelForLogMessage(m), c.expected) << c.label;
    }
}

TEST(DispatchQueueLogFormatterTest, LineIsLocalTimeLabelAndText) {
    DispatchQueueLogFormatter formatter;
    auto when = std::chrono::system_clock::from_time_t(1709680079) + std::chrono::milliseconds(7);
    time_t t = 1709680079;
    struct tm tm;
    localtime_r(&t, &tm);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S:007", &tm);
    EXPECT_EQ(formatter.stringFromDate(when), expected);
    LogText line = formatter.formatLogMessage(messageMadeOn(Where::Serial, "t"));
    EXPECT_TRUE(std::regex_match(
        *line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3} \[com\.quill\.worker\] text)")))
        << *line;
}

// Records that it ran and wraps the line.
class WrappingFormatter : public LogFormatter {
  public:
    LogText formatLogMessage(const LogMessage& m) override {
        calls++;
        return makeLogText("<" + *m.logMsg() + ">");
    }
    std::atomic<int> calls{0};
};

TEST(MultiFormatterTest, ChainsStopAtANullAndFiltersFollowTheirSets) {
    auto first = std::make_shared<WrappingFormatter>();
    auto whitelist = std::make_shared<ContextWhitelistFilterLogFormatter>();
    auto third = std::make_shared<WrappingFormatter>();
    whitelist->addToWhitelist(3);
    MultiFormatter chain;
    for (const auto& f : std::initializer_list<std::shared_ptr<LogFormatter>>{first, whitelist, third})
        chain.addFormatter(f);
    EXPECT_EQ(*chain.formatLogMessage(messageMadeOn(Where::NoQueue, "t", 3)), "<<text>>");
    EXPECT_EQ(chain.formatLogMessage(messageMadeOn(Where::NoQueue, "t", 4)), nullptr);
    EXPECT_EQ(first->calls.load(), 2);
    EXPECT_EQ(third->calls.load(), 1) << "the chain ended at the filter";

    chain.removeFormatter(whitelist);
    EXPECT_FALSE(chain.isFormattingWithFormatter(whitelist));
    EXPECT_EQ(chain.formatters().size(), 2u);
    chain.removeAllFormatters();
    LogMessage m = messageMadeOn(Where::NoQueue, "t", 3);
    EXPECT_EQ(chain.formatLogMessage(m), m.logMsg()) << "an empty chain hands the text object back";

    ContextBlacklistFilterLogFormatter blacklist;
    blacklist.addToBlacklist(3);
    blacklist.addToBlacklist(5);
    blacklist.removeFromBlacklist(5);
    EXPECT_EQ(blacklist.blacklist(), std::vector<int32_t>{3});
    EXPECT_EQ(blacklist.formatLogMessage(m), nullptr);
    LogMessage other = messageMadeOn(Where::NoQueue, "t", 4);
    EXPECT_EQ(blacklist.formatLogMessage(other), other.logMsg());
}

TEST(MultiFormatterTest, OneChainSharedByFourLoggersOnFourThreads) {
    LogRegistry registry;
    auto queueFormatter = std::make_shared<DispatchQueueLogFormatter>();
    auto chain = std::make_shared<MultiFormatter>();
    chain->addFormatter(queueFormatter);
    std::vector<std::shared_ptr<RecordingLogger>> loggers;
    for (int i = 0; i < 4; ++i) {
        loggers.push_back(std::make_shared<RecordingLogger>(registry, "logger" + std::to_string(i)));
        loggers.back()->setLogFormatter(chain);
        registry.addLogger(loggers.back());
    }
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            platform::foundation::setCurrentThreadName(("writer" + std::to_string(t)).c_str());
            for (int i = 0; i < kPerThread; ++i)
                registry.log(true, LOG_LEVEL_ALL, 4, 0, nullptr, nullptr, 0, nullptr, "line %d", i);
        });
    }
    for (auto& t : threads)
        t.join();
    registry.flushLog();
    std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3} \[writer[0-3]\] line \d+)");
    for (auto& logger : loggers) {
        auto texts = logger->snapshot();
        ASSERT_EQ(texts.size(), size_t(4 * kPerThread));
        for (const auto& text : texts)
            ASSERT_TRUE(std::regex_match(text, line)) << text;
    }
}

}  // namespace
}  // namespace quill
