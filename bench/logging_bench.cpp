// Lines per second through a file logger (asynchronous log calls, 100-byte lines) beside plain write(2)
// of the same formatted lines to a file, in the same run; and the parts of the logger's path apart.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "logging/FileLogger.h"
#include "logging/LogFileFormatterDefault.h"
#include "logging/LogFileManagerDefault.h"
#include "support/TempFolder.h"

namespace {

using namespace quill;
using Clock = std::chrono::steady_clock;

constexpr int kBatch = 10000;
// 23 bytes of time stamp, two blanks, 74 of text and the line feed: 100 bytes a line.
const std::string kText(74, 't');

// A file logger of its own registry, writing into a fresh folder under the build tree.
struct LoggerRig {
    explicit LoggerRig(uint64_t maximumFileSize) {
        auto manager = LogFileManagerDefault::create({folder / "logs", "bench", registry.loggingQueue(), {}});
        logger = FileLogger::create(registry, manager);
        logger->setMaximumFileSize(maximumFileSize);
        registry.addLogger(logger);
    }
    ~LoggerRig() {
        registry.removeAllLoggers();
        registry.flushLog();
    }
    void log(bool async) {
        registry.log(async, LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, "%s",
                     kText.c_str());
    }
    quill::testing::TempFolder folder{std::filesystem::path(QUILL_BINARY_DIR) / "bench-folders"};
    LogRegistry registry;
    std::shared_ptr<FileLogger> logger;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Both paths in one run, batch by batch in turn: the logger (asynchronous log calls, then a flush that
// returns once every line is written) and write(2) of the same lines, formatted beforehand. The argument
// is the logger's maximum file size (0: no rolling); the plain file is emptied between batches.
void BM_FileLoggerBesidePlainWrite(benchmark::State& state) {
    LoggerRig rig(uint64_t(state.range(0)));
    LogFileFormatterDefault formatter;
    std::vector<std::string> lines;
    for (int i = 0; i < kBatch; ++i) {
        LogMessage m(makeLogText(kText), LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, 0);
        lines.push_back(*formatter.formatLogMessage(m) + "\n");
    }
    if (lines[0].size() != 100) state.SkipWithError("lines are not 100 bytes");
    std::string plainPath = rig.folder / "plain.log";
    int fd = ::open(plainPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    double loggerSeconds = 0, writeSeconds = 0;
    int64_t batches = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i)
            rig.log(true);
        rig.registry.flushLog();
        loggerSeconds += secondsSince(start);

        start = Clock::now();
        for (const auto& line : lines) {
            if (::write(fd, line.data(), line.size()) != ssize_t(line.size()))
                state.SkipWithError("write failed");
        }
        writeSeconds += secondsSince(start);
        if (::ftruncate(fd, 0) != 0) state.SkipWithError("ftruncate failed");
        ++batches;
    }
    ::close(fd);

    double count = double(batches) * kBatch;
    state.counters["logger_lines_per_s"] = count / loggerSeconds;
    state.counters["write_lines_per_s"] = count / writeSeconds;
    state.counters["ratio"] = writeSeconds / loggerSeconds;
    state.SetItemsProcessed(int64_t(count));
}
BENCHMARK(BM_FileLoggerBesidePlainWrite)
    ->Arg(0)
    ->Arg(1024 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The caller's share: building the text and the message record.
void BM_MessageCreation(benchmark::State& state) {
    for (auto _ : state) {
        auto m = std::make_shared<const LogMessage>(makeLogText(kText), LOG_LEVEL_ALL, LOG_FLAG_INFO, 0,
                                                    nullptr, nullptr, 0, nullptr, 0);
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK(BM_MessageCreation);

// The logger's share before the write: the default line format.
void BM_FormatLine(benchmark::State& state) {
    LogFileFormatterDefault formatter;
    LogMessage m(makeLogText(kText), LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(formatter.formatLogMessage(m));
}
BENCHMARK(BM_FormatLine);

// One message through the registry and the logger, synchronously: the whole path without the overlap of
// caller and logger that asynchronous calls get.
void BM_SynchronousLogCall(benchmark::State& state) {
    LoggerRig rig(0);
    for (auto _ : state)
        rig.log(false);
}
BENCHMARK(BM_SynchronousLogCall)->UseRealTime();

// The registry's share: asynchronous log calls to a logger that writes nothing, until all have arrived.
void BM_AsynchronousHandOffOnly(benchmark::State& state) {
    LogRegistry registry;
    registry.addLogger(std::make_shared<AbstractLogger>("bench.null", registry));
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            registry.log(true, LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, "%s",
                         kText.c_str());
        registry.flushLog();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_AsynchronousHandOffOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
