#include "platform/foundation/Paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace quill::platform::foundation {
namespace {

namespace fs = std::filesystem;

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// Runs f on the password database entry of the real user; false when there is none.
template <typename F>
bool withPasswordEntry(F&& f) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
    for (;;) {
        struct passwd pw;
        struct passwd* result = nullptr;
        int rc = getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || result == nullptr) return false;
        f(*result);
        return true;
    }
}

void setError(Error* error, Error e) {
    if (error) *error = std::move(e);
}

}  // namespace

std::string homeFolder() {
    std::string home = envValue("HOME");
    if (!home.empty()) return home;
    withPasswordEntry([&](const passwd& pw) {
        if (pw.pw_dir) home = pw.pw_dir;
    });
    return home.empty() ? "/" : home;
}

std::string settingsFolder() {
    return (fs::path(homeFolder()) / "Library" / "Quillaran").string();
}

bool createFolders(const std::string& folder, unsigned mode, Error* error) {
    std::string partial;
    for (const auto& piece : fs::path(folder)) {
        partial = (fs::path(partial) / piece).string();
        if (piece == "/" || piece.empty()) continue;
        if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            setError(error, posixError(errno, "Error in mkdir() function"));
            return false;
        }
    }
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) {
        setError(error, posixError(errno, "Error in stat() function"));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setError(error, posixError(ENOTDIR, "Error in mkdir() function"));
        return false;
    }
    return true;
}

bool ensureSettingsFolder(Error* error) {
    return createFolders(settingsFolder(), 0755, error);
}

std::optional<std::string> privateTempFolder(Error* error) {
    std::string base = envValue("TMPDIR");
    if (base.empty() || base.front() != '/') base = "/tmp";
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    const uid_t uid = geteuid();
    std::string path = (fs::path(base) / ("quillaran-" + std::to_string(uid))).string();

    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        setError(error, posixError(errno, "Error in mkdir() function"));
        return std::nullopt;
    }
    // Judge the entry through a descriptor that cannot follow a link, so that nothing can be swapped in
    // between the check and the permission fix.
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int err = errno == ELOOP ? EPERM : errno;  // a symbolic link was planted there
        setError(error, posixError(err, "Error in open() function"));
        return std::nullopt;
    }
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    int err = ok ? 0 : errno;
    if (ok && (!S_ISDIR(st.st_mode) || st.st_uid != uid)) {
        ok = false;
        err = EPERM;
    }
    if (ok && (st.st_mode & 077) != 0 && ::fchmod(fd, st.st_mode & 0700) != 0) {
        ok = false;
        err = errno;
    }
    ::close(fd);
    if (!ok) {
        setError(error, posixError(err, "Unsafe private temporary folder " + path));
        return std::nullopt;
    }
    return path;
}

std::string userLoginName() {
    std::string name;
    withPasswordEntry([&](const passwd& pw) {
        if (pw.pw_name) name = pw.pw_name;
    });
    if (name.empty()) name = envValue("USER");
    return name;
}

std::string userFullName() {
    std::string full;
    withPasswordEntry([&](const passwd& pw) {
        if (pw.pw_gecos) {
            full = pw.pw_gecos;
            full = full.substr(0, full.find(','));
        }
    });
    return full.empty() ? userLoginName() : full;
}

std::string executableFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return exe.parent_path().string();
}

std::string installedResourcesFolder() {
#ifdef QUILL_INSTALLED_RESOURCES
    if (std::string exe = executableFolder(); !exe.empty())
        return (fs::path(exe) / QUILL_INSTALLED_RESOURCES).lexically_normal().string();
#endif
    return {};
}

std::string installedToolsFolder() {
#ifdef QUILL_INSTALLED_TOOLS
    if (std::string exe = executableFolder(); !exe.empty())
        return (fs::path(exe) / QUILL_INSTALLED_TOOLS).lexically_normal().string();
#endif
    return {};
}

std::optional<std::string> resourcePath(const std::string& name, const std::string& type) {
    if (name.empty() || name.find('/') != std::string::npos || type.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const std::string file = type.empty() ? name : name + "." + type;
    std::vector<fs::path> folders;
    if (std::string override = envValue("QUILLARAN_RESOURCES"); !override.empty())
        folders.emplace_back(override);
    if (std::string exe = executableFolder(); !exe.empty()) folders.push_back(fs::path(exe) / "resources");
    std::error_code ec;
    const std::string installed = installedResourcesFolder();
    // An installed copy reads nothing from the tree it was built in, which may be gone or changed since.
    if (!installed.empty() && fs::is_directory(installed, ec)) {
        folders.emplace_back(installed);
    } else {
#ifdef QUILL_BINARY_DIR
        folders.push_back(fs::path(QUILL_BINARY_DIR) / "resources");
#endif
#ifdef QUILL_SOURCE_DIR
        folders.push_back(fs::path(QUILL_SOURCE_DIR) / "resources");
#endif
    }
    for (const auto& folder : folders) {
        fs::path candidate = folder / file;
        if (fs::is_regular_file(candidate, ec)) return candidate.string();
    }
    return std::nullopt;
}

std::string helperToolsFolder() {
    std::error_code ec;
    if (std::string installed = installedToolsFolder(); !installed.empty() && fs::is_directory(installed, ec))
        return installed;
    return executableFolder();
}

}  // namespace quill::platform::foundation
