#pragma once
// A tar stream (POSIX ustar) of folders and regular files, made in memory, for handing a tree to a
// program on its standard input. Every entry belongs to root (user and group 0), folders with mode 0755
// and files with mode 0644. Nothing here writes a link, a device, a FIFO or a name that is absolute or
// climbs with "..", so a program that unpacks the stream makes only folders and files under the folder
// it unpacks into.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bytes.h"

namespace quill {

struct TarEntry {
    // Relative, '/'-separated.
    std::string name;
    bool folder = false;
    Bytes contents;  // files only
};

// The stream of the entries in their order, closed by the two empty blocks that end an archive; nullopt
// when a name is empty, absolute, holds an empty, "." or ".." component, or is too long for ustar.
std::optional<Bytes> tarStream(const std::vector<TarEntry>& entries);

}  // namespace quill
