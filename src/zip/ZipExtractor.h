#pragma once
// Unpacks zip archives into a folder (folders, symbolic links, dates and permissions kept) and writes
// simple zip archives. The container format is minizip's.
//
// Unpacking is careful with what the archive says: entry names that are absolute or climb out of the
// destination are skipped, nothing below the destination is reached through a symbolic link (not even
// one the archive itself just made), set-user-id and set-group-id bits are never restored, and an entry
// whose data cannot be read or fails its checksum ends the unpacking with a failure, its partial file
// removed.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

namespace quill {

inline constexpr const char* kZipExtractorErrorDomain = "ZipExtractorErrorDomain";

// The archive's global information.
struct ZipInfo {
    uint64_t numberOfEntries = 0;
    uint64_t commentSize = 0;
};

// One entry's information as the archive's central directory holds it.
struct ZipFileInfo {
    uint32_t versionMadeBy = 0;  // high byte: host system (3 is Unix)
    uint32_t compressionMethod = 0;
    uint32_t dosDate = 0;  // MS-DOS date and time
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint32_t nameLength = 0;
    uint32_t externalAttributes = 0;  // high 16 bits: Unix mode when the host is Unix
};

// Optional progress messages; every method has an empty default body.
class ZipExtractorDelegate {
  public:
    virtual ~ZipExtractorDelegate() = default;
    virtual void zipArchiveWillUnzipArchiveAtPath(const std::string& /*path*/, const ZipInfo& /*zipInfo*/) {}
    virtual void zipArchiveProgressEvent(uint64_t /*loaded*/, uint64_t /*total*/) {}
    virtual void zipArchiveWillUnzipFileAtIndex(uint64_t /*fileIndex*/, uint64_t /*totalFiles*/,
                                                const std::string& /*archivePath*/,
                                                const ZipFileInfo& /*fileInfo*/) {}
    virtual void zipArchiveDidUnzipFileAtIndex(uint64_t /*fileIndex*/, uint64_t /*totalFiles*/,
                                               const std::string& /*archivePath*/,
                                               const ZipFileInfo& /*fileInfo*/) {}
    virtual void zipArchiveDidUnzipArchiveAtPath(const std::string& /*path*/, const ZipInfo& /*zipInfo*/,
                                                 const std::string& /*unzippedPath*/) {}
};

class ZipExtractor {
  public:
    using Date = std::chrono::system_clock::time_point;

    // Unpacking. All forms end in the last one; the short forms overwrite, use no password and report no
    // error object.
    static bool unzipFileAtPath(const std::string& path, const std::string& destination);
    static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                                ZipExtractorDelegate* delegate);
    static bool unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                const std::string& password, Error* error);
    static bool unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                const std::string& password, Error* error, ZipExtractorDelegate* delegate);

    // Writing.
    static bool createZipFileAtPath(const std::string& path, const std::vector<std::string>& filesAtPaths);
    static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                           const std::string& directoryPath);

    explicit ZipExtractor(const std::string& path);  // initWithPath
    ~ZipExtractor();
    ZipExtractor(const ZipExtractor&) = delete;
    ZipExtractor& operator=(const ZipExtractor&) = delete;

    bool open();
    bool writeFile(const std::string& path);
    // `fileName` empty: the path's last component names the entry.
    bool writeFileAtPath(const std::string& path, const std::string& fileName);
    bool writeData(const Bytes& data, const std::string& filename);
    bool close();

    // The local date of an MS-DOS date and time value.
    static Date _dateWithMSDOSFormat(uint32_t msdosDateTime);

  private:
    bool writeEntry(const std::string& name, const struct tm& local, uint32_t externalAttributes,
                    const std::function<bool(std::vector<char>&, size_t&)>& nextChunk);

    std::string _path;
    std::string _filename;
    void* _zip = nullptr;
};

}  // namespace quill
