#pragma once
// Runs a shell command for a test and returns its standard output and error together, and its exit
// status as pclose() gives it (0 on success, -1 when it could not be started).

#include <stdio.h>

#include <array>
#include <string>
#include <utility>

namespace quill::testing {

inline std::pair<std::string, int> runShellCommand(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return {"", -1};
    std::array<char, 512> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    return {out, ::pclose(pipe)};
}

}  // namespace quill::testing
