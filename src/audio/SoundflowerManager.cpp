#include "audio/SoundflowerManager.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SysLog.h"
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

// The bytes of the regular file at path, never following a link nor waiting on a FIFO; nullopt for
// anything else or when it cannot be read.
std::optional<Bytes> readRegularFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<Bytes> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        bytes.emplace();
        uint8_t chunk[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) bytes->insert(bytes->end(), chunk, chunk + n);
        }
        if (n < 0) bytes.reset();
    }
    ::close(fd);
    return bytes;
}

// A sealed file in memory holding bytes, read from its start: once made, no one can change what it
// holds, through this descriptor or any path to it. -1 (errno set) when it cannot be made.
int sealedFile(const Bytes& bytes) {
    const int fd = ::memfd_create("quillaran-driver", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done != bytes.size() || ::lseek(fd, 0, SEEK_SET) != 0 ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// base joined with a relative path, base itself for the empty one (no trailing slash, which would make
// a look-up follow a link).
std::filesystem::path under(const std::filesystem::path& base, const std::filesystem::path& rel) {
    return rel.empty() ? base : base / rel;
}

}  // namespace

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
    if (parts_.toolsFolder.empty()) parts_.toolsFolder = platform::foundation::helperToolsFolder();
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
    std::unique_lock lock(installMutex_);
    installEnded_.wait(lock, [this] { return !installing_; });
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

std::optional<platform::foundation::TaskResult> SoundflowerManager::runToolCommand(
    const std::string& command) const {
    platform::foundation::TaskOptions options;
    auto env = platform::foundation::Task::currentEnvironment();
    const auto path = env.find("PATH");
    env["PATH"] =
        parts_.toolsFolder + ":" +
        (path != env.end() && !path->second.empty() ? path->second
                                                    : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    options.environment = env;
    options.standardInput = platform::foundation::TaskStream::Null;
    return platform::foundation::runTask("/bin/sh", {"-c", command}, options);
}

bool SoundflowerManager::isKextInstalled() {
    auto result = runToolCommand(kSoundflowerDetectCommand);
    return result && !result->standardOutput.empty();
}

std::vector<std::string> SoundflowerManager::copyArguments(const std::string& driverFolder) {
    // tar leaves out absolute names and names that climb with "..". Without --no-overwrite-dir the
    // folders that exist take the stream's modes; without --keep-directory-symlink a link where a folder
    // belongs is replaced by the folder, and a file replaces whatever is in its place.
    return {"--extract", "--file=-",
            "--directory=" + std::filesystem::path(driverFolder).parent_path().parent_path().string(),
            "--no-same-owner", "--same-permissions"};
}

std::string SoundflowerManager::installedKextPath() const {
    return (std::filesystem::path(parts_.driverFolder) / "Soundflower.kext").string();
}

std::optional<std::vector<TarEntry>> SoundflowerManager::readKext(const std::string& kext) const {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<TarEntry> out;
    // Links are never followed, and a file is read only when it is still a regular file when opened.
    bool ok = fs::symlink_status(kext, ec).type() == fs::file_type::directory;
    if (ok) out.push_back({"", true, {}});
    for (fs::recursive_directory_iterator it(kext, ec), end; ok && !ec && it != end; it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(kext).string();
        const auto type = it->symlink_status(ec).type();
        if (type == fs::file_type::directory) {
            out.push_back({rel, true, {}});
        } else if (auto bytes = type == fs::file_type::regular ? readRegularFile(it->path()) : std::nullopt) {
            out.push_back({rel, false, std::move(*bytes)});
        } else {
            ok = false;
        }
    }
    if (!ok || ec) {
        sysLogString("loopback driver not installed: " + kext +
                     " holds something other than folders and files");
        return std::nullopt;
    }
    return out;
}

bool SoundflowerManager::isKextCopied(const std::vector<TarEntry>& kext) const {
    const std::filesystem::path installed = installedKextPath();
    for (const TarEntry& e : kext) {
        const auto copy = under(installed, e.name);
        struct stat st {};
        if (::lstat(copy.c_str(), &st) != 0 || st.st_uid != parts_.driverOwner ||
            (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return false;
        }
        if (e.folder ? !S_ISDIR(st.st_mode) : !(S_ISREG(st.st_mode) && readRegularFile(copy) == e.contents))
            return false;
    }
    return true;
}

bool SoundflowerManager::copyKextAsRoot(const std::vector<TarEntry>& kext) {
    // The stream names the driver folder's parent, the driver folder and the driver, as they are to be
    // under the folder tar unpacks into.
    namespace fs = std::filesystem;
    const fs::path folder(parts_.driverFolder);
    const fs::path top = folder.parent_path().filename(),
                   driver = top / folder.filename() / "Soundflower.kext";
    std::vector<TarEntry> entries{{top.string(), true, {}}, {(top / folder.filename()).string(), true, {}}};
    for (const TarEntry& e : kext)
        entries.push_back({under(driver, e.name).string(), e.folder, e.contents});
    const auto stream = tarStream(entries);
    const int input = stream ? sealedFile(*stream) : -1;
    if (input < 0) {
        sysLogString("loopback driver not installed: cannot hand it to the copy as root" +
                     (stream ? std::string(": ") + std::strerror(errno) : std::string()));
        return false;
    }
    auto task = PrivilegedTask::create(kSoundflowerCopyProgram, copyArguments(parts_.driverFolder),
                                       parts_.authorization);
    task->setCurrentDirectoryPath("/");
    task->setStandardInput(input);
    const OSStatus status = task->launch();
    ::close(input);
    if (status != 0) {
        sysLog("loopback driver not installed: the copy as root could not start (%d)",
               static_cast<int>(status));
        return false;
    }
    // Waits for the administrator's answer and the copy, as the prompt of an authorization would.
    task->waitUntilExit();
    const int ended = task->terminationStatus();
    if (!WIFEXITED(ended) || WEXITSTATUS(ended) != 0) {
        // pkexec ends with 126 when its prompt was dismissed and 127 when authentication failed.
        sysLog("loopback driver not installed: the copy as root ended with status %d",
               WIFEXITED(ended) ? WEXITSTATUS(ended) : 128 + WTERMSIG(ended));
        return false;
    }
    return true;
}

bool SoundflowerManager::installKext() {
    const auto path = kextPath();
    if (!path) return false;
    // Read once: what is checked is what root gets, whatever happens to the unpacked copy meanwhile.
    const auto kext = readKext(*path);
    if (!kext) return false;
    if (!isKextCopied(*kext)) {
        if (!copyKextAsRoot(*kext)) return false;
        if (!isKextCopied(*kext)) {
            sysLogString("loopback driver not installed: " + installedKextPath() +
                         " differs from the driver");
            return false;
        }
    }
    // The user's own sound server gets the device, from the user's own process.
    auto loaded = runToolCommand("kextutil " + shellWord(installedKextPath()));
    if (!loaded || loaded->exitCode != 0) {
        sysLogString("loopback driver installed but not loaded");
        return false;
    }
    return true;
}

bool SoundflowerManager::installKextInBackground() {
    if (!kextPath()) return false;
    {
        std::lock_guard lock(installMutex_);
        if (installing_) return false;
        installing_ = true;
    }
    platform::dispatch::Queue::global()->async([this] {
        if (installKext()) sysLogString("loopback driver installed and loaded");
        std::lock_guard lock(installMutex_);
        installing_ = false;
        installEnded_.notify_all();
    });
    return true;
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
