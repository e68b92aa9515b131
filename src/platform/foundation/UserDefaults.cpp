#include "platform/foundation/UserDefaults.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "platform/foundation/Paths.h"

namespace quill::platform::foundation {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int64_t integerOf(const PropertyList& v) {
    if (auto i = v.integer()) return *i;
    if (auto b = v.boolean()) return *b ? 1 : 0;
    if (auto r = v.real()) {
        if (!std::isfinite(*r)) return 0;
        if (*r >= 9.2e18) return std::numeric_limits<int64_t>::max();
        if (*r <= -9.2e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(*r);
    }
    if (const std::string* s = v.string()) {
        errno = 0;
        long long parsed = std::strtoll(s->c_str(), nullptr, 10);
        return errno == 0 ? parsed : 0;
    }
    return 0;
}

bool boolOf(const PropertyList& v) {
    if (auto b = v.boolean()) return *b;
    if (const std::string* s = v.string()) {
        std::string t = lower(*s);
        if (t == "yes" || t == "true") return true;
        return std::strtoll(s->c_str(), nullptr, 10) != 0;
    }
    if (auto r = v.real()) return *r != 0;
    return integerOf(v) != 0;
}

std::string stringOfValue(const PropertyList& v) {
    if (const std::string* s = v.string()) return *s;
    if (auto i = v.integer()) return std::to_string(*i);
    if (auto b = v.boolean()) return *b ? "1" : "0";
    if (auto r = v.real()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", *r);
        return buf;
    }
    return {};
}

}  // namespace

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {
    auto loaded = readPropertyListFile(path_);
    if (loaded && loaded->dictionary()) values_ = std::move(*loaded);
}

UserDefaults& UserDefaults::standardUserDefaults() {
    static UserDefaults defaults(defaultPath());
    return defaults;
}

std::string UserDefaults::defaultPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    fs::path base = (xdg && xdg[0] == '/') ? fs::path(xdg) : fs::path(homeFolder()) / ".config";
    return (base / "quillaran" / "defaults.plist").string();
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const PropertyList* v = values_.find(key);
    return v ? integerOf(*v) : 0;
}

std::string UserDefaults::stringForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const PropertyList* v = values_.find(key);
    return v ? stringOfValue(*v) : std::string();
}

bool UserDefaults::boolForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const PropertyList* v = values_.find(key);
    return v ? boolOf(*v) : false;
}

bool UserDefaults::hasKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return values_.find(key) != nullptr;
}

bool UserDefaults::setInteger(int64_t value, const std::string& key, Error* error) {
    return store(key, PropertyList(value), error);
}

bool UserDefaults::setString(const std::string& value, const std::string& key, Error* error) {
    return store(key, PropertyList(value), error);
}

bool UserDefaults::setBool(bool value, const std::string& key, Error* error) {
    return store(key, PropertyList(value), error);
}

bool UserDefaults::removeObject(const std::string& key, Error* error) {
    return store(key, std::nullopt, error);
}

bool UserDefaults::store(const std::string& key, std::optional<PropertyList> value, Error* error) {
    // Holding the lock while writing keeps the file in the order of the changes.
    std::lock_guard lock(mutex_);
    if (value) {
        values_.set(key, std::move(*value));
    } else {
        values_.dictionary()->erase(key);
    }
    fs::path file(path_);
    if (file.has_parent_path() && !createFolders(file.parent_path().string(), 0755, error)) return false;
    // Only the user reads them: they hold the screen-cast portal's restore token, with which the
    // screen is shared without asking.
    return writePropertyListFile(values_, path_, error, 0600);
}

}  // namespace quill::platform::foundation
