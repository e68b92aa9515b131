// The PulseAudio input (PipeWire answers the same protocol): a record stream on the server's default
// source, asking the server for 44.1 kHz, 2-channel float32 so that it resamples and converts whatever
// the source offers. The asynchronous API runs on a threaded main loop of its own; a reader waits on a
// condition that the loop's callbacks and interrupt() signal, so a stop ends a read at once, even when
// the server has stopped answering.

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/avcapture/CaptureDevice.h"
#include "platform/avcapture/SampleBuffer.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::avcapture {

using foundation::kLocalizedDescriptionKey;
using foundation::kLocalizedFailureReasonKey;

namespace {

constexpr const char* kErrorDomain = "QuillaranSoundCaptureErrorDomain";
// How long pulseServerAnswers() waits for the server to accept a connection.
constexpr double kAnswerTimeout = 2.0;

Error pulseError(int code, const std::string& reason) {
    return Error(kErrorDomain, code,
                 {{kLocalizedDescriptionKey, pa_strerror(code)}, {kLocalizedFailureReasonKey, reason}});
}

// A connection to a server on a threaded main loop, and optionally a record stream on its default
// source. Callbacks run on the loop's thread and only note that something happened; the owner's thread
// looks at the state under the loop's lock.
class PulseConnection {
  public:
    PulseConnection(const std::string& server, size_t framesPerRead, bool record)
        : framesPerRead_(framesPerRead), record_(record) {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) return;
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Quillaran");
        if (!context_) return;
        pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);
        // Fails at once for a bad server string; otherwise the outcome comes through the callback.
        if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                               nullptr) < 0) {
            startError_ = pa_context_errno(context_);
            return;
        }
        if (pa_threaded_mainloop_start(loop_) < 0) return;
        running_ = true;
    }

    ~PulseConnection() {
        if (loop_ && running_) pa_threaded_mainloop_lock(loop_);
        if (stream_) {
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        if (loop_ && running_) {
            pa_threaded_mainloop_unlock(loop_);
            pa_threaded_mainloop_stop(loop_);
        }
        if (loop_) pa_threaded_mainloop_free(loop_);
    }

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Waits until the connection (and the stream, when recording) is up, it failed, interrupt() was
    // called, or the deadline passed (none when negative). True when up.
    bool waitUntilReady(double timeoutSeconds, Error* error) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
        for (;;) {
            const uint64_t seen = events();
            const State state = check(error);
            if (state != State::Pending) return state == State::Ready;
            if (!waitForEvent(seen, timeoutSeconds < 0 ? nullptr : &deadline)) {
                if (error) *error = pulseError(PA_ERR_TIMEOUT, "Error in pa_context_connect() function");
                return false;
            }
            if (isInterrupted()) return interruptedError(error);
        }
    }

    // Fills dst with frames frames of samples; false on failure or interrupt().
    bool read(float* dst, size_t frames, Error* error) {
        const size_t want = frames * kBytesPerFrame;
        for (;;) {
            if (isInterrupted()) return interruptedError(error);
            const uint64_t seen = events();
            if (pending_.size() < want) {
                const State state = check(error);
                if (state == State::Failed) return false;
                if (state == State::Ready) takeAvailable();
            }
            if (pending_.size() >= want) {
                std::memcpy(dst, pending_.data(), want);
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(want));
                return true;
            }
            waitForEvent(seen, nullptr);
        }
    }

    void interrupt() {
        {
            std::lock_guard lock(mutex_);
            interrupted_ = true;
        }
        cv_.notify_all();
    }

  private:
    enum class State { Pending, Ready, Failed };

    static void onContextState(pa_context* context, void* self) {
        auto* me = static_cast<PulseConnection*>(self);
        if (me->record_ && pa_context_get_state(context) == PA_CONTEXT_READY && !me->stream_)
            me->openStream();
        me->noteEvent();
    }
    static void onStreamState(pa_stream*, void* self) { static_cast<PulseConnection*>(self)->noteEvent(); }
    static void onStreamRead(pa_stream*, size_t, void* self) {
        static_cast<PulseConnection*>(self)->noteEvent();
    }

    // On the loop's thread, under its lock.
    void openStream() {
        pa_sample_spec spec{};
        spec.format = PA_SAMPLE_FLOAT32LE;
        spec.rate = kSampleRate;
        spec.channels = kChannelCount;
        stream_ = pa_stream_new(context_, "system sound", &spec, nullptr);
        if (!stream_) return;
        pa_stream_set_state_callback(stream_, &PulseConnection::onStreamState, this);
        pa_stream_set_read_callback(stream_, &PulseConnection::onStreamRead, this);
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(-1);
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(framesPerRead_ * kBytesPerFrame);
        pa_stream_connect_record(stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY);
    }

    // The state of the connection and stream, looked at under the loop's lock.
    State check(Error* error) {
        if (!running_) {
            if (error)
                *error = pulseError(startError_ ? startError_ : PA_ERR_INTERNAL,
                                    "Error in pa_context_connect() function");
            return State::Failed;
        }
        pa_threaded_mainloop_lock(loop_);
        State state = State::Pending;
        const pa_context_state_t cs = pa_context_get_state(context_);
        if (cs == PA_CONTEXT_FAILED || cs == PA_CONTEXT_TERMINATED) {
            if (error)
                *error = pulseError(pa_context_errno(context_), "Error in pa_context_connect() function");
            state = State::Failed;
        } else if (cs == PA_CONTEXT_READY && !record_) {
            state = State::Ready;
        } else if (cs == PA_CONTEXT_READY && !stream_) {
            if (error) *error = pulseError(pa_context_errno(context_), "Error in pa_stream_new() function");
            state = State::Failed;
        } else if (stream_) {
            const pa_stream_state_t ss = pa_stream_get_state(stream_);
            if (ss == PA_STREAM_FAILED || ss == PA_STREAM_TERMINATED) {
                if (error)
                    *error = pulseError(pa_context_errno(context_),
                                        "Error in pa_stream_connect_record() function");
                state = State::Failed;
            } else if (ss == PA_STREAM_READY) {
                state = State::Ready;
            }
        }
        pa_threaded_mainloop_unlock(loop_);
        return state;
    }

    // Moves what the server has delivered into pending_.
    void takeAvailable() {
        pa_threaded_mainloop_lock(loop_);
        while (pa_stream_readable_size(stream_) > 0) {
            const void* data = nullptr;
            size_t n = 0;
            if (pa_stream_peek(stream_, &data, &n) < 0 || n == 0) break;
            const auto* bytes = static_cast<const uint8_t*>(data);
            // A hole in the stream reads as silence.
            if (bytes) {
                pending_.insert(pending_.end(), bytes, bytes + n);
            } else {
                pending_.insert(pending_.end(), n, 0);
            }
            pa_stream_drop(stream_);
        }
        pa_threaded_mainloop_unlock(loop_);
    }

    void noteEvent() {
        {
            std::lock_guard lock(mutex_);
            ++events_;
        }
        cv_.notify_all();
    }
    uint64_t events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool isInterrupted() {
        std::lock_guard lock(mutex_);
        return interrupted_;
    }
    // Waits for an event after `seen` or an interrupt; false when the deadline passed first. Never holds
    // mutex_ while taking the loop's lock, and the loop's callbacks take mutex_ alone.
    bool waitForEvent(uint64_t seen, const std::chrono::steady_clock::time_point* deadline) {
        std::unique_lock lock(mutex_);
        auto happened = [&] { return events_ != seen || interrupted_; };
        if (!deadline) {
            cv_.wait(lock, happened);
            return true;
        }
        return cv_.wait_until(lock, *deadline, happened);
    }
    static bool interruptedError(Error* error) {
        if (error) *error = Error(kErrorDomain, 1, {{kLocalizedDescriptionKey, "interrupted"}});
        return false;
    }

    const size_t framesPerRead_;
    const bool record_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;  // made on the loop's thread once the context is ready
    bool running_ = false;
    int startError_ = 0;
    std::vector<uint8_t> pending_;  // delivered bytes not yet read; the reader's thread only

    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t events_ = 0;
    bool interrupted_ = false;
};

class PulseStream : public CaptureStream {
  public:
    PulseStream(const std::string& server, size_t framesPerRead) : connection_(server, framesPerRead, true) {}
    bool read(float* dst, size_t frames, Error* error) override {
        return connection_.read(dst, frames, error);
    }
    void interrupt() override { connection_.interrupt(); }

  private:
    PulseConnection connection_;
};

class PulseDevice : public CaptureDevice {
  public:
    explicit PulseDevice(std::string server) : server_(std::move(server)) {}
    Kind kind() const override { return Kind::Pulse; }
    std::string name() const override {
        return server_.empty() ? "default sound source" : "default sound source of " + server_;
    }
    // Returns at once: connecting goes on in the background, and the first read waits for it (a stop
    // ends that wait too).
    std::unique_ptr<CaptureStream> open(size_t framesPerRead, Error*) override {
        return std::make_unique<PulseStream>(server_, framesPerRead);
    }

  private:
    std::string server_;
};

}  // namespace

std::shared_ptr<CaptureDevice> CaptureDevice::pulse(std::string server) {
    return std::make_shared<PulseDevice>(std::move(server));
}

bool CaptureDevice::pulseServerAnswers(const std::string& server) {
    PulseConnection connection(server, 0, false);
    return connection.waitUntilReady(kAnswerTimeout, nullptr);
}

std::shared_ptr<CaptureDevice> CaptureDevice::defaultAudioDevice() {
    const char* env = std::getenv("QUILLARAN_SOUND");
    const std::string choice = env ? env : "";
    // The tone only when asked for: a user's receiver must never play it in place of the real sound.
    if (choice == "synthetic") return synthetic();
    if (choice == "pulse") {
        if (pulseServerAnswers()) return pulse();
        sysLog("sound capture: QUILLARAN_SOUND=pulse but no sound server answers; no sound input");
        return nullptr;
    }
    if (!choice.empty()) {
        sysLog(
            "sound capture: unknown QUILLARAN_SOUND value \"%s\" (pulse or synthetic); using the sound "
            "server",
            choice.c_str());
    }
    if (pulseServerAnswers()) return pulse();
    sysLog("sound capture: no sound server answers; no sound input");
    return nullptr;
}

}  // namespace quill::platform::avcapture
