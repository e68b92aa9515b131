#pragma once
// Test helpers of the logging tests: a fresh folder under the build tree (extended attributes need a real
// file system, which the temporary folder may not be), and a bounded wait.

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TempFolder.h"

namespace quill::testing {

class LogTestFolder : public TempFolder {
  public:
    LogTestFolder() : TempFolder(std::filesystem::path(QUILL_BINARY_DIR) / "test-folders") {}

    // Empty when the file system keeps user extended attributes; else why not.
    std::string xattrRefusal() const {
        std::string probe = *this / ".xattr-probe";
        std::ofstream(probe).put('x');
        std::string why;
        if (::setxattr(probe.c_str(), "user.quill.probe", "", 0, 0) != 0) why = std::strerror(errno);
        std::filesystem::remove(probe);
        return why;
    }
    // The names in the folder, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(path()))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

#define SKIP_WITHOUT_USER_XATTRS(folder)                         \
    if (std::string why = (folder).xattrRefusal(); !why.empty()) \
    GTEST_SKIP() << "the file system of the build tree refuses user extended attributes: " << why

// Polls until done() or the time is up; true when done.
template <class F>
bool waitUntil(F done, double seconds = 5) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace quill::testing
