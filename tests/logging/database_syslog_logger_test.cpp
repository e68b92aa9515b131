#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "LogTestFolder.h"
#include "logging/ASLLogger.h"
#include "logging/AbstractDatabaseLogger.h"
#include "platform/foundation/SysLog.h"

namespace quill {
namespace {

using testing::waitUntil;

// A storage subclass that counts its hooks; it refuses entries whose text is "refused".
class CountingDatabaseLogger : public AbstractDatabaseLogger {
  public:
    explicit CountingDatabaseLogger(LogRegistry& r) : AbstractDatabaseLogger("test.database", r) {}
    bool db_log(const LogMessage& m) override { return *m.logMsg() != "refused"; }
    void db_save() override { saves++; }
    void db_delete() override { deletes++; }
    void db_saveAndDelete() override { saveAndDeletes++; }
    std::atomic<int> saves{0}, deletes{0}, saveAndDeletes{0};
};

struct DatabaseRig {
    DatabaseRig() { logger = std::make_shared<CountingDatabaseLogger>(registry); }
    void start() { registry.addLogger(logger); }
    void log(const char* text) {
        registry.log(false, LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, "%s", text);
    }
    LogRegistry registry;
    std::shared_ptr<CountingDatabaseLogger> logger;
};

TEST(DatabaseLoggerTest, SavesByCountOnFlushAndOnRemoval) {
    DatabaseRig rig;
    rig.logger->setSaveThreshold(3);
    rig.logger->setSaveInterval(0);
    rig.start();
    for (const char* text : {"one", "refused", "two"})
        rig.log(text);
    EXPECT_EQ(rig.logger->saves.load(), 0) << "a refused entry is not counted";
    rig.log("three");
    EXPECT_EQ(rig.logger->saves.load(), 1);
    rig.log("four");
    rig.registry.flushLog();
    EXPECT_EQ(rig.logger->saves.load(), 2);
    rig.registry.flushLog();
    EXPECT_EQ(rig.logger->saves.load(), 2) << "nothing pending, nothing saved";
    rig.log("five");
    rig.log("six");
    rig.logger->setSaveThreshold(2);  // already reached: saves at once
    EXPECT_EQ(rig.logger->saveThreshold(), 2u);
    EXPECT_EQ(rig.logger->saves.load(), 3);
    rig.logger->setDeleteOnEverySave(true);
    rig.log("seven");
    rig.registry.removeLogger(rig.logger);
    EXPECT_TRUE(waitUntil([&] { return rig.logger->saveAndDeletes.load() == 1; }));
    EXPECT_EQ(rig.logger->saves.load(), 3);
}

TEST(DatabaseLoggerTest, SavesByIntervalAfterTheFirstUnsavedEntry) {
    DatabaseRig rig;
    rig.logger->setSaveThreshold(0);
    rig.logger->setSaveInterval(0.05);
    rig.start();
    rig.log("one");
    rig.log("two");
    ASSERT_TRUE(waitUntil([&] { return rig.logger->saves.load() == 1; }));
    rig.log("three");
    ASSERT_TRUE(waitUntil([&] { return rig.logger->saves.load() == 2; }));
    rig.logger->setSaveInterval(0);  // no timer: only flush saves now
    rig.log("four");
    EXPECT_EQ(rig.logger->saveInterval(), 0);
    rig.registry.flushLog();
    EXPECT_EQ(rig.logger->saves.load(), 3);
}

TEST(DatabaseLoggerTest, DeletesByTimerAndWhenTheMaximumAgeShrinks) {
    DatabaseRig rig;
    rig.logger->setDeleteInterval(0.05);
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.logger->deletes.load() >= 2; })) << "the delete timer repeats";
    rig.logger->setDeleteInterval(0);
    EXPECT_EQ(rig.logger->deleteInterval(), 0);  // the timer is gone once this returns
    int before = rig.logger->deletes.load();
    struct Step {
        double maxAge;
        int deletesAfter;
    };
    // Lower: delete at once; higher: nothing; off: nothing; from off to on: delete at once.
    for (Step step : {Step{86400, 1}, Step{172800, 1}, Step{0, 1}, Step{10, 2}}) {
        rig.logger->setMaxAge(step.maxAge);
        EXPECT_EQ(rig.logger->maxAge(), step.maxAge);
        EXPECT_EQ(rig.logger->deletes.load() - before, step.deletesAfter) << "max age " << step.maxAge;
    }
}

TEST(DatabaseLoggerTest, TimersRunOnlyWhileRegistered) {
    DatabaseRig rig;
    rig.logger->setDeleteInterval(0.01);
    rig.start();
    rig.start();  // added twice: still registered after one removal
    rig.registry.removeLogger(rig.logger);
    (void)rig.logger->deleteInterval();  // returns once the removal has run
    int deletes = rig.logger->deletes.load();
    ASSERT_TRUE(waitUntil([&] { return rig.logger->deletes.load() >= deletes + 2; }));
    rig.registry.removeLogger(rig.logger);
    rig.logger->setMaxAge(86400);            // lower: one delete at once, and no timer
    EXPECT_EQ(rig.logger->maxAge(), 86400);  // the removal and the change have run
    deletes = rig.logger->deletes.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // ten periods of a timer, were there one
    rig.logger->loggerQueue()->sync([] {});
    EXPECT_EQ(rig.logger->deletes.load(), deletes);
}

TEST(SystemLogLoggerTest, FlagsMapToSyslogPriorities) {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> seen;
    auto previous = platform::foundation::setSyslogWriter([&](int priority, const std::string& text) {
        std::lock_guard lock(mutex);
        seen.emplace_back(priority, text);
    });
    LogRegistry registry;
    auto logger = ASLLogger::create(registry);
    registry.addLogger(logger);
    for (int32_t flag : {1, 2, 4, 8, 16, 0})
        registry.log(false, LOG_LEVEL_ALL, flag, 0, nullptr, nullptr, 0, nullptr, "flag %d", flag);
    registry.removeAllLoggers();
    platform::foundation::setSyslogWriter(std::move(previous));
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{LOG_ALERT, "flag 1"},
                                                              {LOG_CRIT, "flag 2"},
                                                              {LOG_ERR, "flag 4"},
                                                              {LOG_WARNING, "flag 8"},
                                                              {LOG_NOTICE, "flag 16"},
                                                              {LOG_NOTICE, "flag 0"}}));
}

}  // namespace
}  // namespace quill
