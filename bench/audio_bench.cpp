// How many seconds of sound the audio path encodes and packetizes per second of CPU: LAME at the
// pipeline's settings, then the MP3 packetizer, on 1024-frame buffers as the capture layer delivers them.

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "media/Mp3Encoder.h"
#include "media/Mp3Packetizer.h"

namespace {

using quill::Mp3Encoder;
using quill::Mp3Packetizer;

std::vector<float> testSignal(size_t frames) {
    // A chord with a little noise, so that the encoder has real work on both channels.
    std::vector<float> s(frames * 2);
    uint32_t noise = 12345;
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / Mp3Encoder::kSampleRate;
        noise = noise * 1664525u + 1013904223u;
        const double n = (static_cast<double>(noise >> 8) / (1 << 24) - 0.5) * 0.02;
        s[2 * i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * t) +
                                      0.2 * std::sin(2 * std::numbers::pi * 660 * t) + n);
        s[2 * i + 1] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 550 * t) + n);
    }
    return s;
}

void BM_EncodeAndPacketize(benchmark::State& state) {
    const size_t framesPerBuffer = static_cast<size_t>(state.range(0));
    const size_t seconds = 10;
    const auto signal = testSignal(seconds * Mp3Encoder::kSampleRate);
    const size_t buffers = signal.size() / 2 / framesPerBuffer;
    size_t frames = 0;
    for (auto _ : state) {
        Mp3Encoder encoder;
        if (!encoder.setup()) {
            state.SkipWithError("LAME set-up failed");
            return;
        }
        Mp3Packetizer packetizer([&](std::span<const uint8_t> f, uint32_t) {
            ++frames;
            benchmark::DoNotOptimize(f.data());
        });
        std::vector<uint8_t> out;
        for (size_t b = 0; b < buffers; ++b) {
            out.clear();
            encoder.encode(signal.data() + b * framesPerBuffer * 2, framesPerBuffer, out);
            packetizer.composeAudioPacket(out.data(), out.size(), static_cast<uint32_t>(b));
        }
    }
    const double soundSeconds = static_cast<double>(buffers * framesPerBuffer) / Mp3Encoder::kSampleRate *
                                static_cast<double>(state.iterations());
    // A rate counter is divided by the CPU time: seconds of sound per second of CPU.
    state.counters["sound_s_per_cpu_s"] = benchmark::Counter(soundSeconds, benchmark::Counter::kIsRate);
    state.counters["mp3_frames"] = static_cast<double>(frames);
}
BENCHMARK(BM_EncodeAndPacketize)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

void BM_PacketizeOnly(benchmark::State& state) {
    // The packetizer alone, on a ready-made 10 s stream cut into 1000-byte pieces.
    Mp3Encoder encoder;
    encoder.setup();
    const auto signal = testSignal(10 * Mp3Encoder::kSampleRate);
    std::vector<uint8_t> stream;
    encoder.encode(signal.data(), signal.size() / 2, stream);
    for (auto _ : state) {
        Mp3Packetizer packetizer(
            [](std::span<const uint8_t> f, uint32_t) { benchmark::DoNotOptimize(f.data()); });
        for (size_t pos = 0; pos < stream.size(); pos += 1000)
            packetizer.composeAudioPacket(stream.data() + pos, std::min<size_t>(1000, stream.size() - pos),
                                          0);
    }
    state.counters["sound_s_per_cpu_s"] =
        benchmark::Counter(10.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PacketizeOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
