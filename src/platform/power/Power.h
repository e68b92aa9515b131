#pragma once
// Keeping the machine awake: display-sleep assertions taken while mirroring, and the process activities
// the application begins at start-up. Whatever a backend takes it gives back on release, and everything
// still held is released when the manager lets its backend go (at the application's quit) or goes away.
//
// Backends: X11, logind, and one with no means of its own ("none"). What each does for each assertion
// type is one table (PowerBackends.cpp). A display-sleep assertion suspends the X screen saver and DPMS,
// or takes a logind idle inhibitor, and on every backend also takes the desktop's idle inhibitor
// (DesktopInhibitor.h: the portal, else the GNOME session manager, else org.freedesktop.ScreenSaver),
// since desktops blank and lock through idle monitors of their own. Idle system sleep, whatever the
// backend, is held off only by the desktop's inhibitor of automatic suspend: never the screen saver, the
// screen lock or a block on a suspend the user asks for. Nothing held outlives the process: the X server
// ends the suspension when the client goes, the kernel closes the logind descriptor, and the desktop ends
// an inhibition when its caller leaves the session bus.
// QUILLARAN_POWER=x11|logind|none chooses; by default X11 when a display answers, else logind when the
// system runs it, else none.
//
// Threads: the manager may be called from any thread; its calls into the backend are made one at a time.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quill::platform::power {

using IOPMAssertionID = uint32_t;
using IOReturn = int;
inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnBadArgument = -536870206;  // 0xe00002c2
inline constexpr IOReturn kIOReturnNotFound = -536870160;     // 0xe00002f0
inline constexpr int kIOPMAssertionLevelOn = 255;
inline constexpr const char* kIOPMAssertionTypePreventUserIdleDisplaySleep = "PreventUserIdleDisplaySleep";
inline constexpr const char* kIOPMAssertionTypePreventUserIdleSystemSleep = "PreventUserIdleSystemSleep";

// What actually holds the machine awake. take() returns a handle for release(), or 0 when it could not.
class PowerBackend {
  public:
    virtual ~PowerBackend() = default;
    virtual std::string name() const = 0;
    virtual uint64_t take(const std::string& type, const std::string& reason) = 0;
    virtual void release(uint64_t handle) = 0;
};

// Bus addresses stand in for the system bus (logind's) and the user's session bus (the desktop's
// inhibitor); null means the system's own. A null display name means $DISPLAY.
// Null when no display answers or it lacks the screen-saver extension.
std::unique_ptr<PowerBackend> makeX11Backend(const char* displayName = nullptr,
                                             const char* sessionBus = nullptr);
// Null when logind or the system bus is not there.
std::unique_ptr<PowerBackend> makeLogindBackend(const char* systemBus = nullptr,
                                                const char* sessionBus = nullptr);
std::unique_ptr<PowerBackend> makeNoopBackend(const char* sessionBus = nullptr);
std::unique_ptr<PowerBackend> makeDefaultBackend();

// Records what is taken and released, for tests.
class RecordingPowerBackend : public PowerBackend {
  public:
    struct Entry {
        std::string type;
        std::string reason;
        bool released = false;
    };
    std::string name() const override { return "recorder"; }
    uint64_t take(const std::string& type, const std::string& reason) override;
    void release(uint64_t handle) override;
    std::vector<Entry> entries() const;
    size_t held() const;
    void setRefuse(bool refuse) { refuse_ = refuse; }

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    bool refuse_ = false;
};

class PowerManager {
  public:
    // The process-wide manager over the default backend. It lasts until the process ends; the application
    // lets its backend go at quit (releaseBackend()).
    static PowerManager& shared();
    explicit PowerManager(std::shared_ptr<PowerBackend> backend);
    ~PowerManager();
    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

    // Level kIOPMAssertionLevelOn takes the assertion; the id goes to *assertionID. A backend that cannot
    // hold it still yields an id (the request is logged); a null id pointer or another level is refused.
    IOReturn IOPMAssertionCreateWithName(const std::string& type, int level, const std::string& name,
                                         IOPMAssertionID* assertionID);
    IOReturn IOPMAssertionRelease(IOPMAssertionID assertionID);
    size_t heldAssertions() const;

    // Process activities. Activities that allow idle system sleep hold nothing; others hold off idle
    // system sleep like a kIOPMAssertionTypePreventUserIdleSystemSleep assertion. Returns a token for
    // endActivity().
    uint64_t beginActivity(bool allowIdleSystemSleep, const std::string& reason);
    void endActivity(uint64_t token);

    // Gives back everything still held and lets the backend go, so that its X connection and bus
    // connections close now, on this thread, rather than in the static destruction after main returns,
    // when neither the X server nor the bus may answer in time. Ids and tokens handed out stay valid;
    // whatever is asked for afterwards, from any thread, holds nothing (logged).
    void releaseBackend();

    std::string backendName() const;

  private:
    // Records a backend handle (0: none held) under the next key. Under mutex_.
    template <class Key>
    Key addEntry(std::map<Key, uint64_t>& entries, Key& next, uint64_t handle);
    // Drops the key's entry and releases its handle; false when there is no such entry.
    template <class Key>
    bool releaseEntry(std::map<Key, uint64_t>& entries, Key key);

    // Guards everything below, and is held across every call into the backend, so that the backend
    // cannot be let go under a call in progress.
    mutable std::mutex mutex_;
    std::shared_ptr<PowerBackend> backend_;
    IOPMAssertionID nextID_ = 1;
    std::map<IOPMAssertionID, uint64_t> assertions_;  // id -> backend handle (0 when not held)
    uint64_t nextToken_ = 1;
    std::map<uint64_t, uint64_t> activities_;
};

}  // namespace quill::platform::power
