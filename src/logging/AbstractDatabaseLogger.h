#pragma once
// A batching logger for a storage subclass: every message goes to db_log(); stored entries are saved
// (db_save(), or db_saveAndDelete() with deleteOnEverySave) when saveThreshold of them are pending
// (default 500, 0: no save by count) or saveInterval seconds after the first of them (default 60, 0 or
// less: no save timer), on flush and on removal. Entries older than maxAge seconds (default 7 days, 0 or
// less: never) are deleted (db_delete()) every deleteInterval seconds (default 300, 0 or less: no delete
// timer). The timers exist only while the logger is registered (once or more): a setting changed before
// it is added or after it is removed is only stored, or acted on once, and starts no timer.
//
// Threads: the hooks, the timers, logMessage(), flush() and the registration hooks run on the logger's
// queue. Getters and setters go through the registry's queue and then the logger's queue (see
// AbstractLogger); a setter acts only on a change.

#include <cstddef>
#include <memory>

#include "logging/Log.h"

namespace quill {

class AbstractDatabaseLogger : public AbstractLogger {
  public:
    ~AbstractDatabaseLogger() override;

    size_t saveThreshold();
    void setSaveThreshold(size_t threshold);
    double saveInterval();
    void setSaveInterval(double seconds);
    double maxAge();
    void setMaxAge(double seconds);
    double deleteInterval();
    void setDeleteInterval(double seconds);
    bool deleteOnEverySave();
    void setDeleteOnEverySave(bool enabled);

    // Save or delete now: at once on the logger's queue, else queued onto it.
    void savePendingLogEntries();
    void deleteOldLogEntries();

    void logMessage(const LogMessage& message) override;
    bool implementsFlush() const override { return true; }
    void flush() override;
    void didAddLogger() override;
    void willRemoveLogger() override;

  protected:
    AbstractDatabaseLogger(std::string name, LogRegistry& registry);

    // Stores one entry; true when it was stored (only stored entries count towards a save).
    virtual bool db_log(const LogMessage&) { return false; }
    virtual void db_save() {}
    virtual void db_delete() {}
    virtual void db_saveAndDelete() {}

  private:
    // At once on the logger's queue, else queued onto it (directly, not through the registry's queue).
    void runOnLoggerQueue(void (AbstractDatabaseLogger::*step)());
    void performSaveAndSuspendSaveTimer();
    void performDelete();
    void createSuspendedSaveTimer();
    void updateAndResumeSaveTimer();
    void destroySaveTimer();
    void createAndStartDeleteTimer();
    void updateDeleteTimer();
    void destroyDeleteTimer();

    // Settings: written under the settings lock on the logger's queue.
    size_t saveThreshold_ = 500;
    double saveInterval_ = 60;
    double maxAge_ = 60 * 60 * 24 * 7;
    double deleteInterval_ = 60 * 5;
    bool deleteOnEverySave_ = false;
    // Logger's queue only. Times are steady-clock seconds; 0 means none.
    int registrations_ = 0;  // didAddLogger() less willRemoveLogger()
    size_t unsavedCount_ = 0;
    double unsavedTime_ = 0;
    double lastDeleteTime_ = 0;
    std::shared_ptr<platform::dispatch::TimerSource> saveTimer_;
    bool saveTimerSuspended_ = false;
    std::shared_ptr<platform::dispatch::TimerSource> deleteTimer_;
};

}  // namespace quill
