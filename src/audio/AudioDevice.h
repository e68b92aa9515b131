#pragma once
// One sound device seen in one direction: reads its channel count, name and stream settings from the
// hardware objects.

#include <cstdint>
#include <memory>

#include "platform/coreaudio/CoreAudio.h"

namespace quill {

using platform::coreaudio::AudioDeviceID;
using platform::coreaudio::AudioHardware;

class AudioDevice {
  public:
    explicit AudioDevice(std::shared_ptr<AudioHardware> hardware);

    // Stores the id and direction; for a real id reads the safety offset, buffer frame size and stream
    // format of that direction (0 where a read fails).
    void Init(AudioDeviceID id, bool isInput);
    // The channels of all buffers of the direction's stream configuration; 0 when it cannot be read.
    uint32_t CountChannels();
    // Reads the device's name into buffer (NUL-terminated, cut to length); "" when the read fails.
    char* GetName(char* buffer, uint32_t length);
    // Writes the buffer frame size and reads it back; returns the hardware's status of the write.
    platform::coreaudio::OSStatus SetBufferSize(uint32_t frames);

    AudioDeviceID deviceID() const { return mID; }
    bool isInput() const { return mIsInput; }
    uint32_t safetyOffset() const { return mSafetyOffset; }
    uint32_t bufferSizeFrames() const { return mBufferSizeFrames; }
    const platform::coreaudio::AudioStreamBasicDescription& format() const { return mFormat; }

  private:
    platform::coreaudio::AudioObjectPropertyAddress address(uint32_t selector) const;
    uint32_t readU32(uint32_t selector);

    std::shared_ptr<AudioHardware> hardware_;
    AudioDeviceID mID = 0;
    bool mIsInput = false;
    uint32_t mSafetyOffset = 0;
    uint32_t mBufferSizeFrames = 0;
    platform::coreaudio::AudioStreamBasicDescription mFormat{};
};

}  // namespace quill
