#pragma once
// What the fuzz targets share: a quiet log, reading the input, writing it to a file, and counts of the
// files and sockets a run left open.

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/foundation/SysLog.h"

namespace quill::fuzz {

// The code under test logs as it goes; the log is not under test, and writing it would only slow the run.
inline void silenceLog() {
    static const bool once = [] {
        platform::foundation::setLogSink([](const std::string&) {});
        return true;
    }();
    (void)once;
}

// Writes the bytes to a new file at path. (Truncating the old file instead would make the file system
// flush it to disk on close, which costs more than the run.)
inline void writeNewFile(const std::filesystem::path& path, const uint8_t* data, size_t size) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) std::abort();
}

// How many of the process's open descriptors refer to something below folder: a run that leaves a file
// of its own open shows here. (Counting all descriptors would also count the pipes the sanitizers open
// for a moment on other threads.)
inline int openFilesUnder(const std::filesystem::path& folder) {
    const std::string prefix = folder.string() + "/";
    int count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code linkError;
        const auto target = std::filesystem::read_symlink(it->path(), linkError).string();
        count += !linkError && target.compare(0, prefix.size(), prefix) == 0;
    }
    if (ec) std::abort();
    return count;
}

// The input read front to back; past its end every byte reads as 0.
struct InputReader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    bool more() const { return pos < size; }
    size_t left() const { return size - pos; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    // A little-endian number of the given byte count.
    uint32_t little(int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= uint32_t(byte()) << (8 * i);
        return v;
    }
    // The next n bytes, fewer at the end.
    std::string bytes(size_t n) {
        n = std::min(n, left());
        std::string out(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        return out;
    }
};

// Calls f again while it fails with EINTR: libFuzzer's time-out check interrupts blocking calls with a
// signal every few seconds.
template <class F>
auto retryInterrupted(F&& f) -> decltype(f()) {
    for (;;) {
        const auto r = f();
        if (r >= 0 || errno != EINTR) return r;
    }
}

// How many sockets the process has open.
inline int openSockets() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) std::abort();
    while (dirent* entry = readdir(dir)) {
        char path[300], target[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        const ssize_t n = readlink(path, target, sizeof target - 1);
        count += n > 7 && std::strncmp(target, "socket:", 7) == 0;
    }
    closedir(dir);
    return count;
}

// Waits (at most five seconds) until the process has as many sockets open as before a run: sockets close
// their descriptors on their own queues once destroyed. False when some stay open.
inline bool socketsBackTo(int baseline) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (openSockets() != baseline) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace quill::fuzz
