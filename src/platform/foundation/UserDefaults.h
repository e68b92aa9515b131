#pragma once
// User defaults: small per-user settings by key, kept as a property list file
// ("$XDG_CONFIG_HOME/quillaran/defaults.plist", by default "~/.config/quillaran/defaults.plist").
// Every change is written through at once, atomically, into a file only the user can read.

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/PropertyList.h"

namespace quill::platform::foundation {

class UserDefaults {
  public:
    // Defaults kept in the file at path (read now; a missing or unreadable file means no values).
    explicit UserDefaults(std::string path);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The application's defaults at defaultPath(), opened on first use.
    static UserDefaults& standardUserDefaults();
    // "$XDG_CONFIG_HOME/quillaran/defaults.plist" when XDG_CONFIG_HOME is an absolute path, else
    // "<home>/.config/quillaran/defaults.plist".
    static std::string defaultPath();

    // The value for key, or 0 / "" / false when absent. Numbers, booleans and numeric texts convert
    // into each other ("6" gives 6; "YES", "true" or a non-zero number give true).
    int64_t integerForKey(const std::string& key) const;
    std::string stringForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    bool hasKey(const std::string& key) const;

    // Store the value and write the file (creating its folder); false, with the error, when the file
    // could not be written (the value is kept in memory all the same).
    bool setInteger(int64_t value, const std::string& key, Error* error = nullptr);
    bool setString(const std::string& value, const std::string& key, Error* error = nullptr);
    bool setBool(bool value, const std::string& key, Error* error = nullptr);
    bool removeObject(const std::string& key, Error* error = nullptr);

    const std::string& path() const { return path_; }

  private:
    bool store(const std::string& key, std::optional<PropertyList> value, Error* error);

    const std::string path_;
    mutable std::mutex mutex_;
    PropertyList values_;
};

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::UserDefaults;
}
