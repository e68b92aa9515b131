#include "logging/Log.h"
#include "platform/foundation/ThreadName.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace quill {

using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;

namespace {

// Marks the registry's queue: the key's own address is both key and value.
const char GlobalLoggingQueueIdentityKey = 0;

// The kernel's number of the calling thread, asked once per thread.
uint32_t currentThreadNumber() {
    thread_local const uint32_t number = static_cast<uint32_t>(syscall(SYS_gettid));
    return number;
}

// Whether the calling thread is the main thread, asked once per thread (the main thread is settled when
// the main loop first runs, before anything logs).
bool onMainThread() {
    thread_local const bool isMain = platform::dispatch::isMainThread();
    return isMain;
}

std::unique_ptr<char[]> duplicate(const char* s) {
    if (s == nullptr) return nullptr;
    size_t n = std::strlen(s);
    std::unique_ptr<char[]> out(new (std::nothrow) char[n + 1]);
    if (out) std::memcpy(out.get(), s, n + 1);
    return out;
}

}  // namespace

// --- LogMessage ---------------------------------------------------------------------------------------

LogMessage::LogMessage(LogText logMsg, int32_t level, int32_t flag, int32_t context, const char* file,
                       const char* function, int32_t line, const void* tag, uint32_t options)
    : logLevel_(level),
      logFlag_(flag),
      logContext_(context),
      logMsg_(std::move(logMsg)),
      timestamp_(std::chrono::system_clock::now()),
      lineNumber_(line),
      machThreadID_(currentThreadNumber()),
      tag_(tag),
      options_(options) {
    if (options & LogMessageCopyFile) {
        fileCopy_ = duplicate(file);
        file_ = fileCopy_.get();
    } else {
        file_ = file;
    }
    if (options & LogMessageCopyFunction) {
        functionCopy_ = duplicate(function);
        function_ = functionCopy_.get();
    } else {
        function_ = function;
    }
    if (auto q = Queue::current()) {
        queueLabel_ = q->label();
    } else if (onMainThread()) {
        // Code on the main thread outside any queue's work counts as the main queue's.
        queueLabel_ = Queue::main()->label();
    }
    threadName_ = platform::foundation::currentThreadName();
}

LogMessage::LogMessage(const LogMessage& o)
    : logLevel_(o.logLevel_),
      logFlag_(o.logFlag_),
      logContext_(o.logContext_),
      logMsg_(o.logMsg_),
      timestamp_(o.timestamp_),
      lineNumber_(o.lineNumber_),
      machThreadID_(o.machThreadID_),
      queueLabel_(o.queueLabel_),
      threadName_(o.threadName_),
      tag_(o.tag_),
      options_(o.options_) {
    if (options_ & LogMessageCopyFile) {
        fileCopy_ = duplicate(o.file_);
        file_ = fileCopy_.get();
    } else {
        file_ = o.file_;
    }
    if (options_ & LogMessageCopyFunction) {
        functionCopy_ = duplicate(o.function_);
        function_ = functionCopy_.get();
    } else {
        function_ = o.function_;
    }
}

LogMessage::LogMessage(const LogMessage& other, LogText logMsg) : LogMessage(other) {
    logMsg_ = std::move(logMsg);
}

std::string LogMessage::threadID() const {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%x", machThreadID_);
    return buf;
}

std::string LogMessage::fileName() const {
    return ExtractFileNameWithoutExtension(file_);
}

std::string LogMessage::methodName() const {
    return function_ ? std::string(function_) : std::string();
}

std::string ExtractFileNameWithoutExtension(const char* path) {
    if (path == nullptr) return {};
    const char* start = path;
    const char* dot = nullptr;
    for (const char* p = path; *p; ++p) {
        if (*p == '/') {
            start = p + 1;
            dot = nullptr;
        } else if (*p == '.') {
            dot = p;
        }
    }
    const char* end = dot ? dot : start + std::strlen(start);
    return std::string(start, end);
}

// --- AbstractLogger -----------------------------------------------------------------------------------

AbstractLogger::AbstractLogger(std::string name, LogRegistry& registry,
                               std::shared_ptr<LogFormatter> formatter)
    : name_(std::move(name)),
      registry_(registry),
      queue_(Queue::serial(name_)),
      formatter_(std::move(formatter)) {
    queue_->setSpecific(this, this);
}

bool AbstractLogger::isOnGlobalLoggingQueue() const {
    return registry_.isOnLoggingQueue();
}

bool AbstractLogger::isOnInternalLoggerQueue() const {
    return Queue::getSpecific(this) == this;
}

void AbstractLogger::readSettings(const std::function<void()>& read) {
    if (isOnInternalLoggerQueue()) {
        read();
    } else if (isOnGlobalLoggingQueue()) {
        queue_->sync(read);
    } else if (registry_.isOnAnyLoggerQueue()) {
        // During a fan-out the registry's queue waits for this caller's queue, and this logger's queue may
        // be running a delivery that waits on the caller: read under the lock the changes write under.
        std::lock_guard lock(settingsMutex_);
        read();
    } else {
        registry_.loggingQueue()->sync([&] { queue_->sync(read); });
    }
}

void AbstractLogger::onLoggerQueue(std::function<void()> work, std::function<void()> then) {
    // Holds the logger weakly: a logger released while its work waits is not touched by it.
    auto guarded = [weak = weak_from_this(), work = std::move(work), then = std::move(then)] {
        if (auto self = weak.lock()) work();
        if (then) then();
    };
    if (isOnInternalLoggerQueue()) {
        guarded();
        return;
    }
    auto q = queue_;
    registry_.enqueue([q, guarded = std::move(guarded)] { q->async(guarded); });
}

void AbstractLogger::changeSettings(std::function<void()> change) {
    onLoggerQueue([this, change = std::move(change)] {
        std::lock_guard lock(settingsMutex_);
        change();
    });
}

std::shared_ptr<LogFormatter> AbstractLogger::logFormatter() {
    std::shared_ptr<LogFormatter> out;
    readSettings([&] { out = formatter_; });
    return out;
}

void AbstractLogger::setLogFormatter(std::shared_ptr<LogFormatter> formatter) {
    // The formatters' hooks run outside the settings lock: they may read other loggers' settings.
    onLoggerQueue([this, formatter = std::move(formatter)] {
        if (formatter == formatter_) return;
        if (formatter_) formatter_->willRemoveFromLogger(*this);
        {
            std::lock_guard lock(settingsMutex_);
            formatter_ = formatter;
        }
        if (formatter_) formatter_->didAddToLogger(*this);
    });
}

// --- LogRegistry --------------------------------------------------------------------------------------

LogRegistry::LogRegistry()
    : queue_(Queue::serial("app.logging")),
      pending_(kMaxQueuedMessages, kAdmissionBatch),
      numProcessors_(std::max(1u, std::thread::hardware_concurrency())) {
    queue_->setSpecific(&GlobalLoggingQueueIdentityKey, const_cast<char*>(&GlobalLoggingQueueIdentityKey));
    loggers_.reserve(4);
}

LogRegistry::~LogRegistry() {
    // Work already queued refers to this registry: let it finish.
    if (!isOnLoggingQueue()) queue_->sync([] {});
}

bool LogRegistry::isOnLoggingQueue() const {
    // Every registry's queue carries the key; the queue itself tells this registry's apart.
    return Queue::getSpecific(&GlobalLoggingQueueIdentityKey) == &GlobalLoggingQueueIdentityKey &&
           Queue::current() == queue_;
}

bool LogRegistry::isOnAnyLoggerQueue() const {
    auto current = Queue::current();
    if (!current) return false;
    std::lock_guard lock(queuesMutex_);
    for (const auto& q : loggerQueues_) {
        if (q == current) return true;
    }
    return false;
}

void LogRegistry::addLogger(std::shared_ptr<Logger> logger, int32_t level) {
    if (!logger) return;
    enqueue([this, logger, level] {
        QueuePtr q = logger->loggerQueue();
        if (!q) q = Queue::serial(logger->loggerName());
        loggers_.push_back(Node{logger, q, level});
        {
            std::lock_guard lock(queuesMutex_);
            loggerQueues_.push_back(q);
        }
        q->async([logger] { logger->didAddLogger(); });
    });
}

void LogRegistry::removeLogger(const std::shared_ptr<Logger>& logger) {
    if (!logger) return;
    enqueue([this, logger] {
        for (auto it = loggers_.begin(); it != loggers_.end(); ++it) {
            if (it->logger == logger) {
                it->queue->async([logger] { logger->willRemoveLogger(); });
                {
                    std::lock_guard lock(queuesMutex_);
                    auto qit = std::find(loggerQueues_.begin(), loggerQueues_.end(), it->queue);
                    if (qit != loggerQueues_.end()) loggerQueues_.erase(qit);
                }
                loggers_.erase(it);
                return;
            }
        }
    });
}

void LogRegistry::removeAllLoggers() {
    enqueue([this] {
        for (auto& node : loggers_) {
            auto logger = node.logger;
            node.queue->async([logger] { logger->willRemoveLogger(); });
        }
        loggers_.clear();
        std::lock_guard lock(queuesMutex_);
        loggerQueues_.clear();
    });
}

size_t LogRegistry::loggerCount() {
    if (isOnLoggingQueue()) return loggers_.size();
    if (isOnAnyLoggerQueue()) {
        // The registry's queue may be waiting for this logger's queue: count without waiting for it.
        std::lock_guard lock(queuesMutex_);
        return loggerQueues_.size();
    }
    size_t n = 0;
    queue_->sync([&] { n = loggers_.size(); });
    return n;
}

void LogRegistry::log(bool async, int32_t level, int32_t flag, int32_t context, const char* file,
                      const char* function, int32_t line, const void* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logv(async, level, flag, context, file, function, line, tag, format, args);
    va_end(args);
}

void LogRegistry::logv(bool async, int32_t level, int32_t flag, int32_t context, const char* file,
                       const char* function, int32_t line, const void* tag, const char* format,
                       va_list args) {
    if (format == nullptr) return;
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    auto message = std::make_shared<const LogMessage>(makeLogText(std::move(text)), level, flag, context,
                                                      file, function, line, tag, 0);
    queueLogMessage(std::move(message), async);
}

void LogRegistry::queueLogMessage(std::shared_ptr<const LogMessage> message, bool async) {
    if (isOnLoggingQueue()) {
        // A logger or formatter logging from inside a fan-out: the queue is ours already, and waiting
        // for a free slot or for the queue would wait on ourselves.
        fanOut(*message);
        return;
    }
    if (isOnAnyLoggerQueue()) {
        // A logger logging from its own queue: a fan-out waits for the loggers' queues, so neither the
        // slot nor the fan-out may be waited for here.
        enqueue([this, message] { fanOut(*message); });
        return;
    }
    pending_.enter();
    if (async) {
        appendToBatch(std::move(message));
        return;
    }
    queue_->sync([&] {
        fanOut(*message);
        pending_.leave();
    });
}

void LogRegistry::enqueue(platform::dispatch::Work work) {
    closeBatch(nullptr);
    queue_->async(std::move(work));
}

void LogRegistry::appendToBatch(std::shared_ptr<const LogMessage> message) {
    std::shared_ptr<MessageBatch> batch;
    {
        std::lock_guard lock(batchMutex_);
        if (openBatch_) {
            openBatch_->push_back(std::move(message));
            return;
        }
        batch = openBatch_ = std::make_shared<MessageBatch>();
        batch->push_back(std::move(message));
    }
    queue_->async([this, batch] {
        closeBatch(batch);  // from here on the batch is this item's alone
        for (auto& m : *batch) {
            fanOut(*m);
            m.reset();
            pending_.leave();
        }
    });
}

void LogRegistry::closeBatch(const std::shared_ptr<MessageBatch>& batch) {
    std::lock_guard lock(batchMutex_);
    if (!batch || openBatch_ == batch) openBatch_.reset();
}

void LogRegistry::fanOut(const LogMessage& message) {
    auto receives = [&](const Node& node) { return message.logFlag() <= node.level; };
    const Node* last = nullptr;
    for (const auto& node : loggers_) {
        if (receives(node)) last = &node;
    }
    if (last == nullptr) return;
    // With two processors or more, every logger but the last runs on its own queue in parallel; the last
    // runs on its queue through a sync, which borrows this thread when that queue is idle, so that one
    // logger costs no hand-off at all. With one processor the loggers run in turn.
    bool grouped = false;
    for (const auto& node : loggers_) {
        if (&node == last || !receives(node)) continue;
        const auto& logger = node.logger;
        if (numProcessors_ < 2) {
            node.queue->sync([&] { logger->logMessage(message); });
        } else {
            group_.async(node.queue, [logger, &message] { logger->logMessage(message); });
            grouped = true;
        }
    }
    last->queue->sync([&] { last->logger->logMessage(message); });
    if (grouped) group_.wait();
}

void LogRegistry::flushOnQueue() {
    for (const auto& node : loggers_) {
        if (!node.logger->implementsFlush()) continue;
        auto logger = node.logger;
        group_.async(node.queue, [logger] { logger->flush(); });
    }
    group_.wait();
}

void LogRegistry::flushLog() {
    if (isOnLoggingQueue()) {
        flushOnQueue();
    } else if (isOnAnyLoggerQueue()) {
        // Waiting here would wait on the logger's own queue: flush once it is free.
        enqueue([this] { flushOnQueue(); });
    } else {
        queue_->sync([this] { flushOnQueue(); });
    }
}

void LogRegistry::registerClass(const std::string& name, std::function<int32_t()> getLevel,
                                std::function<void(int32_t)> setLevel) {
    if (!getLevel || !setLevel) return;
    std::lock_guard lock(classesMutex_);
    classes_.push_back(ClassLevel{name, std::move(getLevel), std::move(setLevel)});
}

std::vector<std::string> LogRegistry::registeredClassNames() const {
    std::lock_guard lock(classesMutex_);
    std::vector<std::string> out;
    for (const auto& c : classes_)
        out.push_back(c.name);
    return out;
}

bool LogRegistry::isRegisteredClass(const std::string& name) const {
    std::lock_guard lock(classesMutex_);
    for (const auto& c : classes_) {
        if (c.name == name) return true;
    }
    return false;
}

// A class's getter and setter are its own code and may call back into the registry (to register another
// class, or to read or set another class's level): each is copied under the lock and called outside it.
int32_t LogRegistry::logLevelForClassWithName(const std::string& name) const {
    std::function<int32_t()> get;
    {
        std::lock_guard lock(classesMutex_);
        for (const auto& c : classes_) {
            if (c.name == name) {
                get = c.get;
                break;
            }
        }
    }
    return get ? get() : -1;
}

void LogRegistry::setLogLevelForClassWithName(int32_t level, const std::string& name) {
    std::function<void(int32_t)> set;
    {
        std::lock_guard lock(classesMutex_);
        for (const auto& c : classes_) {
            if (c.name == name) {
                set = c.set;
                break;
            }
        }
    }
    if (set) set(level);
}

LogRegistry& Log::shared() {
    static LogRegistry* registry = [] {
        // Never destroyed: loggers may log until the very end of the process.
        auto* r = new LogRegistry();
        std::atexit([] { Log::shared().flushLog(); });
        return r;
    }();
    return *registry;
}

}  // namespace quill
