#include "platform/coreaudio/CoreAudio.h"

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/coreaudio/PulseAudioBackend.h"
#include "platform/coreaudio/SimulatedAudioBackend.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"

namespace quill::platform::coreaudio {

namespace {

uint32_t bufferListSize(uint32_t buffers) {
    return static_cast<uint32_t>(offsetof(AudioBufferList, mBuffers) + buffers * sizeof(AudioBuffer));
}

bool isDirectional(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

thread_local const AudioHardware* tNotifyingHardware = nullptr;

// What the process has when no sound server answers: no devices, and nothing to switch.
class NoAudioBackend : public AudioBackend {
  public:
    std::string backendName() const override { return "none"; }
    std::vector<DeviceDescription> devices() override { return {}; }
    AudioDeviceID defaultDevice(bool) override { return kAudioObjectUnknown; }
    OSStatus setDefaultDevice(bool, AudioDeviceID) override { return kAudioHardwareBadDeviceError; }
    OSStatus setBufferFrameSize(AudioDeviceID, bool, uint32_t) override {
        return kAudioHardwareBadDeviceError;
    }
    void setChangeSink(ChangeSink) override {}
};

}  // namespace

AudioHardware::AudioHardware(std::shared_ptr<AudioBackend> backend) : backend_(std::move(backend)) {
    thread_ = std::thread([this] { run(); });
    backend_->setChangeSink(
        [this](AudioObjectID object, const AudioObjectPropertyAddress& address) { post(object, address); });
}

AudioHardware::~AudioHardware() {
    backend_->setChangeSink(nullptr);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::shared_ptr<AudioHardware> AudioHardware::shared() {
    static std::shared_ptr<AudioHardware> hardware = [] {
        const char* choice = std::getenv("QUILLARAN_AUDIO_DEVICES");
        std::string want = choice ? choice : "";
        std::shared_ptr<AudioBackend> backend;
        // The simulated devices only when asked for: the user's real devices are never replaced by them.
        if (want == "simulated") {
            backend = SimulatedAudioBackend::withStandardDevices();
        } else {
            if (!want.empty() && want != "pulse")
                sysLog("sound devices: unknown QUILLARAN_AUDIO_DEVICES value \"%s\" (pulse or simulated)",
                       want.c_str());
            backend = PulseAudioBackend::connect();
            if (!backend) {
                sysLog("sound devices: no PulseAudio server answers; no sound devices");
                backend = std::make_shared<NoAudioBackend>();
            }
        }
        return std::make_shared<AudioHardware>(backend);
    }();
    return hardware;
}

bool AudioHardware::findDevice(AudioObjectID id, DeviceDescription* out) {
    if (id == kAudioObjectUnknown || id == kAudioObjectSystemObject) return false;
    for (DeviceDescription& d : backend_->devices()) {
        if (d.id == id) {
            *out = std::move(d);
            return true;
        }
    }
    return false;
}

OSStatus AudioHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            uint32_t* outSize) {
    if (!outSize) return kAudioHardwareIllegalOperationError;
    if (object == kAudioObjectSystemObject) {
        switch (address.mSelector) {
            case kAudioHardwarePropertyDevices:
                *outSize = static_cast<uint32_t>(backend_->devices().size() * sizeof(AudioDeviceID));
                return kAudioHardwareNoError;
            case kAudioHardwarePropertyDefaultInputDevice:
            case kAudioHardwarePropertyDefaultOutputDevice:
                *outSize = sizeof(AudioDeviceID);
                return kAudioHardwareNoError;
            case kAudioHardwarePropertyRunLoop:
                *outSize = sizeof(void*);
                return kAudioHardwareNoError;
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    DeviceDescription d;
    if (!findDevice(object, &d)) return kAudioHardwareBadObjectError;
    const bool input = address.mScope == kAudioObjectPropertyScopeInput;
    switch (address.mSelector) {
        case kAudioDevicePropertySafetyOffset:
        case kAudioDevicePropertyBufferFrameSize:
        case kAudioDevicePropertyTransportType:
            *outSize = sizeof(uint32_t);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDataSource:
            if (!isDirectional(address.mScope) || (input ? d.inputDataSource : d.outputDataSource) == 0) {
                return kAudioHardwareUnknownPropertyError;
            }
            *outSize = sizeof(uint32_t);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyStreamFormat:
            *outSize = sizeof(AudioStreamBasicDescription);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyStreamConfiguration:
            *outSize = bufferListSize((input ? d.inputChannels : d.outputChannels) > 0 ? 1 : 0);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyDeviceName:
            *outSize = static_cast<uint32_t>(d.name.size() + 1);
            return kAudioHardwareNoError;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus AudioHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        uint32_t* ioSize, void* outData) {
    if (!ioSize || !outData) return kAudioHardwareIllegalOperationError;
    auto putU32 = [&](uint32_t v) {
        if (*ioSize < sizeof(uint32_t)) return kAudioHardwareBadPropertySizeError;
        std::memcpy(outData, &v, sizeof v);
        *ioSize = sizeof v;
        return kAudioHardwareNoError;
    };
    if (object == kAudioObjectSystemObject) {
        switch (address.mSelector) {
            case kAudioHardwarePropertyDevices: {
                auto list = backend_->devices();
                uint32_t n =
                    std::min<uint32_t>(static_cast<uint32_t>(list.size()), *ioSize / sizeof(AudioDeviceID));
                auto* ids = static_cast<AudioDeviceID*>(outData);
                for (uint32_t i = 0; i < n; ++i)
                    ids[i] = list[i].id;
                *ioSize = n * static_cast<uint32_t>(sizeof(AudioDeviceID));
                return kAudioHardwareNoError;
            }
            case kAudioHardwarePropertyDefaultInputDevice:
                return putU32(backend_->defaultDevice(true));
            case kAudioHardwarePropertyDefaultOutputDevice:
                return putU32(backend_->defaultDevice(false));
            case kAudioHardwarePropertyRunLoop:
                if (*ioSize < sizeof(void*)) return kAudioHardwareBadPropertySizeError;
                std::memset(outData, 0, sizeof(void*));
                *ioSize = sizeof(void*);
                return kAudioHardwareNoError;
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    DeviceDescription d;
    if (!findDevice(object, &d)) return kAudioHardwareBadObjectError;
    const bool input = address.mScope == kAudioObjectPropertyScopeInput;
    const uint32_t channels = input ? d.inputChannels : d.outputChannels;
    switch (address.mSelector) {
        case kAudioDevicePropertySafetyOffset:
            return putU32(d.safetyOffset);
        case kAudioDevicePropertyBufferFrameSize:
            return putU32(d.bufferFrameSize);
        case kAudioDevicePropertyTransportType:
            return putU32(d.transportType);
        case kAudioDevicePropertyDataSource: {
            uint32_t source = input ? d.inputDataSource : d.outputDataSource;
            if (!isDirectional(address.mScope) || source == 0) return kAudioHardwareUnknownPropertyError;
            return putU32(source);
        }
        case kAudioDevicePropertyStreamFormat: {
            if (*ioSize < sizeof(AudioStreamBasicDescription)) return kAudioHardwareBadPropertySizeError;
            AudioStreamBasicDescription f;
            f.mSampleRate = d.sampleRate;
            f.mFormatID = kAudioFormatLinearPCM;
            f.mFormatFlags = 1 | 8;  // float, packed
            f.mChannelsPerFrame = channels;
            f.mBitsPerChannel = 32;
            f.mBytesPerFrame = f.mBytesPerPacket = 4 * channels;
            f.mFramesPerPacket = 1;
            std::memcpy(outData, &f, sizeof f);
            *ioSize = sizeof f;
            return kAudioHardwareNoError;
        }
        case kAudioDevicePropertyStreamConfiguration: {
            const uint32_t buffers = channels > 0 ? 1 : 0;
            if (*ioSize < bufferListSize(buffers)) return kAudioHardwareBadPropertySizeError;
            auto* list = static_cast<AudioBufferList*>(outData);
            list->mNumberBuffers = buffers;
            if (buffers) list->mBuffers[0] = AudioBuffer{channels, 0, nullptr};
            *ioSize = bufferListSize(buffers);
            return kAudioHardwareNoError;
        }
        case kAudioDevicePropertyDeviceName: {
            if (*ioSize == 0) return kAudioHardwareBadPropertySizeError;
            const size_t n = std::min<size_t>(d.name.size(), *ioSize - 1);
            std::memcpy(outData, d.name.data(), n);
            static_cast<char*>(outData)[n] = '\0';
            *ioSize = static_cast<uint32_t>(n + 1);
            return kAudioHardwareNoError;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus AudioHardware::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        uint32_t size, const void* data) {
    if (!data) return kAudioHardwareIllegalOperationError;
    if (object == kAudioObjectSystemObject) {
        switch (address.mSelector) {
            case kAudioHardwarePropertyDefaultInputDevice:
            case kAudioHardwarePropertyDefaultOutputDevice: {
                if (size != sizeof(AudioDeviceID)) return kAudioHardwareBadPropertySizeError;
                AudioDeviceID id;
                std::memcpy(&id, data, sizeof id);
                return backend_->setDefaultDevice(
                    address.mSelector == kAudioHardwarePropertyDefaultInputDevice, id);
            }
            case kAudioHardwarePropertyRunLoop:
                // Listeners always run on this layer's own notification thread; any run loop is accepted.
                return size == sizeof(void*) ? kAudioHardwareNoError : kAudioHardwareBadPropertySizeError;
            default:
                return kAudioHardwareIllegalOperationError;
        }
    }
    DeviceDescription d;
    if (!findDevice(object, &d)) return kAudioHardwareBadObjectError;
    if (address.mSelector == kAudioDevicePropertyBufferFrameSize) {
        if (size != sizeof(uint32_t)) return kAudioHardwareBadPropertySizeError;
        uint32_t frames;
        std::memcpy(&frames, data, sizeof frames);
        return backend_->setBufferFrameSize(object, address.mScope == kAudioObjectPropertyScopeInput, frames);
    }
    return kAudioHardwareIllegalOperationError;
}

OSStatus AudioHardware::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            AudioObjectPropertyListenerProc proc, void* clientData) {
    if (!proc) return kAudioHardwareIllegalOperationError;
    if (object == kAudioObjectUnknown) return kAudioHardwareBadObjectError;
    std::lock_guard lock(mutex_);
    for (const Listener& l : listeners_) {
        if (l.object == object && l.address == address && l.proc == proc && l.clientData == clientData) {
            return kAudioHardwareNoError;
        }
    }
    listeners_.push_back({object, address, proc, clientData});
    return kAudioHardwareNoError;
}

OSStatus AudioHardware::removePropertyListener(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               AudioObjectPropertyListenerProc proc, void* clientData) {
    std::lock_guard lock(mutex_);
    std::erase_if(listeners_, [&](const Listener& l) {
        return l.object == object && l.address == address && l.proc == proc && l.clientData == clientData;
    });
    return kAudioHardwareNoError;
}

void AudioHardware::post(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        events_.push_back({object, address});
    }
    cv_.notify_all();
}

void AudioHardware::run() {
    platform::foundation::setCurrentThreadName("coreaudio-notify");
    tNotifyingHardware = this;
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return stopping_ || !events_.empty(); });
        if (stopping_) return;
        Event e = events_.front();
        events_.pop_front();
        std::vector<Listener> matching;
        for (const Listener& l : listeners_) {
            if (l.object == e.object && l.address == e.address) matching.push_back(l);
        }
        delivering_ = true;
        lock.unlock();
        for (const Listener& l : matching)
            l.proc(e.object, 1, &e.address, l.clientData);
        lock.lock();
        delivering_ = false;
        cv_.notify_all();
    }
}

bool AudioHardware::waitUntilIdle(double timeoutSeconds) {
    if (tNotifyingHardware == this) return false;
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                        [&] { return stopping_ || (events_.empty() && !delivering_); });
}

}  // namespace quill::platform::coreaudio
