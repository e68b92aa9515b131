#pragma once
// Builds zip archives entry by entry with full control over what each entry claims to be: host system,
// Unix mode, date, storage method, and deliberately damaged data.

#include <cstdint>
#include <string>
#include <vector>

namespace quill::testing {

struct ZipFixtureEntry {
    std::string name;
    std::string content;
    uint32_t unixMode = 0100644;  // high 16 bits of the external attributes; 0 leaves them 0
    uint8_t host = 3;             // 3 is Unix
    uint32_t dosDate = 0x5A2E6C2Du;
    bool stored = false;  // stored entries keep their bytes as they are, which makes damaging them exact
};

// Writes the archive; false when minizip refuses.
bool writeZipFixture(const std::string& path, const std::vector<ZipFixtureEntry>& entries);

// Flips one byte of the first stored occurrence of `content` in the archive file (its data), so that
// the entry's checksum no longer matches.
bool damageZipData(const std::string& path, const std::string& content);

}  // namespace quill::testing
