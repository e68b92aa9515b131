#include "audio/AudioDevice.h"

#include <vector>

namespace quill {

using namespace platform::coreaudio;

AudioDevice::AudioDevice(std::shared_ptr<AudioHardware> hardware) : hardware_(std::move(hardware)) {}

AudioObjectPropertyAddress AudioDevice::address(uint32_t selector) const {
    return {selector, mIsInput ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput,
            kAudioObjectPropertyElementMain};
}

uint32_t AudioDevice::readU32(uint32_t selector) {
    uint32_t value = 0;
    uint32_t size = sizeof value;
    if (hardware_->getPropertyData(mID, address(selector), &size, &value) != kAudioHardwareNoError) return 0;
    return value;
}

void AudioDevice::Init(AudioDeviceID id, bool isInput) {
    mID = id;
    mIsInput = isInput;
    if (mID == kAudioObjectUnknown) return;
    mSafetyOffset = readU32(kAudioDevicePropertySafetyOffset);
    mBufferSizeFrames = readU32(kAudioDevicePropertyBufferFrameSize);
    uint32_t size = sizeof mFormat;
    if (hardware_->getPropertyData(mID, address(kAudioDevicePropertyStreamFormat), &size, &mFormat) !=
        kAudioHardwareNoError) {
        mFormat = {};
    }
}

uint32_t AudioDevice::CountChannels() {
    uint32_t size = 0;
    if (hardware_->getPropertyDataSize(mID, address(kAudioDevicePropertyStreamConfiguration), &size) !=
            kAudioHardwareNoError ||
        size < sizeof(uint32_t)) {
        return 0;
    }
    // Room for the header and whole buffers, aligned for the list's members.
    std::vector<AudioBuffer> block((size + sizeof(AudioBuffer) - 1) / sizeof(AudioBuffer) + 1);
    auto* list = reinterpret_cast<AudioBufferList*>(block.data());
    if (hardware_->getPropertyData(mID, address(kAudioDevicePropertyStreamConfiguration), &size, list) !=
        kAudioHardwareNoError) {
        return 0;
    }
    uint32_t channels = 0;
    for (uint32_t i = 0; i < list->mNumberBuffers; ++i)
        channels += list->mBuffers[i].mNumberChannels;
    return channels;
}

char* AudioDevice::GetName(char* buffer, uint32_t length) {
    if (length == 0) return buffer;
    buffer[0] = '\0';
    uint32_t size = length;
    if (hardware_->getPropertyData(mID, address(kAudioDevicePropertyDeviceName), &size, buffer) !=
        kAudioHardwareNoError) {
        buffer[0] = '\0';
    }
    buffer[length - 1] = '\0';
    return buffer;
}

OSStatus AudioDevice::SetBufferSize(uint32_t frames) {
    OSStatus status =
        hardware_->setPropertyData(mID, address(kAudioDevicePropertyBufferFrameSize), sizeof frames, &frames);
    mBufferSizeFrames = readU32(kAudioDevicePropertyBufferFrameSize);
    return status;
}

}  // namespace quill
