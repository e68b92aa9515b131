#pragma once
// Localized strings: the application's English string tables, looked up by table and key. A key that no
// table holds gives the caller's default text, or the key itself when there is none. The tables start
// empty; each part of the application registers its own texts.

#include <map>
#include <shared_mutex>
#include <string>
#include <utility>

namespace quill::platform::foundation {

class LocalizedStrings {
  public:
    // The default table's name (the one used when a look-up names none).
    static constexpr const char* kDefaultTable = "Localizable";

    LocalizedStrings() = default;
    LocalizedStrings(const LocalizedStrings&) = delete;
    LocalizedStrings& operator=(const LocalizedStrings&) = delete;

    // The application's tables. Tests build instances of their own.
    static LocalizedStrings& sharedInstance();

    // Adds entries to a table, replacing texts already registered under the same keys.
    void registerStrings(const std::map<std::string, std::string>& entries,
                         const std::string& table = kDefaultTable);
    void registerString(const std::string& key, const std::string& text,
                        const std::string& table = kDefaultTable);

    // The text for key in table; else defaultValue when not empty; else key.
    std::string lookup(const std::string& key, const std::string& table = kDefaultTable,
                       const std::string& defaultValue = {}) const;

  private:
    mutable std::shared_mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> texts_;  // (table, key) -> text
};

// Looks key up in the application's tables (LocalizedStrings::sharedInstance()).
std::string localizedString(const std::string& key,
                            const std::string& table = LocalizedStrings::kDefaultTable,
                            const std::string& defaultValue = {});

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::localizedString;
using platform::foundation::LocalizedStrings;
}  // namespace quill
