#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <regex>
#include <thread>

#include "RecordingLogger.h"
#include "logging/Log.h"
#include "logging/TTYLogger.h"

namespace quill {
namespace {

using testing::RecordingLogger;

class NullFormatter : public LogFormatter {
  public:
    LogText formatLogMessage(const LogMessage&) override { return nullptr; }
};

void logSync(LogRegistry& r, int32_t flag, const char* text) {
    r.log(false, LOG_LEVEL_ALL, flag, 0, __FILE__, __func__, __LINE__, nullptr, "%s", text);
}

TEST(LogRegistryTest, LevelTestIsASignedComparisonNotABitTest) {
    LogRegistry r;
    auto l15 = std::make_shared<RecordingLogger>(r);
    auto l7 = std::make_shared<RecordingLogger>(r);
    auto l0 = std::make_shared<RecordingLogger>(r);
    auto lneg = std::make_shared<RecordingLogger>(r);
    r.addLogger(l15, 15);
    r.addLogger(l7, 7);
    r.addLogger(l0, 0);
    r.addLogger(lneg, -1);
    logSync(r, 8, "eight");
    logSync(r, 1, "one");
    EXPECT_EQ(l15->snapshot(), (std::vector<std::string>{"eight", "one"}));
    EXPECT_EQ(l7->snapshot(), (std::vector<std::string>{"one"}));  // 8 > 7, 1 <= 7
    EXPECT_TRUE(l0->snapshot().empty());
    EXPECT_TRUE(lneg->snapshot().empty());
}

TEST(LogRegistryTest, NullLoggerIgnoredAndDoubleAddDeliversTwice) {
    LogRegistry r;
    r.addLogger(nullptr);
    EXPECT_EQ(r.loggerCount(), 0u);
    auto l = std::make_shared<RecordingLogger>(r);
    r.addLogger(l);
    r.addLogger(l);
    logSync(r, 4, "twice");
    EXPECT_EQ(l->snapshot(), (std::vector<std::string>{"twice", "twice"}));
    r.removeLogger(l);
    EXPECT_EQ(r.loggerCount(), 1u);  // only the first entry goes
    r.removeAllLoggers();
    EXPECT_EQ(r.loggerCount(), 0u);
}

TEST(LogRegistryTest, NullFormatterSkipsOnlyThatLogger) {
    LogRegistry r;
    auto a = std::make_shared<RecordingLogger>(r, "a");
    auto b = std::make_shared<RecordingLogger>(r, "b");
    r.addLogger(a);
    r.addLogger(b);
    a->setLogFormatter(std::make_shared<NullFormatter>());
    EXPECT_NE(a->logFormatter(), nullptr);  // the setter went through both queues before this getter
    logSync(r, 1, "hello");
    EXPECT_TRUE(a->snapshot().empty());
    EXPECT_EQ(b->snapshot(), (std::vector<std::string>{"hello"}));
}

TEST(LogRegistryTest, AsyncMessagesArriveInOrderAndFlushWaitsForFlushers) {
    LogRegistry r;
    auto l = std::make_shared<RecordingLogger>(r);
    r.addLogger(l);
    for (int i = 0; i < 2000; ++i)
        r.log(true, LOG_LEVEL_ALL, 4, 0, nullptr, nullptr, 0, nullptr, "%d", i);
    r.flushLog();
    EXPECT_EQ(l->flushes.load(), 1);
    auto texts = l->snapshot();
    ASSERT_EQ(texts.size(), 2000u);  // flush ran after every earlier fan-out
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(texts[size_t(i)], std::to_string(i));
    EXPECT_EQ(l->added.load(), 1);
}

// A logger that logs synchronously and reads its own formatter from inside logMessage: both used to
// wait on queues that were waiting on it.
class ReentrantLogger : public RecordingLogger {
  public:
    using RecordingLogger::RecordingLogger;
    void logMessage(const LogMessage& m) override {
        RecordingLogger::logMessage(m);
        (void)logFormatter();
        if (*m.logMsg() == "outer") {
            registry().log(false, LOG_LEVEL_ALL, 1, 0, nullptr, nullptr, 0, nullptr, "inner");
            registry().flushLog();
        }
    }
};

TEST(LogRegistryTest, LoggingFromALoggerDoesNotDeadlock) {
    LogRegistry r;
    auto l = std::make_shared<ReentrantLogger>(r);
    r.addLogger(l);
    logSync(r, 1, "outer");
    r.flushLog();
    for (int i = 0; i < 200 && l->snapshot().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(l->snapshot(), (std::vector<std::string>{"outer", "inner"}));
}

// Runs f on a thread of its own; false when it has not returned within the time. A caller that gets false
// must leave everything f uses alive: the thread is stuck with it.
bool finishesWithin(double seconds, std::function<void()> f) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([f = std::move(f), done] {
        f();
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

// A logger that, while handling a message, reads another logger's settings and the registry's count.
class PeekingLogger : public RecordingLogger {
  public:
    using RecordingLogger::RecordingLogger;
    void logMessage(const LogMessage& m) override {
        RecordingLogger::logMessage(m);
        peerHasFormatter = peer->logFormatter() != nullptr;
        count = registry().loggerCount();
    }
    std::shared_ptr<AbstractLogger> peer;
    std::atomic<bool> peerHasFormatter{false};
    std::atomic<size_t> count{0};
};

TEST(LogRegistryTest, GettersFromAnotherLoggersQueueDuringAFanOutDoNotDeadlock) {
    auto* r = new LogRegistry;  // left behind, with its loggers, should the fan-out hang
    auto peeking = std::make_shared<PeekingLogger>(*r, "peeking");
    auto other = std::make_shared<RecordingLogger>(*r, "other");
    peeking->peer = other;
    other->setLogFormatter(std::make_shared<NullFormatter>());
    ASSERT_NE(other->logFormatter(), nullptr);  // the setter has landed
    r->addLogger(other);
    r->addLogger(peeking);
    bool finished = finishesWithin(5, [r] { logSync(*r, 1, "look around"); });
    ASSERT_TRUE(finished) << "a settings getter or loggerCount waited for the registry's queue";
    EXPECT_TRUE(peeking->peerHasFormatter);
    EXPECT_EQ(peeking->count.load(), 2u);
    delete r;
}

class AddCountingFormatter : public LogFormatter {
  public:
    LogText formatLogMessage(const LogMessage& m) override { return m.logMsg(); }
    void didAddToLogger(Logger&) override { added++; }
    std::atomic<int> added{0};
};

TEST(LogRegistryTest, ASetterQueuedForAReleasedLoggerLeavesItAlone) {
    LogRegistry r;
    platform::dispatch::Semaphore gate;
    r.loggingQueue()->async([&] { gate.wait(); });  // holds the change on the registry's queue
    auto logger = std::make_shared<RecordingLogger>(r);
    auto queue = logger->loggerQueue();
    auto formatter = std::make_shared<AddCountingFormatter>();
    logger->setLogFormatter(formatter);
    std::weak_ptr<RecordingLogger> weak = logger;
    logger.reset();
    EXPECT_TRUE(weak.expired()) << "queued work keeps the logger alive";
    gate.signal();
    r.loggingQueue()->sync([] {});
    queue->sync([] {});
    EXPECT_EQ(formatter->added.load(), 0) << "the change ran on a released logger";
}

class PrefixFormatter : public LogFormatter {
  public:
    explicit PrefixFormatter(std::string prefix) : prefix_(std::move(prefix)) {}
    LogText formatLogMessage(const LogMessage& m) override { return makeLogText(prefix_ + *m.logMsg()); }

  private:
    std::string prefix_;
};

TEST(LogRegistryTest, ASetterBetweenAsynchronousMessagesTakesEffectBetweenThem) {
    LogRegistry r;
    auto logger = std::make_shared<RecordingLogger>(r);
    logger->setLogFormatter(std::make_shared<PrefixFormatter>("a:"));
    r.addLogger(logger);
    platform::dispatch::Semaphore gate;
    r.loggingQueue()->async([&] { gate.wait(); });  // nothing is fanned out until all is queued
    r.log(true, LOG_LEVEL_ALL, 4, 0, nullptr, nullptr, 0, nullptr, "1");
    logger->setLogFormatter(std::make_shared<PrefixFormatter>("b:"));
    r.log(true, LOG_LEVEL_ALL, 4, 0, nullptr, nullptr, 0, nullptr, "2");
    gate.signal();
    r.flushLog();
    EXPECT_EQ(logger->snapshot(), (std::vector<std::string>{"a:1", "b:2"}));
}

TEST(LogMessageTest, FileNameAndOwnedCopies) {
    EXPECT_EQ(ExtractFileNameWithoutExtension("/a/b/File.m"), "File");
    EXPECT_EQ(ExtractFileNameWithoutExtension("File"), "File");
    EXPECT_EQ(ExtractFileNameWithoutExtension("/a.b/File"), "File");
    EXPECT_EQ(ExtractFileNameWithoutExtension(nullptr), "");

    std::string fn = "someFunction";
    auto first = std::make_unique<LogMessage>(makeLogText("x"), 31, 1, 0, "f.cpp", fn.c_str(), 3, nullptr,
                                              LogMessageCopyFunction);
    LogMessage copy(*first);
    EXPECT_NE(copy.function(), fn.c_str());
    EXPECT_EQ(copy.file(), first->file());  // borrowed stays borrowed
    first.reset();
    fn.assign("overwritten!");
    EXPECT_EQ(copy.methodName(), "someFunction");
}

TEST(LogRegistryTest, AClassWithoutBothLevelFunctionsIsNotRegistered) {
    LogRegistry r;
    r.registerClass(
        "Worker", [] { return 7; }, [](int32_t) {});
    r.registerClass(
        "ReadOnly", [] { return 5; }, nullptr);
    EXPECT_EQ(r.registeredClassNames(), std::vector<std::string>{"Worker"});
    EXPECT_EQ(r.logLevelForClassWithName("ReadOnly"), -1);
}

// A class's level functions are its own code: here the setter registers another class and the getter
// reads that class's level, each through the registry that is calling it.
TEST(LogRegistryTest, LevelFunctionsThatCallTheRegistryDoNotDeadlock) {
    struct State {
        LogRegistry r;
        std::atomic<int32_t> set{0};
        std::atomic<int32_t> read{0};
    };
    auto* s = new State;  // left behind, should a call hang
    s->r.registerClass(
        "Inner", [] { return 9; }, [](int32_t) {});
    s->r.registerClass(
        "Outer", [s] { return s->r.logLevelForClassWithName("Inner") + 1; },
        [s](int32_t v) {
            s->r.registerClass(
                "Later", [] { return 1; }, [](int32_t) {});
            s->set = v;
        });
    ASSERT_TRUE(finishesWithin(5, [s] {
        s->r.setLogLevelForClassWithName(5, "Outer");
        s->read = s->r.logLevelForClassWithName("Outer");
    })) << "a class's level function was called under the registry's lock";
    EXPECT_EQ(s->set.load(), 5);
    EXPECT_EQ(s->read.load(), 10);
    EXPECT_TRUE(s->r.isRegisteredClass("Later"));
    delete s;
}

}  // namespace
}  // namespace quill
