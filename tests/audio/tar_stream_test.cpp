// The tar stream root's tar unpacks, read back by that tar (GNU tar's verbose listing): every header's
// checksum, name (split into ustar's prefix and name from 100 characters on), mode, size and owner, the
// two empty blocks that end it, and the names it refuses to write.
#include "audio/TarStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "audio/SoundflowerManager.h"
#include "support/FileText.h"
#include "support/ShellCommand.h"
#include "support/TempFolder.h"

namespace quill {
namespace {

// What tar lists of a stream: "mode size name" for each entry, its complaints (a bad checksum, a lone
// zero block) as they come, the owners it shows, and the block where it found the archive's end.
struct Listing {
    std::vector<std::string> lines;
    std::set<std::string> owners;
    long endBlock = -1;
    int status = -1;
};

Listing listed(const std::string& archive, bool numericOwner) {
    const auto [out, status] =
        testing::runShellCommand(std::string(kSoundflowerCopyProgram) + " --list --verbose --block-number " +
                                 (numericOwner ? "--numeric-owner " : "") + "--file=" + archive);
    Listing listing;
    listing.status = status;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string block, number, mode, owner, size, date, time, name;
        fields >> block >> number >> mode;
        if (block != "block") {
            listing.lines.push_back(line);
        } else if (mode == "**") {
            listing.endBlock = std::stol(number);
        } else {
            fields >> owner >> size >> date >> time >> name;
            listing.owners.insert(owner);
            listing.lines.push_back(mode + " " + size + " " + name);
        }
    }
    return listing;
}

TarEntry folder(const std::string& name) {
    return {name, true, {}};
}
TarEntry file(const std::string& name, size_t size) {
    return {name, false, Bytes(size, 'x')};
}

TEST(TarStream, RootsTarReadsBackWhatIsWrittenAndNothingUnsafeIsWritten) {
    const std::string n100(100, 'n'), p155(155, 'p');
    struct Case {
        const char* name;
        std::vector<TarEntry> entries;
        std::vector<std::string> listing;  // empty: refused
    };
    const std::vector<Case> cases = {
        {"folders and files",
         {folder("Extensions"), file("Extensions/a", 5), file("Extensions/big", 513),
          file("Extensions/z", 0)},
         {"drwxr-xr-x 0 Extensions/", "-rw-r--r-- 5 Extensions/a", "-rw-r--r-- 513 Extensions/big",
          "-rw-r--r-- 0 Extensions/z"}},
        {"names of 100 characters and more",
         {file(n100, 1), folder("d/" + n100),
          file("a/" + std::string(60, 'b') + "/" + std::string(60, 'c'), 2), file(p155 + "/" + n100, 3)},
         // The folder's name has no room for its '/': its type alone says it is one.
         {"-rw-r--r-- 1 " + n100, "drwxr-xr-x 0 d/" + n100,
          "-rw-r--r-- 2 a/" + std::string(60, 'b') + "/" + std::string(60, 'c'),
          "-rw-r--r-- 3 " + p155 + "/" + n100}},
        {"absolute", {file("/etc/passwd", 1)}, {}},
        {"climbing", {folder("a"), file("a/../b", 1)}, {}},
        {"only ..", {folder("..")}, {}},
        {"empty", {file("", 1)}, {}},
        {"empty part", {file("a//b", 1)}, {}},
        {"trailing slash", {folder("a/")}, {}},
        {"dot", {file("./a", 1)}, {}},
        {"one part of 101 characters", {file(n100 + "n", 1)}, {}},
        {"257 characters", {file(p155 + "/" + n100 + "n", 1)}, {}},
    };
    testing::TempFolder tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto stream = tarStream(c.entries);
        if (c.listing.empty()) {
            EXPECT_FALSE(stream);
            continue;
        }
        ASSERT_TRUE(stream);
        const std::string archive = tmp / "stream.tar";
        testing::writeFileText(archive, std::string(stream->begin(), stream->end()));
        const Listing numeric = listed(archive, true), named = listed(archive, false);
        EXPECT_EQ(numeric.status, 0);
        EXPECT_EQ(numeric.lines, c.listing);
        EXPECT_EQ(named.lines, c.listing);
        EXPECT_EQ(numeric.owners, std::set<std::string>{"0/0"});
        EXPECT_EQ(named.owners, std::set<std::string>{"root/root"});
        // Two empty blocks end it, and nothing follows them.
        EXPECT_EQ(stream->size(), size_t(numeric.endBlock + 2) * 512);
        EXPECT_TRUE(std::all_of(stream->end() - 1024, stream->end(), [](uint8_t b) { return b == 0; }));
    }
}

}  // namespace
}  // namespace quill
