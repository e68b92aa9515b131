#pragma once
// The sound-hardware object layer: the system object and device objects, their properties addressed by
// selector, scope and element, and property listeners.
//
// A backend supplies the devices (a simulated one for tests and as the fallback, PulseAudio where a
// server answers); AudioHardware turns property reads and writes into questions to the backend and
// delivers listener calls on one notification thread of its own, one at a time, in the order the
// changes happened. Listeners may call back into the hardware: a write from a listener only queues the
// notifications it causes.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quill::platform::coreaudio {

using OSStatus = int32_t;
using AudioObjectID = uint32_t;
using AudioDeviceID = uint32_t;
using AudioObjectPropertySelector = uint32_t;
using AudioObjectPropertyScope = uint32_t;
using AudioObjectPropertyElement = uint32_t;

constexpr uint32_t fourCC(const char (&s)[5]) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(s[0])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(s[1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(s[2])) << 8) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[3]));
}

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCC("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCC("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCC("outp");

inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCC("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice = fourCC("dIn ");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyRunLoop = fourCC("rnlp");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertySafetyOffset = fourCC("saft");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize = fourCC("fsiz");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamFormat = fourCC("sfmt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration = fourCC("slay");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceName = fourCC("name");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType = fourCC("tran");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSource = fourCC("ssrc");

inline constexpr uint32_t kAudioDeviceTransportTypeBuiltIn = fourCC("bltn");
inline constexpr uint32_t kAudioDeviceTransportTypeVirtual = fourCC("virt");
inline constexpr uint32_t kAudioDeviceTransportTypeUSB = fourCC("usb ");
inline constexpr uint32_t kAudioFormatLinearPCM = fourCC("lpcm");

inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(fourCC("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError = static_cast<OSStatus>(fourCC("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCC("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(fourCC("!dev"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(fourCC("what"));
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCC("stop"));

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector = 0;
    AudioObjectPropertyScope mScope = kAudioObjectPropertyScopeGlobal;
    AudioObjectPropertyElement mElement = kAudioObjectPropertyElementMain;
    bool operator==(const AudioObjectPropertyAddress&) const = default;
};

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    uint32_t mFormatID = 0;
    uint32_t mFormatFlags = 0;
    uint32_t mBytesPerPacket = 0;
    uint32_t mFramesPerPacket = 0;
    uint32_t mBytesPerFrame = 0;
    uint32_t mChannelsPerFrame = 0;
    uint32_t mBitsPerChannel = 0;
    uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioBuffer {
    uint32_t mNumberChannels = 0;
    uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};
struct AudioBufferList {
    uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};

using AudioObjectPropertyListenerProc = OSStatus (*)(AudioObjectID object, uint32_t numberAddresses,
                                                     const AudioObjectPropertyAddress* addresses,
                                                     void* clientData);

// One device as a backend describes it.
struct DeviceDescription {
    AudioDeviceID id = 0;
    std::string name;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    uint32_t transportType = 0;
    uint32_t inputDataSource = 0;
    uint32_t outputDataSource = 0;
    uint32_t safetyOffset = 0;
    uint32_t bufferFrameSize = 512;
    double sampleRate = 44100;
};

// What a backend supplies. Calls may come from any thread.
class AudioBackend {
  public:
    virtual ~AudioBackend() = default;
    virtual std::string backendName() const = 0;
    virtual std::vector<DeviceDescription> devices() = 0;
    // 0 when there is no default device in that direction.
    virtual AudioDeviceID defaultDevice(bool input) = 0;
    virtual OSStatus setDefaultDevice(bool input, AudioDeviceID id) = 0;
    virtual OSStatus setBufferFrameSize(AudioDeviceID id, bool input, uint32_t frames) = 0;
    // The backend reports changes (defaults, device list, data sources) through this sink.
    using ChangeSink = std::function<void(AudioObjectID, const AudioObjectPropertyAddress&)>;
    virtual void setChangeSink(ChangeSink sink) = 0;
};

// The hardware objects over one backend, with the notification thread.
class AudioHardware {
  public:
    explicit AudioHardware(std::shared_ptr<AudioBackend> backend);
    ~AudioHardware();
    AudioHardware(const AudioHardware&) = delete;
    AudioHardware& operator=(const AudioHardware&) = delete;

    // The process's hardware: PulseAudio's devices, or none (logged) when no server answers. Only
    // QUILLARAN_AUDIO_DEVICES=simulated puts the simulated devices in their place (for tests).
    static std::shared_ptr<AudioHardware> shared();

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 uint32_t* outSize);
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             uint32_t* ioSize, void* outData);
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, uint32_t size,
                             const void* data);
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerProc proc, void* clientData);
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    AudioObjectPropertyListenerProc proc, void* clientData);

    AudioBackend& backend() { return *backend_; }
    // Waits until every notification queued so far has been delivered (tests); false on time-out.
    bool waitUntilIdle(double timeoutSeconds = 5);

  private:
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc proc;
        void* clientData;
    };
    struct Event {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
    };
    void post(AudioObjectID object, const AudioObjectPropertyAddress& address);
    void run();
    bool findDevice(AudioObjectID id, DeviceDescription* out);

    std::shared_ptr<AudioBackend> backend_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Listener> listeners_;
    std::deque<Event> events_;
    bool delivering_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quill::platform::coreaudio
