#include "platform/coreaudio/SimulatedAudioBackend.h"

#include <algorithm>

namespace quill::platform::coreaudio {

std::shared_ptr<SimulatedAudioBackend> SimulatedAudioBackend::withStandardDevices() {
    auto b = std::make_shared<SimulatedAudioBackend>();
    b->addDevice({2, "Built-in Microphone", 2, 0, kAudioDeviceTransportTypeBuiltIn, fourCC("imic"), 0});
    b->addDevice({3, "Built-in Output", 0, 2, kAudioDeviceTransportTypeBuiltIn, 0, fourCC("ispk")});
    b->defaultInput_ = 2;
    b->defaultOutput_ = 3;
    return b;
}

std::vector<DeviceDescription> SimulatedAudioBackend::devices() {
    std::lock_guard lock(mutex_);
    return devices_;
}

AudioDeviceID SimulatedAudioBackend::defaultDevice(bool input) {
    std::lock_guard lock(mutex_);
    return input ? defaultInput_ : defaultOutput_;
}

OSStatus SimulatedAudioBackend::setDefaultDevice(bool input, AudioDeviceID id) {
    return applyDefault(input, id, false);
}

OSStatus SimulatedAudioBackend::applyDefault(bool input, AudioDeviceID id, bool fromUser) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        if (!fromUser && (refused_.contains(0) || refused_.contains(id)))
            return kAudioHardwareIllegalOperationError;
        auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d.id == id; });
        if (it == devices_.end()) return kAudioHardwareBadDeviceError;
        if ((input ? it->inputChannels : it->outputChannels) == 0) return kAudioHardwareIllegalOperationError;
        AudioDeviceID& current = input ? defaultInput_ : defaultOutput_;
        changed = current != id;
        current = id;
        if (!fromUser) ++writes_[input ? 1 : 0];
    }
    if (changed) {
        notify(kAudioObjectSystemObject, {input ? kAudioHardwarePropertyDefaultInputDevice
                                                : kAudioHardwarePropertyDefaultOutputDevice});
    }
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioBackend::setBufferFrameSize(AudioDeviceID id, bool /*input*/, uint32_t frames) {
    std::lock_guard lock(mutex_);
    for (auto& d : devices_) {
        if (d.id == id) {
            if (frames < 14 || frames > 4096) return kAudioHardwareIllegalOperationError;
            d.bufferFrameSize = frames;
            return kAudioHardwareNoError;
        }
    }
    return kAudioHardwareBadObjectError;
}

void SimulatedAudioBackend::setChangeSink(ChangeSink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

void SimulatedAudioBackend::notify(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    ChangeSink sink;
    {
        std::lock_guard lock(mutex_);
        sink = sink_;
    }
    if (sink) sink(object, address);
}

void SimulatedAudioBackend::addDevice(const DeviceDescription& device) {
    {
        std::lock_guard lock(mutex_);
        devices_.push_back(device);
    }
    notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices});
}

void SimulatedAudioBackend::removeDevice(AudioDeviceID id) {
    bool input = false, output = false;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(devices_, [&](const auto& d) { return d.id == id; });
        if (defaultInput_ == id) {
            defaultInput_ = 0;
            input = true;
        }
        if (defaultOutput_ == id) {
            defaultOutput_ = 0;
            output = true;
        }
    }
    notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices});
    if (input) notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice});
    if (output) notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice});
}

void SimulatedAudioBackend::changeDefaultDevice(bool input, AudioDeviceID id) {
    applyDefault(input, id, true);
}

void SimulatedAudioBackend::changeDataSource(AudioDeviceID id, bool input, uint32_t source) {
    {
        std::lock_guard lock(mutex_);
        for (auto& d : devices_) {
            if (d.id == id) (input ? d.inputDataSource : d.outputDataSource) = source;
        }
    }
    notify(id, {kAudioDevicePropertyDataSource,
                input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput});
}

void SimulatedAudioBackend::refuseSwitchesTo(AudioDeviceID id) {
    std::lock_guard lock(mutex_);
    refused_.insert(id);
}

void SimulatedAudioBackend::allowSwitches() {
    std::lock_guard lock(mutex_);
    refused_.clear();
}

int SimulatedAudioBackend::defaultWrites(bool input) const {
    std::lock_guard lock(mutex_);
    return writes_[input ? 1 : 0];
}

}  // namespace quill::platform::coreaudio
