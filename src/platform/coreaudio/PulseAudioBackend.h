#pragma once
// Sound devices of a PulseAudio server (or PipeWire's PulseAudio interface): sinks are output devices
// and sources input devices. A null sink described "Soundflower (2ch)" and its monitor source together
// count as one device with both directions, the loopback device. Default changes, plugged devices and
// port changes arrive through the server's subscription events. Device ids are derived from the
// server's device names, so a saved id means the same device in a later run.
//
// One listing (the server's defaults, sinks and sources, asked for together) serves every read until
// the server reports a change, this backend changes something itself, or kListingReuseSeconds pass, so
// that reading one device list and each of its devices' properties costs one listing, not one a
// property.
//
// Every request has a deadline (the operation time-out). A server that misses it (stopped, hung) is
// taken as not answering: the request fails with a logged error, and later ones fail at once, logged,
// until a probe sent at the stall is answered. So a stopped server costs one deadline, not one a
// request, and a quit that puts the user's devices back goes on. Calls may come from any thread except
// the backend's own main-loop thread (there they fail at once).

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "platform/coreaudio/CoreAudio.h"

struct pa_threaded_mainloop;
struct pa_context;

namespace quill::platform::coreaudio {

inline constexpr const char* kLoopbackSinkName = "Soundflower";
inline constexpr const char* kLoopbackDescription = "Soundflower (2ch)";

class PulseAudioBackend : public AudioBackend {
  public:
    static constexpr double kConnectTimeoutSeconds = 2.0;
    static constexpr double kOperationTimeoutSeconds = 3.0;
    static constexpr double kListingReuseSeconds = 0.25;
    // PipeWire reports a new default only once its session manager has taken it up.
    static constexpr double kDefaultSettleSeconds = 1.0;

    // Connects to the server libpulse finds (PULSE_SERVER, the user's runtime folder, ...); null when
    // none answers within the connect time-out.
    static std::shared_ptr<PulseAudioBackend> connect(
        double timeoutSeconds = kConnectTimeoutSeconds,
        double operationTimeoutSeconds = kOperationTimeoutSeconds);
    ~PulseAudioBackend() override;
    PulseAudioBackend(const PulseAudioBackend&) = delete;
    PulseAudioBackend& operator=(const PulseAudioBackend&) = delete;

    std::string backendName() const override { return "pulse"; }
    std::vector<DeviceDescription> devices() override;
    // 0 when the server does not answer or has no default in that direction.
    AudioDeviceID defaultDevice(bool input) override;
    // Returns once the server reports the new default; kAudioHardwareNotRunningError when the server
    // does not answer.
    OSStatus setDefaultDevice(bool input, AudioDeviceID id) override;
    OSStatus setBufferFrameSize(AudioDeviceID id, bool input, uint32_t frames) override;
    void setChangeSink(ChangeSink sink) override;

    // Whether the loopback sink exists on the server.
    bool hasLoopbackDevice();
    // Loads the loopback null sink unless it exists; true when it exists afterwards.
    bool loadLoopbackDevice();

    // The id a device of this server name gets.
    static AudioDeviceID idForName(const std::string& kind, const std::string& name);

    // Listings asked of the server so far.
    uint64_t listingCount();

    struct Entry {
        DeviceDescription description;
        std::string sinkName;    // empty when the device has no output side
        std::string sourceName;  // empty when the device has no input side
    };

  private:
    struct Listing;
    using Clock = std::chrono::steady_clock;

    explicit PulseAudioBackend(double operationTimeoutSeconds);
    bool start(double timeoutSeconds);
    // The current listing, reused or asked for; null when the server does not answer.
    std::shared_ptr<const Listing> snapshot();
    // The following need the main-loop lock.
    std::shared_ptr<Listing> fetchListing();
    template <class... Start>
    bool runOperations(const char* what, Start... start);
    void probe();
    bool waitForDefault(bool input, const std::string& name);
    void forgetListing() { ++generation_; }

    void onSubscription(int eventType, uint32_t index);
    void notify(AudioObjectID object, const AudioObjectPropertyAddress& address);

    const double operationTimeout_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::mutex mutex_;
    ChangeSink sink_;

    // Under the main-loop lock.
    std::shared_ptr<const Listing> listing_;
    uint64_t listingGeneration_ = 0;
    Clock::time_point listingTime_;
    uint64_t generation_ = 1;  // counts changes seen; a listing of an older one is not reused
    uint64_t listings_ = 0;
    uint64_t serverChanges_ = 0;
    bool subscribed_ = false;
    bool stalled_ = false;  // a request missed its deadline and the probe has not been answered
    // Last seen on the server thread: defaults and active ports, to tell real changes from echoes.
    std::string lastDefaultSink_, lastDefaultSource_;
    std::map<std::string, std::string> activePorts_;

    friend struct PulseCallbacks;
};

}  // namespace quill::platform::coreaudio
