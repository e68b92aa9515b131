// The zip extractor on archives the fuzzer makes: the bytes go to a private file and are unpacked twice
// into a fresh destination, the second time over what the first left (links included), with the
// overwrite flag and a password as the input's last byte says. Nothing may crash or stay open, nothing
// may be written outside the destination, and no file may keep a set-user-id or set-group-id bit.
//
// The destination sits three folders deep in a private sandbox beside a folder that must stay empty, so
// that a name or link that climbs out leaves something where it is seen.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "FuzzSupport.h"
#include "support/TempFolder.h"
#include "zip/ZipExtractor.h"

namespace fs = std::filesystem;

namespace {

struct Sandbox {
    quill::testing::TempFolder root;
    fs::path archive = root.path() / "archive.zip";
    fs::path outside = root.path() / "outside";
    fs::path out = root.path() / "out";
    fs::path destination = out / "a" / "b" / "dest";

    Sandbox() { fs::create_directory(outside); }
};

// The names in a folder, without following links.
std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return names;
}

void expectOnly(const fs::path& folder, std::set<std::string> names) {
    if (namesIn(folder) != names) std::abort();
}

void checkSandbox(const Sandbox& box) {
    expectOnly(box.root.path(), {"archive.zip", "outside", "out"});
    expectOnly(box.outside, {});
    expectOnly(box.out, {"a"});
    expectOnly(box.out / "a", {"b"});
    expectOnly(box.out / "a" / "b", {"dest"});
    std::error_code ec;
    for (fs::recursive_directory_iterator it(box.destination, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) std::abort();
        if (st.st_mode & (S_ISUID | S_ISGID)) std::abort();
    }
    if (ec) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quill::fuzz::silenceLog();
    static Sandbox box;
    quill::fuzz::writeNewFile(box.archive, data, size);
    std::error_code ec;
    fs::create_directories(box.destination, ec);

    const uint8_t mode = size ? data[size - 1] : 0;
    quill::ZipExtractor::unzipFileAtPath(box.archive, box.destination);
    quill::Error error;
    quill::ZipExtractor::unzipFileAtPath(box.archive, box.destination, !(mode & 1),
                                         (mode & 2) ? "secret" : "", &error);
    checkSandbox(box);
    if (quill::fuzz::openFilesUnder(box.root.path()) != 0) std::abort();

    fs::remove_all(box.out, ec);
    if (ec || fs::exists(box.out)) std::abort();
    return 0;
}
