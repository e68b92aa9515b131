#include "logging/AbstractDatabaseLogger.h"

#include <algorithm>

#include "platform/foundation/Clock.h"

namespace quill {

using platform::dispatch::TimerSource;
using platform::foundation::steadySeconds;

AbstractDatabaseLogger::AbstractDatabaseLogger(std::string name, LogRegistry& registry)
    : AbstractLogger(std::move(name), registry) {}

AbstractDatabaseLogger::~AbstractDatabaseLogger() {
    destroySaveTimer();
    destroyDeleteTimer();
}

// --- Settings ------------------------------------------------------------------------------------------

size_t AbstractDatabaseLogger::saveThreshold() {
    size_t out = 0;
    readSettings([&] { out = saveThreshold_; });
    return out;
}

void AbstractDatabaseLogger::setSaveThreshold(size_t threshold) {
    changeSettings([this, threshold] {
        if (threshold == saveThreshold_) return;
        saveThreshold_ = threshold;
        if (saveThreshold_ != 0 && unsavedCount_ >= saveThreshold_) performSaveAndSuspendSaveTimer();
    });
}

double AbstractDatabaseLogger::saveInterval() {
    double out = 0;
    readSettings([&] { out = saveInterval_; });
    return out;
}

void AbstractDatabaseLogger::setSaveInterval(double seconds) {
    changeSettings([this, seconds] {
        if (seconds == saveInterval_) return;
        saveInterval_ = seconds;
        if (saveInterval_ > 0) {
            createSuspendedSaveTimer();
            updateAndResumeSaveTimer();
        } else {
            destroySaveTimer();
        }
    });
}

double AbstractDatabaseLogger::maxAge() {
    double out = 0;
    readSettings([&] { out = maxAge_; });
    return out;
}

void AbstractDatabaseLogger::setMaxAge(double seconds) {
    changeSettings([this, seconds] {
        if (seconds == maxAge_) return;
        double old = maxAge_;
        maxAge_ = seconds;
        if (old > 0 && seconds <= 0) {
            destroyDeleteTimer();
        } else if ((old > 0 && seconds < old) || (old <= 0 && seconds > 0)) {
            // Stricter than before: what is now too old goes at once.
            performDelete();
            if (deleteTimer_) {
                updateDeleteTimer();
            } else {
                createAndStartDeleteTimer();
            }
        }
    });
}

double AbstractDatabaseLogger::deleteInterval() {
    double out = 0;
    readSettings([&] { out = deleteInterval_; });
    return out;
}

void AbstractDatabaseLogger::setDeleteInterval(double seconds) {
    changeSettings([this, seconds] {
        if (seconds == deleteInterval_) return;
        deleteInterval_ = seconds;
        if (deleteInterval_ > 0) {
            if (deleteTimer_) {
                updateDeleteTimer();
            } else {
                createAndStartDeleteTimer();
            }
        } else {
            destroyDeleteTimer();
        }
    });
}

bool AbstractDatabaseLogger::deleteOnEverySave() {
    bool out = false;
    readSettings([&] { out = deleteOnEverySave_; });
    return out;
}

void AbstractDatabaseLogger::setDeleteOnEverySave(bool enabled) {
    changeSettings([this, enabled] { deleteOnEverySave_ = enabled; });
}

// --- Saving and deleting -------------------------------------------------------------------------------

void AbstractDatabaseLogger::savePendingLogEntries() {
    runOnLoggerQueue(&AbstractDatabaseLogger::performSaveAndSuspendSaveTimer);
}

void AbstractDatabaseLogger::deleteOldLogEntries() {
    runOnLoggerQueue(&AbstractDatabaseLogger::performDelete);
}

void AbstractDatabaseLogger::runOnLoggerQueue(void (AbstractDatabaseLogger::*step)()) {
    auto work = [weak = weakSelf<AbstractDatabaseLogger>(), step] {
        if (auto self = weak.lock()) (self.get()->*step)();
    };
    if (isOnInternalLoggerQueue()) {
        work();
    } else {
        loggerQueue()->async(work);
    }
}

void AbstractDatabaseLogger::logMessage(const LogMessage& message) {
    if (!db_log(message)) return;
    ++unsavedCount_;
    if (saveThreshold_ != 0 && unsavedCount_ >= saveThreshold_) {
        performSaveAndSuspendSaveTimer();
    } else if (unsavedCount_ == 1) {
        unsavedTime_ = steadySeconds();
        updateAndResumeSaveTimer();
    }
}

void AbstractDatabaseLogger::flush() {
    performSaveAndSuspendSaveTimer();
}

void AbstractDatabaseLogger::didAddLogger() {
    ++registrations_;
    createSuspendedSaveTimer();
    createAndStartDeleteTimer();
}

void AbstractDatabaseLogger::willRemoveLogger() {
    performSaveAndSuspendSaveTimer();
    // Added twice, it still receives messages through the other registration.
    if (--registrations_ > 0) return;
    destroySaveTimer();
    destroyDeleteTimer();
}

void AbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
    if (unsavedCount_ > 0) {
        if (deleteOnEverySave_) {
            db_saveAndDelete();
        } else {
            db_save();
        }
    }
    unsavedCount_ = 0;
    unsavedTime_ = 0;
    if (saveTimer_ && !saveTimerSuspended_) {
        saveTimer_->suspend();
        saveTimerSuspended_ = true;
    }
}

void AbstractDatabaseLogger::performDelete() {
    if (maxAge_ <= 0) return;
    db_delete();
    lastDeleteTime_ = steadySeconds();
}

// --- Timers --------------------------------------------------------------------------------------------

void AbstractDatabaseLogger::createSuspendedSaveTimer() {
    if (registrations_ <= 0 || saveTimer_ || saveInterval_ <= 0) return;
    saveTimer_ = TimerSource::create(loggerQueue());  // a new source starts suspended
    saveTimerSuspended_ = true;
    saveTimer_->setEventHandler([weak = weakSelf<AbstractDatabaseLogger>()] {
        if (auto self = weak.lock()) self->performSaveAndSuspendSaveTimer();
    });
}

void AbstractDatabaseLogger::updateAndResumeSaveTimer() {
    if (!saveTimer_ || saveInterval_ <= 0 || unsavedTime_ == 0) return;
    double start = std::max(0.0, unsavedTime_ + saveInterval_ - steadySeconds());
    saveTimer_->setTimer(start, saveInterval_, 1e-9);
    if (saveTimerSuspended_) {
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
}

void AbstractDatabaseLogger::destroySaveTimer() {
    if (!saveTimer_) return;
    saveTimer_->cancel();
    if (saveTimerSuspended_) saveTimer_->resume();
    saveTimerSuspended_ = false;
    saveTimer_.reset();
}

void AbstractDatabaseLogger::createAndStartDeleteTimer() {
    if (registrations_ <= 0 || deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
    deleteTimer_ = TimerSource::create(loggerQueue());
    deleteTimer_->setEventHandler([weak = weakSelf<AbstractDatabaseLogger>()] {
        if (auto self = weak.lock()) self->performDelete();
    });
    updateDeleteTimer();
    deleteTimer_->resume();
}

void AbstractDatabaseLogger::updateDeleteTimer() {
    if (!deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
    // Counted from the last delete, or from now while none has happened.
    double start = lastDeleteTime_ > 0 ? std::max(0.0, lastDeleteTime_ + deleteInterval_ - steadySeconds())
                                       : deleteInterval_;
    deleteTimer_->setTimer(start, deleteInterval_, 1e-9);
}

void AbstractDatabaseLogger::destroyDeleteTimer() {
    if (!deleteTimer_) return;
    deleteTimer_->cancel();
    deleteTimer_.reset();
}

}  // namespace quill
