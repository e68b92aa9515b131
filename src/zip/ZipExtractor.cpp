#include "zip/ZipExtractor.h"

#include <fcntl.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "platform/foundation/SysLog.h"
#include "platform/foundation/Text.h"

namespace fs = std::filesystem;

namespace quill {

namespace {

constexpr size_t kReadBufferSize = 4096;
constexpr size_t kWriteBufferSize = 16384;

Error zipError(long code, const char* text) {
    return Error(kZipExtractorErrorDomain, code, {{platform::foundation::kLocalizedDescriptionKey, text}});
}

// A file descriptor closed when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = o.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

// The entry name split into the components to create below the destination, or nothing when the name
// is unsafe: empty, not UTF-8, holding a NUL, absolute, or with a ".." component.
std::optional<std::vector<std::string>> safeComponents(const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos || !platform::foundation::isValidUtf8(name))
        return std::nullopt;
    if (name.front() == '/') return std::nullopt;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = end + 1;
    }
    if (parts.empty()) return std::nullopt;
    return parts;
}

// Opens the folder reached through the first `count` components below `root`, creating missing folders
// when asked, and never following a symbolic link on the way.
Fd openFolderChain(int root, const std::vector<std::string>& parts, size_t count, bool create) {
    Fd current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; i < count && current.valid(); ++i) {
        if (create && ::mkdirat(current.get(), parts[i].c_str(), 0777) != 0 && errno != EEXIST) return Fd();
        current =
            Fd(::openat(current.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return current;
}

timespec toTimespec(ZipExtractor::Date d) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d.time_since_epoch()).count();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    if (ts.tv_nsec < 0) {
        ts.tv_nsec += 1000000000;
        ts.tv_sec -= 1;
    }
    return ts;
}

void setModificationDate(int dirFd, const char* name, ZipExtractor::Date d) {
    timespec times[2] = {{0, UTIME_OMIT}, toTimespec(d)};
    ::utimensat(dirFd, name, times, AT_SYMLINK_NOFOLLOW);
}

ZipFileInfo fileInfoOf(const unz_file_info& raw) {
    ZipFileInfo info;
    info.versionMadeBy = static_cast<uint32_t>(raw.version);
    info.compressionMethod = static_cast<uint32_t>(raw.compression_method);
    info.dosDate = static_cast<uint32_t>(raw.dosDate);
    info.crc = static_cast<uint32_t>(raw.crc);
    info.compressedSize = raw.compressed_size;
    info.uncompressedSize = raw.uncompressed_size;
    info.nameLength = static_cast<uint32_t>(raw.size_filename);
    info.externalAttributes = static_cast<uint32_t>(raw.external_fa);
    return info;
}

struct PendingDate {
    std::vector<std::string> parts;
    ZipExtractor::Date modDate;
};

// The result of unpacking one entry's data.
enum class EntryResult { Done, Failed };

}  // namespace

bool ZipExtractor::unzipFileAtPath(const std::string& path, const std::string& destination) {
    return unzipFileAtPath(path, destination, nullptr);
}

bool ZipExtractor::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   ZipExtractorDelegate* delegate) {
    return unzipFileAtPath(path, destination, true, {}, nullptr, delegate);
}

bool ZipExtractor::unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                   const std::string& password, Error* error) {
    return unzipFileAtPath(path, destination, overwrite, password, error, nullptr);
}

bool ZipExtractor::unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                   const std::string& password, Error* error,
                                   ZipExtractorDelegate* delegate) {
    unzFile zip = unzOpen(path.c_str());
    if (zip == nullptr) {
        if (error) *error = zipError(-1, "failed to open zip file");
        return false;
    }

    std::error_code ec;
    uint64_t archiveSize = fs::file_size(path, ec);
    if (ec) archiveSize = 0;
    unz_global_info rawGlobal{};
    unzGetGlobalInfo(zip, &rawGlobal);
    ZipInfo globalInfo{rawGlobal.number_entry, rawGlobal.size_comment};

    if (unzGoToFirstFile(zip) != UNZ_OK) {
        unzClose(zip);
        if (error) *error = zipError(-2, "failed to open first file in zip file");
        return false;
    }

    if (delegate) {
        delegate->zipArchiveWillUnzipArchiveAtPath(path, globalInfo);
        delegate->zipArchiveProgressEvent(0, archiveSize);
    }

    fs::create_directories(destination, ec);
    Fd root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool success = root.valid();
    if (!success) sysLog("ZipExtractor: cannot open destination %s", destination.c_str());

    std::vector<PendingDate> pending;
    std::vector<char> buffer(kReadBufferSize);
    uint64_t position = 0;
    uint64_t index = 0;
    int ret = UNZ_OK;

    while (success && ret == UNZ_OK) {
        int opened =
            password.empty() ? unzOpenCurrentFile(zip) : unzOpenCurrentFilePassword(zip, password.c_str());
        if (opened != UNZ_OK) {
            success = false;
            break;
        }
        unz_file_info raw{};
        if (unzGetCurrentFileInfo(zip, &raw, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
            unzCloseCurrentFile(zip);
            success = false;
            break;
        }
        ZipFileInfo info = fileInfoOf(raw);
        if (delegate) delegate->zipArchiveWillUnzipFileAtIndex(index, globalInfo.numberOfEntries, path, info);
        position += info.compressedSize;
        if (delegate) delegate->zipArchiveProgressEvent(position, archiveSize);

        std::string name(info.nameLength + 1, '\0');
        unzGetCurrentFileInfo(zip, &raw, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr,
                              0);
        name.resize(info.nameLength);

        const bool isLink =
            (info.versionMadeBy >> 8) == 3 && (info.externalAttributes & 0xF0000000u) == 0xA0000000u;
        const bool isFolder = !name.empty() && (name.back() == '/' || name.back() == '\\');
        for (char& c : name) {
            if (c == '\\') c = '/';
        }
        const Date modDate = _dateWithMSDOSFormat(info.dosDate);

        auto parts = safeComponents(name);
        bool skip = !parts.has_value();
        if (skip) sysLog("ZipExtractor: skipping unsafe entry name \"%s\"", name.c_str());

        Fd parent;
        if (!skip) {
            parent = openFolderChain(root.get(), *parts, isFolder ? parts->size() : parts->size() - 1, true);
            if (!parent.valid()) {
                sysLog(
                    "ZipExtractor: skipping \"%s\": its folder cannot be made without leaving the "
                    "destination",
                    name.c_str());
                skip = true;
            }
        }
        if (!skip && !isLink) pending.push_back({*parts, modDate});

        if (!skip && !isFolder) {
            const char* leaf = parts->back().c_str();
            struct stat st {};
            const bool exists = ::fstatat(parent.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
            if (exists && !overwrite) {
                // Keep what is there; the entry still counted for progress.
                unzCloseCurrentFile(zip);
                ret = unzGoToNextFile(zip);
                continue;
            }
            // Anything but a folder in the way is replaced, so that neither a link nor a file the
            // archive made earlier is written through.
            if (exists && !S_ISDIR(st.st_mode)) ::unlinkat(parent.get(), leaf, 0);

            if (isLink) {
                std::string target;
                int n = 0;
                while ((n = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()))) >
                       0) {
                    target.append(buffer.data(), static_cast<size_t>(n));
                }
                if (n < 0 || unzCloseCurrentFile(zip) != UNZ_OK) {
                    sysLog("ZipExtractor: cannot read link entry \"%s\"", name.c_str());
                    success = false;
                    break;
                }
                ::symlinkat(target.c_str(), parent.get(), leaf);
            } else {
                Fd out(
                    ::openat(parent.get(), leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
                if (out.valid()) {
                    bool ok = true;
                    int n = 0;
                    while ((n = unzReadCurrentFile(zip, buffer.data(),
                                                   static_cast<unsigned>(buffer.size()))) > 0) {
                        const char* p = buffer.data();
                        size_t left = static_cast<size_t>(n);
                        while (left > 0 && ok) {
                            ssize_t w = ::write(out.get(), p, left);
                            if (w < 0 && errno == EINTR) continue;
                            if (w <= 0)
                                ok = false;
                            else {
                                p += w;
                                left -= static_cast<size_t>(w);
                            }
                        }
                        if (!ok) break;
                    }
                    if (n < 0) ok = false;
                    if (unzCloseCurrentFile(zip) != UNZ_OK) ok = false;
                    if (!ok) {
                        sysLog("ZipExtractor: entry \"%s\" is corrupt or cannot be written", name.c_str());
                        out.reset();
                        ::unlinkat(parent.get(), leaf, 0);
                        success = false;
                        break;
                    }
                    if (info.dosDate != 0) {
                        timespec times[2] = {{0, UTIME_OMIT}, toTimespec(modDate)};
                        ::futimens(out.get(), times);
                    }
                    mode_t mode = static_cast<mode_t>(info.externalAttributes >> 16);
                    if (mode != 0)
                        ::fchmod(out.get(), mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID));
                }
            }
        }
        // A closed entry reports an error on a second close; that is harmless.
        unzCloseCurrentFile(zip);
        ret = unzGoToNextFile(zip);
        if (delegate) delegate->zipArchiveDidUnzipFileAtIndex(index, globalInfo.numberOfEntries, path, info);
        ++index;
    }
    unzClose(zip);

    // Writing files into folders changed the folders' dates: put the archive's dates back.
    for (const PendingDate& p : pending) {
        if (!root.valid()) break;
        Fd parent = openFolderChain(root.get(), p.parts, p.parts.size() - 1, false);
        if (parent.valid()) setModificationDate(parent.get(), p.parts.back().c_str(), p.modDate);
    }

    if (success && delegate) delegate->zipArchiveDidUnzipArchiveAtPath(path, globalInfo, destination);
    if (delegate) delegate->zipArchiveProgressEvent(archiveSize, archiveSize);
    return success;
}

ZipExtractor::Date ZipExtractor::_dateWithMSDOSFormat(uint32_t v) {
    struct tm t {};
    t.tm_year = static_cast<int>((v >> 25) + 1980) - 1900;
    t.tm_mon = static_cast<int>((v >> 21) & 15) - 1;
    t.tm_mday = static_cast<int>((v >> 16) & 31);
    t.tm_hour = static_cast<int>((v >> 11) & 31);
    t.tm_min = static_cast<int>((v >> 5) & 63);
    t.tm_sec = static_cast<int>(v & 31) * 2;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(mktime(&t));
}

// Writing.

ZipExtractor::ZipExtractor(const std::string& path) : _path(path) {}

ZipExtractor::~ZipExtractor() {
    if (_zip) zipClose(static_cast<zipFile>(_zip), nullptr);
}

bool ZipExtractor::open() {
    if (_zip) return true;
    _zip = zipOpen(_path.c_str(), APPEND_STATUS_CREATE);
    return _zip != nullptr;
}

bool ZipExtractor::writeEntry(const std::string& name, const struct tm& local, uint32_t externalAttributes,
                              const std::function<bool(std::vector<char>&, size_t&)>& nextChunk) {
    if (!_zip) return false;
    zip_fileinfo zi{};
    zi.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
    zi.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
    zi.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
    zi.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
    zi.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
    zi.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
    zi.external_fa = externalAttributes;
    auto* zip = static_cast<zipFile>(_zip);
    if (zipOpenNewFileInZip(zip, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                            Z_DEFAULT_COMPRESSION) != ZIP_OK) {
        return false;
    }
    std::vector<char> chunk(kWriteBufferSize);
    size_t n = 0;
    bool ok = true;
    while (ok && nextChunk(chunk, n) && n > 0) {
        ok = zipWriteInFileInZip(zip, chunk.data(), static_cast<unsigned>(n)) == ZIP_OK;
    }
    return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

bool ZipExtractor::writeFileAtPath(const std::string& path, const std::string& fileName) {
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return false;
    struct stat st {};
    struct tm local {};
    uint32_t attributes = 0;
    if (::fstat(fileno(in), &st) == 0) {
        localtime_r(&st.st_mtime, &local);
        attributes = ((st.st_mode & 07777) + 0x8000u) << 16;
    } else {
        time_t now = time(nullptr);
        localtime_r(&now, &local);
    }
    std::string name = fileName.empty() ? fs::path(path).filename().string() : fileName;
    bool ok = writeEntry(name, local, attributes, [in](std::vector<char>& buf, size_t& n) {
        n = std::fread(buf.data(), 1, buf.size(), in);
        return !std::ferror(in);
    });
    std::fclose(in);
    return ok;
}

bool ZipExtractor::writeFile(const std::string& path) {
    return writeFileAtPath(path, {});
}

bool ZipExtractor::writeData(const Bytes& data, const std::string& filename) {
    if (data.empty() || !_zip) return false;
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    size_t offset = 0;
    return writeEntry(filename, local, 0, [&](std::vector<char>& buf, size_t& n) {
        n = std::min(buf.size(), data.size() - offset);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), n, buf.begin());
        offset += n;
        return true;
    });
}

bool ZipExtractor::close() {
    if (_zip) zipClose(static_cast<zipFile>(_zip), nullptr);
    _zip = nullptr;
    return true;
}

bool ZipExtractor::createZipFileAtPath(const std::string& path,
                                       const std::vector<std::string>& filesAtPaths) {
    ZipExtractor zip(path);
    if (!zip.open()) return false;
    for (const std::string& file : filesAtPaths)
        zip.writeFile(file);
    return zip.close();
}

bool ZipExtractor::createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                              const std::string& directoryPath) {
    ZipExtractor zip(path);
    if (!zip.open()) return false;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(directoryPath, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec)) continue;
        zip.writeFileAtPath(it->path().string(), fs::relative(it->path(), directoryPath, ec).string());
    }
    return zip.close();
}

}  // namespace quill
