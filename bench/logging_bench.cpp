// Lines per second through a file logger (asynchronous log calls, 100-byte lines) beside plain write(2)
// of the same formatted lines to a file, in the same run; and the parts of the logger's path apart.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "logging/FileLogger.h"
#include "logging/LogFileFormatterDefault.h"
#include "logging/LogFileManagerDefault.h"

namespace {

using namespace quill;
using Clock = std::chrono::steady_clock;

constexpr int kBatch = 10000;
// 23 bytes of time stamp, two blanks, 74 of text and the line feed: 100 bytes a line.
const std::string kText(74, 't');

// A fresh folder under the build tree, removed at the end.
struct BenchFolder {
    BenchFolder() {
        auto base = std::filesystem::path(QUILL_BINARY_DIR) / "bench-folders";
        std::filesystem::create_directories(base);
        std::string pattern = (base / "logs-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~BenchFolder() { std::filesystem::remove_all(path); }
    std::string path;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Both paths in one run, batch by batch in turn: the logger (asynchronous log calls, then a flush that
// returns once every line is written) and write(2) of the same lines, formatted beforehand. The argument
// is the logger's maximum file size (0: no rolling); the plain file is emptied between batches.
void BM_FileLoggerBesidePlainWrite(benchmark::State& state) {
    BenchFolder folder;
    LogRegistry registry;
    auto manager =
        LogFileManagerDefault::create({folder.path + "/logs", "bench", registry.loggingQueue(), {}});
    auto logger = FileLogger::create(registry, manager);
    logger->setMaximumFileSize(uint64_t(state.range(0)));
    registry.addLogger(logger);

    LogFileFormatterDefault formatter;
    std::vector<std::string> lines;
    for (int i = 0; i < kBatch; ++i) {
        LogMessage m(makeLogText(kText), LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, 0);
        lines.push_back(*formatter.formatLogMessage(m) + "\n");
    }
    if (lines[0].size() != 100) state.SkipWithError("lines are not 100 bytes");
    std::string plainPath = folder.path + "/plain.log";
    int fd = ::open(plainPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    double loggerSeconds = 0, writeSeconds = 0;
    int64_t batches = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i)
            registry.log(true, LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, "%s",
                         kText.c_str());
        registry.flushLog();
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
    registry.removeAllLoggers();
    registry.flushLog();

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
    BenchFolder folder;
    LogRegistry registry;
    auto manager =
        LogFileManagerDefault::create({folder.path + "/logs", "bench", registry.loggingQueue(), {}});
    auto logger = FileLogger::create(registry, manager);
    logger->setMaximumFileSize(0);
    registry.addLogger(logger);
    for (auto _ : state)
        registry.log(false, LOG_LEVEL_ALL, LOG_FLAG_INFO, 0, nullptr, nullptr, 0, nullptr, "%s",
                     kText.c_str());
    registry.removeAllLoggers();
    registry.flushLog();
}
BENCHMARK(BM_SynchronousLogCall)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
