#pragma once
// Sound devices of a PulseAudio server: sinks are output devices and sources input devices. A null sink
// described "Soundflower (2ch)" and its monitor source together count as one device with both
// directions, the loopback device. Default changes, plugged devices and port changes arrive through
// the server's subscription events. Device ids are derived from the server's device names, so a saved
// id means the same device in a later run.

#include <map>
#include <mutex>

#include "platform/coreaudio/CoreAudio.h"

struct pa_threaded_mainloop;
struct pa_context;

namespace quill::platform::coreaudio {

inline constexpr const char* kLoopbackSinkName = "Soundflower";
inline constexpr const char* kLoopbackDescription = "Soundflower (2ch)";

class PulseAudioBackend : public AudioBackend {
  public:
    // Connects to the server libpulse finds (PULSE_SERVER, the user's runtime folder, ...); null when
    // none answers within the time-out.
    static std::shared_ptr<PulseAudioBackend> connect(double timeoutSeconds = 2.0);
    ~PulseAudioBackend() override;
    PulseAudioBackend(const PulseAudioBackend&) = delete;
    PulseAudioBackend& operator=(const PulseAudioBackend&) = delete;

    std::string backendName() const override { return "pulse"; }
    std::vector<DeviceDescription> devices() override;
    AudioDeviceID defaultDevice(bool input) override;
    OSStatus setDefaultDevice(bool input, AudioDeviceID id) override;
    OSStatus setBufferFrameSize(AudioDeviceID id, bool input, uint32_t frames) override;
    void setChangeSink(ChangeSink sink) override;

    // Whether the loopback sink exists on the server.
    bool hasLoopbackDevice();
    // Loads the loopback null sink unless it exists; true when it exists afterwards.
    bool loadLoopbackDevice();

    // The id a device of this server name gets.
    static AudioDeviceID idForName(const std::string& kind, const std::string& name);

    struct Entry {
        DeviceDescription description;
        std::string sinkName;    // empty when the device has no output side
        std::string sourceName;  // empty when the device has no input side
    };

  private:
    PulseAudioBackend();
    bool start(double timeoutSeconds);
    std::vector<Entry> snapshot();
    std::pair<std::string, std::string> serverDefaults();  // sink, source
    // The server name of a sink or source that is not listed as a device (a monitor) with this id.
    std::string unlistedDeviceName(bool input, AudioDeviceID id);
    void onSubscription(int eventType, uint32_t index);
    void notify(AudioObjectID object, const AudioObjectPropertyAddress& address);
    template <class Start>
    bool runOperation(Start start);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::mutex mutex_;
    ChangeSink sink_;
    // Last seen on the server thread: defaults and active ports, to tell real changes from echoes.
    std::string lastDefaultSink_, lastDefaultSource_;
    std::map<std::string, std::string> activePorts_;

    friend struct PulseCallbacks;
};

}  // namespace quill::platform::coreaudio
