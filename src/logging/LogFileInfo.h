#pragma once
// One log file on disk: its path, its attributes read once and cached, its age, and the archived mark,
// an extended attribute in the "user." namespace ("user.logging.log.archived" on disk).
//
// Not thread-safe: a file logger uses its infos on its own queue, and a log file manager makes new ones
// for every listing.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quill {

class LogFileInfo {
  public:
    using Time = std::chrono::system_clock::time_point;

    // The archived mark, as named to the add/remove/has operations below.
    static constexpr const char* kArchivedAttributeName = "logging.log.archived";

    // The attributes of the file; all zero when it could not be read.
    struct Attributes {
        bool exists = false;
        uint64_t size = 0;
        Time creationDate{};
        Time modificationDate{};
        mode_t mode = 0;
    };

    static std::shared_ptr<LogFileInfo> logFileWithPath(std::string filePath);
    explicit LogFileInfo(std::string filePath);

    const std::string& filePath() const { return filePath_; }
    // The last path component.
    const std::string& fileName();
    const Attributes& fileAttributes();
    Time creationDate();
    Time modificationDate();
    // Cached once it is not 0.
    uint64_t fileSize();
    // Seconds since the creation date.
    double age();

    bool isArchived();
    // Sets or removes the mark by path; failures are printed and otherwise ignored.
    void setIsArchived(bool archived);
    // Sets the mark through an open descriptor of the file, which follows the file across renames.
    void setIsArchivedThroughDescriptor(int fd);

    // Forgets the cached name, attributes and dates.
    void reset();
    // Moves the file to newName in its folder (failure printed), takes the new path in any case and
    // resets the caches. The same name: nothing.
    void renameFile(const std::string& newName);

    // Extended attributes by name, without the "user." namespace prefix.
    bool hasExtendedAttributeWithName(const std::string& name) const;
    void addExtendedAttributeWithName(const std::string& name);
    void removeExtendedAttributeWithName(const std::string& name);

    bool operator==(const LogFileInfo& other) const { return filePath_ == other.filePath_; }
    // -1 when this file is newer than other, 1 when older, 0 when both dates are equal (newest first).
    int reverseCompareByCreationDate(LogFileInfo& other);
    int reverseCompareByModificationDate(LogFileInfo& other);

    // The fields as a dictionary text: filePath, fileName, fileAttributes, creationDate,
    // modificationDate, fileSize, age, isArchived.
    std::string description();

  private:
    std::string filePath_;
    std::optional<std::string> fileName_;
    std::optional<Attributes> attributes_;
    uint64_t fileSize_ = 0;
};

}  // namespace quill
