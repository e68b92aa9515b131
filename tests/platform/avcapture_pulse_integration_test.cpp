#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/avcapture/CaptureSession.h"
#include "support/PrivatePulseServer.h"
#include "support/SampleBufferCollector.h"
#include "support/ToneAnalysis.h"

namespace quill::platform::avcapture {
namespace {

using namespace std::chrono_literals;

using Collector = testing::SampleBufferCollector;

// Plays a tone into the server's sink, at 48 kHz 16-bit so that the server has to convert for us.
class TonePlayer {
  public:
    TonePlayer(const std::string& server, double frequency) {
        pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 2};
        int err = 0;
        s_ = pa_simple_new(server.c_str(), "tone", PA_STREAM_PLAYBACK, testing::PrivatePulseServer::kSinkName,
                           "tone", &spec, nullptr, nullptr, &err);
        if (!s_) return;
        thread_ = std::thread([this, frequency] {
            std::vector<int16_t> chunk(2 * 480);
            uint64_t n = 0;
            while (!stop_) {
                for (size_t i = 0; i < 480; ++i, ++n) {
                    const double v =
                        0.4 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(n) / 48000);
                    chunk[2 * i] = chunk[2 * i + 1] = static_cast<int16_t>(v * 32767);
                }
                int e = 0;
                if (pa_simple_write(s_, chunk.data(), chunk.size() * sizeof(int16_t), &e) < 0) break;
            }
        });
    }
    ~TonePlayer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (s_) pa_simple_free(s_);
    }
    bool ok() const { return s_ != nullptr; }

  private:
    pa_simple* s_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(AVCapturePulseTest, RecordsTheDefaultSourceAsStereoFloatAt44100) {
    testing::PrivatePulseServer server;
    if (!server.available()) GTEST_SKIP() << "no private sound server: " << server.failure();
    EXPECT_TRUE(CaptureDevice::pulseServerAnswers(server.server()));

    TonePlayer player(server.server(), 660.0);
    ASSERT_TRUE(player.ok());
    auto collector = std::make_shared<Collector>();
    CaptureSession session;
    session.setInput(CaptureDevice::pulse(server.server()));
    session.setSampleBufferDelegate(collector, nullptr);
    session.startRunning();
    // About 1.4 s of sound, bounded.
    ASSERT_TRUE(collector->waitFor(60, 10s));
    const auto before = std::chrono::steady_clock::now();
    session.stopRunning();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);

    std::vector<float> left;
    for (const auto& b : collector->buffers()) {
        ASSERT_EQ(b->frameCount(), CaptureSession::kDefaultFramesPerBuffer);
        for (size_t i = 0; i < b->frameCount(); ++i)
            left.push_back(b->data()[2 * i]);
    }
    // Skip the start, where the source may still be silent, and measure the second half.
    const size_t half = left.size() / 2;
    ASSERT_GT(testing::rms(left.data() + half, left.size() - half), 0.2);
    // Had the samples been taken at the wrong rate or format, the tone would not be 660 Hz.
    EXPECT_NEAR(testing::toneFrequency(left.data() + half, left.size() - half, kSampleRate), 660.0, 3.0);
}

// A sound server that stops answering must not hold up a stop: whether it stalls while the input is
// being read or while it is still connecting, the capture thread ends within 0.2 s.
TEST(AVCapturePulseTest, AStalledServerNeverHoldsUpAStop) {
    testing::PrivatePulseServer server;
    if (!server.available()) GTEST_SKIP() << "no private sound server: " << server.failure();
    for (bool whileReading : {true, false}) {
        SCOPED_TRACE(whileReading ? "stalled while reading" : "stalled while connecting");
        auto collector = std::make_shared<Collector>();
        CaptureSession session;
        session.setInput(CaptureDevice::pulse(server.server()));
        session.setSampleBufferDelegate(collector, nullptr);
        if (!whileReading) server.pause();
        session.startRunning();
        if (whileReading) {
            ASSERT_TRUE(collector->waitFor(2, 10s));
            server.pause();
        }
        const auto before = std::chrono::steady_clock::now();
        auto stopped = std::async(std::launch::async, [&] { session.stopRunning(); });
        const bool inTime = stopped.wait_for(2s) == std::future_status::ready;
        const auto took = std::chrono::steady_clock::now() - before;
        // Let a hung read go, to fail rather than hang.
        server.resume();
        stopped.wait();
        EXPECT_TRUE(inTime);
        EXPECT_LT(took, 200ms);
    }
}

}  // namespace
}  // namespace quill::platform::avcapture
