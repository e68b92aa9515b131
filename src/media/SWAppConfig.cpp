#include "media/SWAppConfig.h"

#include <filesystem>

#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"

namespace quill {

namespace pf = platform::foundation;

namespace {

// A boolean setting: a boolean, or a number that is not zero.
bool flagOf(const PropertyList& settings, const std::string& key) {
    const PropertyList* v = settings.find(key);
    if (!v) return false;
    if (auto b = v->boolean()) return *b;
    if (auto i = v->integer()) return *i != 0;
    if (auto r = v->real()) return *r != 0.0;
    return false;
}

}  // namespace

SWAppConfig::SWAppConfig() : productName_(kProductName), deviceName_(pf::userFullName()) {
    loadData();
}

SWAppConfig& SWAppConfig::singleton() {
    static SWAppConfig instance;
    return instance;
}

std::string SWAppConfig::settingsFile() {
    return (std::filesystem::path(pf::settingsFolder()) / kSettingsFileName).string();
}

std::string SWAppConfig::soundflowerSettingFile() {
    return (std::filesystem::path(pf::settingsFolder()) / kSoundflowerSettingFileName).string();
}

void SWAppConfig::loadData() {
    PropertyList settings;  // an empty dictionary unless the file says otherwise
    if (auto read = pf::readPropertyListFile(settingsFile()); read && read->dictionary()) settings = *read;
    const PropertyList* name = settings.find("deviceName");

    std::lock_guard lock(mutex_);
    autoShare_ = flagOf(settings, "AutoShare");
    gesturePPT_ = flagOf(settings, "gesturePPT");
    // The cursor is always captured with the picture, so the receiver never draws its own.
    mouseAlone_ = false;
    if (name && name->string()) deviceName_ = *name->string();
}

bool SWAppConfig::storeData(Error* error) const {
    PropertyList settings;
    {
        std::lock_guard lock(mutex_);
        settings.set("AutoShare", autoShare_);
        settings.set("gesturePPT", gesturePPT_);
        settings.set("MouseAlone", mouseAlone_);
        settings.set("deviceName", deviceName_);
    }
    if (!pf::ensureSettingsFolder(error)) return false;
    return pf::writePropertyListFile(settings, settingsFile(), error);
}

#define QUILL_CONFIG_ACCESSORS(Type, getter, setter, field) \
    Type SWAppConfig::getter() const {                      \
        std::lock_guard lock(mutex_);                       \
        return field;                                       \
    }                                                       \
    void SWAppConfig::setter(Type v) {                      \
        std::lock_guard lock(mutex_);                       \
        field = std::move(v);                               \
    }

QUILL_CONFIG_ACCESSORS(bool, autoShare, setAutoShare, autoShare_)
QUILL_CONFIG_ACCESSORS(bool, gesturePPT, setGesturePPT, gesturePPT_)
QUILL_CONFIG_ACCESSORS(bool, mouseAlone, setMouseAlone, mouseAlone_)
QUILL_CONFIG_ACCESSORS(int, hidState, setHidState, hidState_)
QUILL_CONFIG_ACCESSORS(std::optional<std::string>, hidDeviceVersion, setHidDeviceVersion, hidDeviceVersion_)
QUILL_CONFIG_ACCESSORS(std::optional<std::string>, serverVersion, setServerVersion, serverVersion_)
QUILL_CONFIG_ACCESSORS(std::string, productName, setProductName, productName_)
QUILL_CONFIG_ACCESSORS(std::string, deviceName, setDeviceName, deviceName_)

#undef QUILL_CONFIG_ACCESSORS

}  // namespace quill
