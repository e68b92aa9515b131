#include "support/ZipFixture.h"

#include <minizip/zip.h>

#include <fstream>
#include <iterator>

namespace quill::testing {

bool writeZipFixture(const std::string& path, const std::vector<ZipFixtureEntry>& entries) {
    zipFile zf = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
    if (!zf) return false;
    bool ok = true;
    for (const ZipFixtureEntry& e : entries) {
        zip_fileinfo zi{};
        zi.dosDate = e.dosDate;
        zi.external_fa = static_cast<uLong>(e.unixMode) << 16;
        int method = e.stored ? 0 : Z_DEFLATED;
        ok = ok &&
             zipOpenNewFileInZip4(zf, e.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method,
                                  Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                                  nullptr, 0, static_cast<uLong>(e.host) << 8 | 20, 0) == ZIP_OK;
        if (ok && !e.content.empty()) {
            ok = zipWriteInFileInZip(zf, e.content.data(), static_cast<unsigned>(e.content.size())) == ZIP_OK;
        }
        ok = ok && zipCloseFileInZip(zf) == ZIP_OK;
    }
    return zipClose(zf, nullptr) == ZIP_OK && ok;
}

bool damageZipData(const std::string& path, const std::string& content) {
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    size_t at = bytes.find(content);
    if (at == std::string::npos || content.empty()) return false;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

}  // namespace quill::testing
