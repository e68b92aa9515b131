#pragma once
// Sound input devices. The default input is the sound server's default source. QUILLARAN_SOUND=synthetic
// puts a steady tone paced by the clock in its place, for tests; it is never used otherwise, and without
// a sound server there is no input. Either way the samples come as 44.1 kHz, 2 channels, interleaved
// float32.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/foundation/Error.h"

namespace quill::platform::avcapture {

// An open input. read() blocks until frames frames have been captured into dst (frames * 2 floats).
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;
    // False on failure (error filled) or when interrupted.
    virtual bool read(float* dst, size_t frames, Error* error) = 0;
    // Makes a blocked or later read() return at once, false, whatever the device does; called from
    // another thread.
    virtual void interrupt() = 0;
};

class CaptureDevice {
  public:
    enum class Kind { Pulse, Synthetic };

    virtual ~CaptureDevice() = default;

    // The default sound input as QUILLARAN_SOUND chooses it, or null when there is none (logged once
    // per call): "pulse" or unset, the sound server's when one answers; "synthetic", the tone.
    static std::shared_ptr<CaptureDevice> defaultAudioDevice();
    // The default source of a PulseAudio (or PipeWire) server; an empty server means the usual one
    // (PULSE_SERVER or the per-user socket).
    static std::shared_ptr<CaptureDevice> pulse(std::string server = {});
    // A sine tone of the given frequency and peak amplitude on both channels, delivered in real time.
    static std::shared_ptr<CaptureDevice> synthetic(double frequency = 1000.0, double amplitude = 0.5);
    // True when a PulseAudio server accepts a connection at server (empty: the usual one) within two
    // seconds.
    static bool pulseServerAnswers(const std::string& server = {});

    virtual Kind kind() const = 0;
    virtual std::string name() const = 0;
    // Opens the input for recording. framesPerRead is a hint for the latency the reader wants. May
    // return before the input is ready: the first read() waits for it (and interrupt() ends that wait).
    virtual std::unique_ptr<CaptureStream> open(size_t framesPerRead, Error* error) = 0;
};

using CaptureDevicePtr = std::shared_ptr<CaptureDevice>;

}  // namespace quill::platform::avcapture
