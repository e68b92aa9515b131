#pragma once
// What the fuzz targets share: a quiet log, writing the input to a file, and a count of the files
// a run left open.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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

}  // namespace quill::fuzz
