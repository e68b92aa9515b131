#include "audio/SoundflowerManager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/Task.h"
#include "zip/ZipExtractor.h"

namespace quill {

using platform::foundation::Notification;
using platform::foundation::NotificationCenter;

namespace {

// A path as the shell reads it: plain paths as they are, anything else in single quotes.
std::string shellWord(const std::string& path) {
    bool plain = !path.empty();
    for (char c : path) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' || c == '_' || c == '-' ||
              c == '+' || c == ',' || c == ':' || c == '@' || c == '%')) {
            plain = false;
        }
    }
    if (plain) return path;
    std::string out = "'";
    for (char c : path)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Whether only root or this user can change what is at path.
bool changeableOnlyByRootOrUser(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (st.st_uid != 0 && st.st_uid != ::getuid()) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

OSStatus runCommand(const std::string& command,
                    std::shared_ptr<platform::security::AuthorizationService> service,
                    const std::map<std::string, std::string>& environment) {
    auto task = PrivilegedTask::create("/bin/sh", {"-c", command}, std::move(service));
    task->setEnvironment(environment);
    return task->launch();
}

SoundflowerManager& SoundflowerManager::sharedInstance() {
    static SoundflowerManager* manager = new SoundflowerManager();
    return *manager;
}

SoundflowerManager::SoundflowerManager(SoundflowerManagerParts parts)
    : parts_(std::move(parts)),
      audioDeviceManager_(parts_.audioDeviceManager ? parts_.audioDeviceManager
                                                    : &AudioDeviceManager::sharedInstance()),
      center_(parts_.notificationCenter ? *parts_.notificationCenter : NotificationCenter::sharedInstance()) {
    if (!parts_.authorization) parts_.authorization = platform::security::AuthorizationService::system();
    if (!parts_.resourceArchive) {
        parts_.resourceArchive = [] { return platform::foundation::resourcePath("Soundflower", "zip"); };
    }
    if (!parts_.temporaryFolder)
        parts_.temporaryFolder = [] { return platform::foundation::privateTempFolder(); };
    if (parts_.toolsFolder.empty()) parts_.toolsFolder = platform::foundation::executableFolder();
    if (parts_.driverFolder.empty()) parts_.driverFolder = kSoundflowerDriverFolder;
    if (!parts_.clock) parts_.clock = [] { return platform::foundation::timeIntervalSinceReferenceDate(); };

    extractKext();
    defaultObserver_ = platform::foundation::ScopedObserver(
        center_, kDefalutAudioDeviceDidChangeNotification,
        [this](const Notification& n) { defaultAudioDeviceDidChange(n); });
    dataSourceObserver_ = platform::foundation::ScopedObserver(
        center_, kBuildInAudioDeviceDataSourceDidChangeNotification,
        [this](const Notification& n) { buildInAudioDeviceDataSourceDidChange(n); });
}

SoundflowerManager::~SoundflowerManager() {
    defaultObserver_.reset();
    dataSourceObserver_.reset();
    // Let a guard step under way finish before the manager goes.
    std::lock_guard guard(guardMutex_);
}

bool SoundflowerManager::extractKext() {
    // The driver goes to the user's private temporary folder, where no other user can plant a fake.
    auto folder = parts_.temporaryFolder();
    auto archive = parts_.resourceArchive();
    if (folder && archive) ZipExtractor::unzipFileAtPath(*archive, *folder);
    std::lock_guard lock(mutex_);
    if (!kextPath_ && folder) kextPath_ = (std::filesystem::path(*folder) / "Soundflower.kext").string();
    std::error_code ec;
    if (kextPath_ && !std::filesystem::exists(*kextPath_, ec)) kextPath_.reset();
    return kextPath_.has_value();
}

std::map<std::string, std::string> SoundflowerManager::detectionEnvironment() const {
    const char* path = std::getenv("PATH");
    std::string value = parts_.toolsFolder;
    value += ":";
    value += path && *path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    return {{"PATH", value}};
}

bool SoundflowerManager::isKextInstalled() {
    platform::foundation::TaskOptions options;
    auto env = platform::foundation::Task::currentEnvironment();
    for (auto& [k, v] : detectionEnvironment())
        env[k] = v;
    options.environment = env;
    options.standardInput = platform::foundation::TaskStream::Null;
    auto result = platform::foundation::runTask("/bin/sh", {"-c", kSoundflowerDetectCommand}, options);
    return result && !result->standardOutput.empty();
}

std::string SoundflowerManager::installScript(const std::string& kextPath, const std::string& loaderPath,
                                              const std::string& driverFolder) {
    const std::string folder = shellWord(driverFolder);
    const std::string installed =
        shellWord((std::filesystem::path(driverFolder) / "Soundflower.kext").string());
    // The driver is copied into the folder under its own name, so that installing again replaces it.
    return "mkdir -p " + folder + "\n" + "cp -R " + shellWord(kextPath) + " " + folder + "\n" +
           "chmod -R 700 " + installed + "\n" + "chown -R root:root " + installed + "\n" +
           shellWord(loaderPath) + " " + installed;
}

std::optional<std::string> SoundflowerManager::toolForRoot(const std::string& name) const {
    std::error_code ec;
    const auto folder = std::filesystem::canonical(parts_.toolsFolder, ec);
    const std::string tool = (folder / name).string();
    // Whoever can change the tool or its folder could run anything as root once the administrator
    // has said yes.
    if (ec || !changeableOnlyByRootOrUser(folder.string()) || !changeableOnlyByRootOrUser(tool)) {
        sysLogString("not running " + (ec ? parts_.toolsFolder + "/" + name : tool) +
                     " as root: it is missing, or others than root and the user can change it");
        return std::nullopt;
    }
    return tool;
}

bool SoundflowerManager::installKext() {
    auto path = kextPath();
    if (!path) return false;
    auto loader = toolForRoot("kextutil");
    if (!loader) return false;
    return runCommand(installScript(*path, *loader, parts_.driverFolder), parts_.authorization,
                      {{"PATH", kRootShellPath}}) == 0;
}

bool SoundflowerManager::setSoundflowerAsDefaultAudio() {
    audioDeviceManager_->setDefaultInputAudioDevice(kSoundflowerDeviceName);
    audioDeviceManager_->setDefaultOutputAudioDevice(kSoundflowerDeviceName);
    return isSoundflowerDefaultAudio();
}

bool SoundflowerManager::isSoundflowerDefaultAudio() {
    auto input = audioDeviceManager_->currentInputAudioDevice();
    if (!input || input->deviceName().find("Soundflower") == std::string::npos) return false;
    auto output = audioDeviceManager_->currentOutputAudioDevice();
    return output && output->deviceName().find("Soundflower") != std::string::npos;
}

void SoundflowerManager::resetDefaultAudioDevice() {
    for (const auto& d : audioDeviceManager_->inputAudioDeviceArray()) {
        if (d.deviceName().find("Soundflower") == std::string::npos) {
            audioDeviceManager_->setDefaultInputAudioDeviceWithID(d.deviceID());
        }
    }
    for (const auto& d : audioDeviceManager_->outputAudioDeviceArray()) {
        if (d.deviceName().find("Soundflower") == std::string::npos) {
            audioDeviceManager_->setDefaultOutputAudioDeviceWithID(d.deviceID());
        }
    }
}

void SoundflowerManager::defaultAudioDeviceDidChange(const Notification&) {
    std::lock_guard guard(guardMutex_);
    if (!protectSetting_) return;
    bool switchBack = false;
    {
        std::lock_guard lock(mutex_);
        const double t = parts_.clock();
        recentSettings_.push_back(t);
        while (t - recentSettings_.front() > 1.0)
            recentSettings_.erase(recentSettings_.begin());
        switchBack = recentSettings_.size() < 2;
    }
    if (switchBack) setSoundflowerAsDefaultAudio();
}

void SoundflowerManager::buildInAudioDeviceDataSourceDidChange(const Notification&) {
    if (!protectSetting_) audioDeviceManager_->resetDefaultAudioDevice();
}

void SoundflowerManager::setProtectSetting(bool on) {
    std::lock_guard guard(guardMutex_);
    protectSetting_ = on;
}

std::optional<std::string> SoundflowerManager::kextPath() const {
    std::lock_guard lock(mutex_);
    return kextPath_;
}

std::vector<double> SoundflowerManager::recentSettings() const {
    std::lock_guard lock(mutex_);
    return recentSettings_;
}

}  // namespace quill
