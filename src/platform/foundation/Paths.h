#pragma once
// Where things live for this user: the home and settings folders, a private temporary folder, the
// user's full name and the bundled resources.

#include <optional>
#include <string>

#include "platform/foundation/Error.h"

namespace quill::platform::foundation {

// The home folder: $HOME when set and not empty, else the password database's entry, else "/".
std::string homeFolder();

// "<home>/Library/Quillaran", where the settings and the saved sound devices live. Not created here.
std::string settingsFolder();

// Creates folder and its missing parents with mode (less the umask). True when folder is a folder
// afterwards.
bool createFolders(const std::string& folder, unsigned mode = 0755, Error* error = nullptr);

// Creates the settings folder (and missing parents) with mode 0755 for a writer that needs it. True when
// the folder exists afterwards.
bool ensureSettingsFolder(Error* error = nullptr);

// The user's private temporary folder "<$TMPDIR or /tmp>/quillaran-<uid>", created with mode 0700 when
// missing. An existing entry is used only when it is a real folder (not a symbolic link) owned by this
// user; group and other permission bits found on it are removed. Anything else gives nullopt.
std::optional<std::string> privateTempFolder(Error* error = nullptr);

// The login name of the real user ($USER when the password database has no entry).
std::string userLoginName();
// The user's full name: the GECOS field up to its first comma, else the login name.
std::string userFullName();

// The folder holding the running executable.
std::string executableFolder();

// An installed executable lives in "<prefix>/bin" with its resources in "<prefix>/share/quillaran" and its
// helper tools in "<prefix>/libexec/quillaran"; these are those folders relative to the executable's
// folder (as the build's install directories place them). Empty when the build sets none.
std::string installedResourcesFolder();
std::string installedToolsFolder();

// Looks up the bundled resource "<name>.<type>" ("<name>" when type is empty) in, in this order:
// $QUILLARAN_RESOURCES, "<executable folder>/resources" (a build folder), the installed resources folder
// and, only when the executable is not installed (that folder is missing), the build tree's "resources"
// and the source tree's "resources". Returns the full path of the first regular file found.
std::optional<std::string> resourcePath(const std::string& name, const std::string& type);

// The folder of the helper tools the application runs: the installed tools folder when there is one,
// else the executable's folder (a build folder, where they are built beside it).
std::string helperToolsFolder();

}  // namespace quill::platform::foundation
