#pragma once
// Runs a shell command for a test and returns what it wrote and its exit status as pclose() gives it
// (0 on success, -1 when it could not be started).

#include <stdio.h>

#include <array>
#include <string>
#include <utility>

namespace quill::testing {

// What a shell command writes to its standard output, and its exit status as pclose() gives it (-1 when
// it could not be started). Redirections in the command decide where its standard error goes.
inline std::pair<std::string, int> commandOutput(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {"", -1};
    std::array<char, 512> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    return {out, ::pclose(pipe)};
}

// Its standard output and error together.
inline std::pair<std::string, int> runShellCommand(const std::string& command) {
    return commandOutput(command + " 2>&1");
}

}  // namespace quill::testing
