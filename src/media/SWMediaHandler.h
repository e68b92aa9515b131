#pragma once
// The media pipeline of one mirroring run: screen capture -> raw video queue -> H.264 encoder thread ->
// encoded video queue, and sound capture -> raw audio queue -> MP3 encoder thread -> encoded audio
// queue. The session controller's send thread drains the two encoded queues into the receiver link.
// A handler is made for one start of mirroring and never restarted.

#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "media/SWAudioRecorder.h"
#include "media/SWVideoRecorder.h"

namespace quill {

class SoundflowerManager;
class AudioDeviceManager;

// The parts a handler works with; the defaults are the process's own.
struct SWMediaHandlerParts {
    // Where the screen comes from and how the still-frame policy is timed.
    SWVideoRecorder::Options video;
    // The sound input of each run; empty: the system's default input.
    SWAudioRecorder::DeviceProvider audioDevices;
    // Stamps of the sound packets; null: the process's media clock.
    SWTimeUtils* clock = nullptr;
    // The process's singletons when null; the audio device manager defaults to the sound-flower
    // manager's.
    SoundflowerManager* soundflowerManager = nullptr;
    AudioDeviceManager* audioDeviceManager = nullptr;
    // Where the user's sound devices were saved; empty: the settings' ".soundflower".
    std::string soundflowerSettingFile;
};

class SWMediaHandler {
  public:
    static constexpr int64_t kQueueCapacity = 3;
    static constexpr unsigned kTargetFrameRate = 25;

    static std::shared_ptr<SWMediaHandler> create();
    static std::shared_ptr<SWMediaHandler> create(SWMediaHandlerParts parts);
    // Stops what still runs; items left in the queues go to their destroy actions.
    ~SWMediaHandler();
    SWMediaHandler(const SWMediaHandler&) = delete;
    SWMediaHandler& operator=(const SWMediaHandler&) = delete;

    // Wires the queues to the recorders and starts screen capture, and sound capture when the loopback
    // device is the default sound device at this moment. Only the first call does anything.
    void startMedia();
    // Stops the four queues (every waiting thread returns at once), ends both recorders (waiting for
    // their encoder threads), turns the sound guard off, puts the saved sound devices back and deletes
    // the saved file. Only the first call does anything; a handler never started only restores sound.
    void stopMedia();
    // The next captured frame is marked as a key frame.
    void setNeedsKeyFrame(bool needs);

    bool isCapturingSound() const;

    const std::shared_ptr<RawAudioQueue>& audioInputQueue() const { return audioInputQueue_; }
    const std::shared_ptr<RawVideoQueue>& videouInputQueue() const { return videouInputQueue_; }
    const std::shared_ptr<EncodedAudioQueue>& audioOutputQueue() const { return audioOutputQueue_; }
    const std::shared_ptr<EncodedVideoQueue>& videoOutputQueue() const { return videoOutputQueue_; }
    SWAudioRecorder& audioRecorder() { return *audioRecorder_; }
    SWVideoRecorder& videoRecorder() { return *videoRecorder_; }

  private:
    explicit SWMediaHandler(SWMediaHandlerParts parts);
    SoundflowerManager& soundflowerManager();
    AudioDeviceManager& audioDeviceManager();

    SWMediaHandlerParts parts_;
    std::shared_ptr<SWAudioRecorder> audioRecorder_;
    std::shared_ptr<SWVideoRecorder> videoRecorder_;
    std::shared_ptr<RawAudioQueue> audioInputQueue_;
    std::shared_ptr<RawVideoQueue> videouInputQueue_;
    std::shared_ptr<EncodedAudioQueue> audioOutputQueue_;
    std::shared_ptr<EncodedVideoQueue> videoOutputQueue_;

    // Serialises startMedia() and stopMedia().
    mutable std::mutex mutex_;
    bool started_ = false;
    bool stopped_ = false;
    bool capturingSound_ = false;
    // Screen capture starts on a thread of its own, since it may wait for a display; stopMedia() ends
    // that start through its cancel.
    std::thread videoStarter_;
    std::stop_source videoStart_;
};

}  // namespace quill
