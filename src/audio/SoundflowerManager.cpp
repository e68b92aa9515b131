#include "audio/SoundflowerManager.h"

#include <filesystem>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Paths.h"
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

std::map<std::string, std::string> SoundflowerManager::shellEnvironment() const {
    const char* path = std::getenv("PATH");
    std::string value = parts_.toolsFolder;
    value += ":";
    value += path && *path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    return {{"PATH", value}};
}

bool SoundflowerManager::isKextInstalled() {
    platform::foundation::TaskOptions options;
    auto env = platform::foundation::Task::currentEnvironment();
    for (auto& [k, v] : shellEnvironment())
        env[k] = v;
    options.environment = env;
    options.standardInput = platform::foundation::TaskStream::Null;
    auto result = platform::foundation::runTask("/bin/sh", {"-c", kSoundflowerDetectCommand}, options);
    return result && !result->standardOutput.empty();
}

std::string SoundflowerManager::installScript(const std::string& kextPath) {
    const std::string installed = kSoundflowerInstallPath;
    return "cp -R " + shellWord(kextPath) + " " + installed + "\n" + "chmod -R 700 " + installed + "\n" +
           "chown -R root:wheel " + installed + "\n" + "kextutil " + installed;
}

bool SoundflowerManager::installKext() {
    auto path = kextPath();
    if (!path) return false;
    return runCommand(installScript(*path), parts_.authorization, shellEnvironment()) == 0;
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
