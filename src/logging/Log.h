#pragma once
// The logging hub: a registry of loggers, one serial queue ("app.logging") on which every message is
// fanned out to the loggers, the message record and the common base of all loggers.
//
// Severity flags are 1, 2, 4, 8 and 16 (most severe first); a level is a mask of them, 31 meaning all.
// A message reaches a logger when its flag, compared as a signed number, is not greater than the
// logger's level.

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LogAdmissionGate.h"
#include "platform/dispatch/Dispatch.h"

namespace quill {

inline constexpr int32_t LOG_FLAG_ERROR = 1;
inline constexpr int32_t LOG_FLAG_WARN = 2;
inline constexpr int32_t LOG_FLAG_INFO = 4;
inline constexpr int32_t LOG_FLAG_DEBUG = 8;
inline constexpr int32_t LOG_FLAG_VERBOSE = 16;
inline constexpr int32_t LOG_LEVEL_ALL = 31;
// The context value that colour rules use for "any context".
inline constexpr int32_t LOG_CONTEXT_ANY = 0x7fffffff;

// Shared immutable text: a formatter that hands back the very same object has not formatted it.
using LogText = std::shared_ptr<const std::string>;
inline LogText makeLogText(std::string s) {
    return std::make_shared<const std::string>(std::move(s));
}

// Option bits of a message: own copies of the file and the function names instead of borrowing them.
inline constexpr uint32_t LogMessageCopyFile = 1;
inline constexpr uint32_t LogMessageCopyFunction = 2;

// One log record, immutable after creation.
class LogMessage {
  public:
    LogMessage(LogText logMsg, int32_t level, int32_t flag, int32_t context, const char* file,
               const char* function, int32_t line, const void* tag, uint32_t options);
    LogMessage(const LogMessage& other);
    // A copy whose text is replaced, as formatter chains hand a message on.
    LogMessage(const LogMessage& other, LogText logMsg);
    LogMessage& operator=(const LogMessage&) = delete;

    int32_t logLevel() const { return logLevel_; }
    int32_t logFlag() const { return logFlag_; }
    int32_t logContext() const { return logContext_; }
    const LogText& logMsg() const { return logMsg_; }
    std::chrono::system_clock::time_point timestamp() const { return timestamp_; }
    const char* file() const { return file_; }
    const char* function() const { return function_; }
    int32_t lineNumber() const { return lineNumber_; }
    uint32_t machThreadID() const { return machThreadID_; }
    // The label of the dispatch queue current at creation (the main queue's on the main thread outside
    // any queue's work); empty when there was none.
    const std::string& queueLabel() const { return queueLabel_; }
    const std::string& threadName() const { return threadName_; }
    const void* tag() const { return tag_; }
    uint32_t options() const { return options_; }

    // The thread number in hexadecimal.
    std::string threadID() const;
    // The file name without folder and extension.
    std::string fileName() const;
    // The function name; empty when there is none.
    std::string methodName() const;

  private:
    int32_t logLevel_;
    int32_t logFlag_;
    int32_t logContext_;
    LogText logMsg_;
    std::chrono::system_clock::time_point timestamp_;
    const char* file_ = nullptr;
    const char* function_ = nullptr;
    std::unique_ptr<char[]> fileCopy_;
    std::unique_ptr<char[]> functionCopy_;
    int32_t lineNumber_;
    uint32_t machThreadID_;
    std::string queueLabel_;
    std::string threadName_;
    const void* tag_;
    uint32_t options_;
};

// The name of a file path without folder and extension: the bytes after the last "/" up to the last "."
// that follows it. Null path: empty.
std::string ExtractFileNameWithoutExtension(const char* path);

class Logger;

class LogFormatter {
  public:
    virtual ~LogFormatter() = default;
    // A null result makes the logger skip the message.
    virtual LogText formatLogMessage(const LogMessage& message) = 0;
    virtual void didAddToLogger(Logger&) {}
    virtual void willRemoveFromLogger(Logger&) {}
};

class Logger {
  public:
    virtual ~Logger() = default;
    virtual void logMessage(const LogMessage& message) = 0;
    virtual std::shared_ptr<LogFormatter> logFormatter() = 0;
    virtual void setLogFormatter(std::shared_ptr<LogFormatter> formatter) = 0;
    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}
    virtual bool implementsFlush() const { return false; }
    virtual void flush() {}
    // The queue the registry delivers on; null lets the registry make one named after loggerName().
    virtual platform::dispatch::QueuePtr loggerQueue() { return nullptr; }
    virtual std::string loggerName() const { return {}; }
};

class LogRegistry;

// Base of the loggers: its own serial queue labelled with its name, and settings (the formatter, and a
// subclass's own) that are read and written through the registry's queue first and the logger's queue
// second.
//
// Loggers are owned by shared pointers (make them with std::make_shared or a create() of the subclass):
// work queued by a setter holds the logger weakly and is dropped when the logger is gone by then.
//
// Threads: logMessage(), flush() and the registration hooks run on the logger's queue. Getters may be
// called anywhere but on the registry's queue during a fan-out; setters anywhere.
class AbstractLogger : public Logger, public std::enable_shared_from_this<AbstractLogger> {
  public:
    // formatter: the formatter the logger starts with (its didAddToLogger is not called).
    AbstractLogger(std::string name, LogRegistry& registry,
                   std::shared_ptr<LogFormatter> formatter = nullptr);
    void logMessage(const LogMessage&) override {}
    std::shared_ptr<LogFormatter> logFormatter() override;
    void setLogFormatter(std::shared_ptr<LogFormatter> formatter) override;
    platform::dispatch::QueuePtr loggerQueue() override { return queue_; }
    std::string loggerName() const override { return name_; }

    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue() const;

  protected:
    // Runs a read of the logger's settings. On the logger's queue: inline. On any registered logger's
    // queue (a fan-out may be waiting for it, so neither queue may be waited for): under the settings
    // lock. Otherwise through the registry's queue and then the logger's queue.
    void readSettings(const std::function<void()>& read);
    // Runs a change of the logger's settings on the logger's queue, under the settings lock: at once when
    // already there, otherwise asynchronously through the registry's queue. Dropped when the logger is
    // released before it runs.
    void changeSettings(std::function<void()> change);
    // Runs work on the logger's queue like changeSettings(), without the settings lock; then, when given,
    // runs then right after it there, also when the logger was released and work dropped.
    void onLoggerQueue(std::function<void()> work, std::function<void()> then = nullptr);
    // The current formatter, for use on the logger's own queue.
    const std::shared_ptr<LogFormatter>& formatterOnQueue() const { return formatter_; }
    // On the logger's own queue: the formatter's line for a message, or its text when there is no
    // formatter (the very same object then). Null: skip the message.
    LogText textOf(const LogMessage& message) const {
        return formatter_ ? formatter_->formatLogMessage(message) : message.logMsg();
    }
    LogRegistry& registry() const { return registry_; }
    // This logger as its own class, held weakly (for timers and watches of the logger's queue).
    template <class T>
    std::weak_ptr<T> weakSelf() {
        return std::static_pointer_cast<T>(weak_from_this().lock());
    }

  private:
    std::string name_;
    LogRegistry& registry_;
    platform::dispatch::QueuePtr queue_;
    // Held by changes while they write; taken by readers on other loggers' queues.
    std::mutex settingsMutex_;
    std::shared_ptr<LogFormatter> formatter_;
};

// The registry's state and operations. Log (below) is the process-wide instance; tests make their own.
class LogRegistry {
  public:
    LogRegistry();
    ~LogRegistry();
    LogRegistry(const LogRegistry&) = delete;
    LogRegistry& operator=(const LogRegistry&) = delete;

    const platform::dispatch::QueuePtr& loggingQueue() const { return queue_; }
    bool isOnLoggingQueue() const;
    // Runs work on the logging queue after everything queued before it, log messages included. Work
    // that must not be overtaken by later messages (settings, registrations) goes this way.
    void enqueue(platform::dispatch::Work work);

    void addLogger(std::shared_ptr<Logger> logger, int32_t level = LOG_LEVEL_ALL);
    void removeLogger(const std::shared_ptr<Logger>& logger);
    void removeAllLoggers();

    // Builds the text with printf and admits the message. A null format logs nothing.
    void log(bool async, int32_t level, int32_t flag, int32_t context, const char* file, const char* function,
             int32_t line, const void* tag, const char* format, ...) __attribute__((format(printf, 10, 11)));
    void logv(bool async, int32_t level, int32_t flag, int32_t context, const char* file,
              const char* function, int32_t line, const void* tag, const char* format, va_list args);
    // Admits one message: waits while 1000 messages are pending, then fans it out on the logging queue,
    // synchronously (returns after every logger handled it) or not.
    void queueLogMessage(std::shared_ptr<const LogMessage> message, bool async);
    // Returns after every logger that flushes has flushed.
    void flushLog();
    // The most messages between admission and the end of their fan-out.
    static constexpr long kMaxQueuedMessages = 1000;
    // A caller blocked by a full registry goes on once this many messages have been fanned out.
    static constexpr long kAdmissionBatch = 64;

    // Levels of classes that take part: a class registers a getter and a setter under its name. A class
    // that lacks either takes no part: it is not registered.
    void registerClass(const std::string& name, std::function<int32_t()> getLevel,
                       std::function<void(int32_t)> setLevel);
    std::vector<std::string> registeredClassNames() const;
    bool isRegisteredClass(const std::string& name) const;
    // -1 (all bits set) for a class that is not registered.
    int32_t logLevelForClassWithName(const std::string& name) const;
    void setLogLevelForClassWithName(int32_t level, const std::string& name);

    size_t loggerCount();
    // True when the calling code runs on one of the registered loggers' queues.
    bool isOnAnyLoggerQueue() const;

  private:
    struct Node {
        std::shared_ptr<Logger> logger;
        platform::dispatch::QueuePtr queue;
        int32_t level;
    };
    struct ClassLevel {
        std::string name;
        std::function<int32_t()> get;
        std::function<void(int32_t)> set;
    };
    using MessageBatch = std::vector<std::shared_ptr<const LogMessage>>;
    // Asynchronous messages join the open batch, which one item of the logging queue fans out in order;
    // the first message of a batch queues that item. Anything else queued closes the batch, so that later
    // messages follow it.
    void appendToBatch(std::shared_ptr<const LogMessage> message);
    void closeBatch(const std::shared_ptr<MessageBatch>& batch);
    void fanOut(const LogMessage& message);
    void flushOnQueue();

    platform::dispatch::QueuePtr queue_;
    platform::dispatch::Group group_;
    LogAdmissionGate pending_;
    unsigned numProcessors_;
    std::vector<Node> loggers_;  // touched only on queue_
    std::mutex batchMutex_;
    std::shared_ptr<MessageBatch> openBatch_;
    // Queues of registered loggers, readable from any thread (to spot calls made from them).
    mutable std::mutex queuesMutex_;
    std::vector<platform::dispatch::QueuePtr> loggerQueues_;
    mutable std::mutex classesMutex_;
    std::vector<ClassLevel> classes_;
};

// The process-wide registry. Every logger is flushed once when the process ends.
class Log {
  public:
    static LogRegistry& shared();
    static platform::dispatch::QueuePtr loggingQueue() { return shared().loggingQueue(); }
    static void addLogger(std::shared_ptr<Logger> logger, int32_t level = LOG_LEVEL_ALL) {
        shared().addLogger(std::move(logger), level);
    }
    static void removeLogger(const std::shared_ptr<Logger>& logger) { shared().removeLogger(logger); }
    static void removeAllLoggers() { shared().removeAllLoggers(); }
    static void flushLog() { shared().flushLog(); }
};

}  // namespace quill
