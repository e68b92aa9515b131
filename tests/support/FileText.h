#pragma once
// Whole-file reads and writes for tests.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace quill::testing {

// Writes content to the file, creating missing parent folders.
inline void writeFileText(const std::filesystem::path& p, const std::string& content) {
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

// The file's bytes, empty when it cannot be read.
inline std::string readFileText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace quill::testing
