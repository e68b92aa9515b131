#include "logging/LogFileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "logging/LogDatePattern.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/SysLog.h"

namespace quill {
namespace {

// User-settable extended attributes live in the "user." namespace on Linux.
std::string onDiskName(const std::string& name) {
    return "user." + name;
}

LogFileInfo::Time timeOf(const struct statx_timestamp& t) {
    return LogFileInfo::Time(std::chrono::duration_cast<LogFileInfo::Time::duration>(
        std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

std::string dateText(LogFileInfo::Time t) {
    static const LogDatePattern pattern("yyyy-MM-dd HH:mm:ss '+0000'", LogDatePattern::Zone::UTC);
    return pattern.format(t);
}

}  // namespace

std::shared_ptr<LogFileInfo> LogFileInfo::logFileWithPath(std::string filePath) {
    return std::make_shared<LogFileInfo>(std::move(filePath));
}

LogFileInfo::LogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

const std::string& LogFileInfo::fileName() {
    if (!fileName_) fileName_ = std::filesystem::path(filePath_).filename().string();
    return *fileName_;
}

const LogFileInfo::Attributes& LogFileInfo::fileAttributes() {
    if (attributes_) return *attributes_;
    Attributes a;
    struct statx sx;
    if (statx(AT_FDCWD, filePath_.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
        a.exists = true;
        a.size = sx.stx_size;
        a.mode = sx.stx_mode;
        a.modificationDate = timeOf(sx.stx_mtime);
        // Not every file system records a birth time; there the modification time when the file was
        // first looked at stands in for it (cached, so the age of a file being written still grows).
        a.creationDate = (sx.stx_mask & STATX_BTIME) ? timeOf(sx.stx_btime) : a.modificationDate;
    }
    attributes_ = a;
    return *attributes_;
}

LogFileInfo::Time LogFileInfo::creationDate() {
    return fileAttributes().creationDate;
}

LogFileInfo::Time LogFileInfo::modificationDate() {
    return fileAttributes().modificationDate;
}

uint64_t LogFileInfo::fileSize() {
    if (fileSize_ == 0) fileSize_ = fileAttributes().size;
    return fileSize_;
}

double LogFileInfo::age() {
    return std::chrono::duration<double>(std::chrono::system_clock::now() - creationDate()).count();
}

bool LogFileInfo::isArchived() {
    return hasExtendedAttributeWithName(kArchivedAttributeName);
}

void LogFileInfo::setIsArchived(bool archived) {
    if (archived) {
        addExtendedAttributeWithName(kArchivedAttributeName);
    } else {
        removeExtendedAttributeWithName(kArchivedAttributeName);
    }
}

void LogFileInfo::setIsArchivedThroughDescriptor(int fd) {
    std::string name = onDiskName(kArchivedAttributeName);
    if (fsetxattr(fd, name.c_str(), "", 0, 0) != 0) {
        sysLog("LogFileInfo: setxattr(%s, %s): error = %i", filePath_.c_str(), name.c_str(), errno);
    }
}

void LogFileInfo::reset() {
    fileName_.reset();
    attributes_.reset();
    fileSize_ = 0;
}

void LogFileInfo::renameFile(const std::string& newName) {
    if (newName == fileName()) return;
    std::string newPath = (std::filesystem::path(filePath_).parent_path() / newName).string();
    if (::rename(filePath_.c_str(), newPath.c_str()) != 0) {
        sysLog("LogFileInfo: Error renaming file (%s): %s", fileName().c_str(),
               platform::foundation::posixError(errno, "Error in rename() function").description().c_str());
    }
    filePath_ = newPath;
    reset();
}

bool LogFileInfo::hasExtendedAttributeWithName(const std::string& name) const {
    return getxattr(filePath_.c_str(), onDiskName(name).c_str(), nullptr, 0) >= 0;
}

void LogFileInfo::addExtendedAttributeWithName(const std::string& name) {
    std::string attr = onDiskName(name);
    if (setxattr(filePath_.c_str(), attr.c_str(), "", 0, 0) != 0) {
        sysLog("LogFileInfo: setxattr(%s, %s): error = %i", filePath_.c_str(), attr.c_str(), errno);
    }
}

void LogFileInfo::removeExtendedAttributeWithName(const std::string& name) {
    std::string attr = onDiskName(name);
    if (removexattr(filePath_.c_str(), attr.c_str()) != 0 && errno != ENODATA) {
        sysLog("LogFileInfo: removexattr(%s, %s): error = %i", filePath_.c_str(), attr.c_str(), errno);
    }
}

int LogFileInfo::reverseCompareByCreationDate(LogFileInfo& other) {
    Time mine = creationDate(), theirs = other.creationDate();
    return mine < theirs ? 1 : mine > theirs ? -1 : 0;
}

int LogFileInfo::reverseCompareByModificationDate(LogFileInfo& other) {
    Time mine = modificationDate(), theirs = other.modificationDate();
    return mine < theirs ? 1 : mine > theirs ? -1 : 0;
}

std::string LogFileInfo::description() {
    const Attributes& a = fileAttributes();
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(a.mode & 07777));
    char age[32];
    std::snprintf(age, sizeof age, "%.3f", this->age());
    std::string attributes =
        a.exists ? "{ NSFileSize = " + std::to_string(a.size) + "; NSFilePosixPermissions = " + mode + "; }"
                 : "";
    return "{\n    filePath = \"" + filePath_ + "\";\n    fileName = \"" + fileName() +
           "\";\n    fileAttributes = " + attributes + ";\n    creationDate = \"" +
           (a.exists ? dateText(a.creationDate) : "") + "\";\n    modificationDate = \"" +
           (a.exists ? dateText(a.modificationDate) : "") +
           "\";\n    fileSize = " + std::to_string(fileSize()) + ";\n    age = " + age +
           ";\n    isArchived = " + (isArchived() ? "1" : "0") + ";\n}";
}

}  // namespace quill
