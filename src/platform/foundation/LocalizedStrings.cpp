#include "platform/foundation/LocalizedStrings.h"

#include <mutex>

namespace quill::platform::foundation {

LocalizedStrings& LocalizedStrings::sharedInstance() {
    static LocalizedStrings strings;
    return strings;
}

void LocalizedStrings::registerStrings(const std::map<std::string, std::string>& entries,
                                       const std::string& table) {
    std::unique_lock lock(mutex_);
    for (const auto& [key, text] : entries)
        texts_[{table, key}] = text;
}

void LocalizedStrings::registerString(const std::string& key, const std::string& text,
                                      const std::string& table) {
    std::unique_lock lock(mutex_);
    texts_[{table, key}] = text;
}

std::string LocalizedStrings::lookup(const std::string& key, const std::string& table,
                                     const std::string& defaultValue) const {
    {
        std::shared_lock lock(mutex_);
        auto it = texts_.find({table.empty() ? std::string(kDefaultTable) : table, key});
        if (it != texts_.end()) return it->second;
    }
    return defaultValue.empty() ? key : defaultValue;
}

std::string localizedString(const std::string& key, const std::string& table,
                            const std::string& defaultValue) {
    return LocalizedStrings::sharedInstance().lookup(key, table, defaultValue);
}

}  // namespace quill::platform::foundation
