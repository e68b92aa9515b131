// The PulseAudio input (PipeWire answers the same protocol): a record stream on the server's default
// source, asking the server for 44.1 kHz, 2-channel float32 so that it resamples and converts whatever
// the source offers.

#include <pulse/error.h>
#include <pulse/simple.h>

#include <cstdlib>
#include <cstring>

#include "platform/avcapture/CaptureDevice.h"
#include "platform/avcapture/SampleBuffer.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::avcapture {

using foundation::kLocalizedDescriptionKey;
using foundation::kLocalizedFailureReasonKey;

namespace {

constexpr const char* kErrorDomain = "QuillaranSoundCaptureErrorDomain";

Error pulseError(int code, const std::string& reason) {
    return Error(kErrorDomain, code,
                 {{kLocalizedDescriptionKey, pa_strerror(code)}, {kLocalizedFailureReasonKey, reason}});
}

pa_simple* openRecord(const std::string& server, size_t framesPerRead, int* err) {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = kSampleRate;
    spec.channels = kChannelCount;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(framesPerRead * kBytesPerFrame);
    return pa_simple_new(server.empty() ? nullptr : server.c_str(), "Quillaran", PA_STREAM_RECORD, nullptr,
                         "system sound", &spec, nullptr, &attr, err);
}

class PulseStream : public CaptureStream {
  public:
    explicit PulseStream(pa_simple* s) : s_(s) {}
    ~PulseStream() override { pa_simple_free(s_); }

    bool read(float* dst, size_t frames, Error* error) override {
        int err = 0;
        if (pa_simple_read(s_, dst, frames * kBytesPerFrame, &err) < 0) {
            if (error) *error = pulseError(err, "Error in pa_simple_read() function");
            return false;
        }
        return true;
    }
    // A read returns once the server has delivered one buffer (tens of milliseconds), which is how
    // soon a stop takes effect; the simple API has no way to cut it short.

  private:
    pa_simple* s_;
};

class PulseDevice : public CaptureDevice {
  public:
    explicit PulseDevice(std::string server) : server_(std::move(server)) {}
    Kind kind() const override { return Kind::Pulse; }
    std::string name() const override {
        return server_.empty() ? "default sound source" : "default sound source of " + server_;
    }
    std::unique_ptr<CaptureStream> open(size_t framesPerRead, Error* error) override {
        int err = 0;
        pa_simple* s = openRecord(server_, framesPerRead, &err);
        if (!s) {
            if (error) *error = pulseError(err, "Error in pa_simple_new() function");
            return nullptr;
        }
        return std::make_unique<PulseStream>(s);
    }

  private:
    std::string server_;
};

}  // namespace

std::shared_ptr<CaptureDevice> CaptureDevice::pulse(std::string server) {
    return std::make_shared<PulseDevice>(std::move(server));
}

bool CaptureDevice::pulseServerAnswers(const std::string& server) {
    int err = 0;
    pa_simple* s = openRecord(server, 1024, &err);
    if (!s) return false;
    pa_simple_free(s);
    return true;
}

std::shared_ptr<CaptureDevice> CaptureDevice::defaultAudioDevice() {
    const char* env = std::getenv("QUILLARAN_SOUND");
    const std::string choice = env ? env : "";
    if (choice == "synthetic") return synthetic();
    if (choice == "pulse") {
        if (pulseServerAnswers()) return pulse();
        sysLog("sound capture: QUILLARAN_SOUND=pulse but no sound server answers; no sound input");
        return nullptr;
    }
    if (!choice.empty()) {
        sysLog(
            "sound capture: unknown QUILLARAN_SOUND value \"%s\" (pulse or synthetic); choosing by default",
            choice.c_str());
    }
    if (pulseServerAnswers()) return pulse();
    sysLog("sound capture: no sound server answers; using the synthetic tone");
    return synthetic();
}

}  // namespace quill::platform::avcapture
