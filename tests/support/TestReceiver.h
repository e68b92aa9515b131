#pragma once
// A stand-in receiver for integration tests, written from the wire protocol: it listens on four ports of
// 127.0.0.1 (control, video, audio, touch), unscrambles and records the 16-byte control packets across
// any TCP split, answers the sender's requests, sends its own heartbeat, parses the video and audio
// media packets, and can be scripted to misbehave.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackServer.h"

namespace quill::testing {

using SteadyTime = std::chrono::steady_clock::time_point;

// The 13-byte key both ends XOR every control packet with, cyclically.
inline constexpr char kControlKey[] = "Tuvbronex_pad";
void scrambleControl(std::array<uint8_t, 16>& packet);
// The length of an MPEG-1 Layer III frame from the third byte of its header (bit rate, sample rate,
// padding); 0 for a bad bit rate or sample rate.
size_t mpeg1Layer3FrameLength(uint8_t headerByte2);

struct ControlRecord {
    std::array<uint8_t, 16> bytes{};  // unscrambled
    SteadyTime at;
    uint8_t kind() const { return bytes[2]; }
    uint8_t code() const { return bytes[3]; }
};

struct VideoRecord {
    uint32_t stamp = 0;
    std::vector<uint8_t> nal;  // Annex-B unit, start code included
    SteadyTime at;
    int nalType() const;  // H.264 nal_unit_type, -1 when there is no start code
};

struct AudioRecord {
    uint32_t stamp = 0;
    std::vector<uint8_t> frame;  // one MP3 frame, header included
    SteadyTime at;
};

enum class ReceiverPort { Control = 0, Video = 1, Audio = 2, Touch = 3 };

class TestReceiver {
  public:
    struct Options {
        // 0: the kernel picks.
        std::array<uint16_t, 4> ports{0, 0, 0, 0};
        // Period of the receiver's own heartbeat requests; <= 0 sends none.
        double heartbeatSeconds = 0.3;
        uint8_t addressByte = 200;
        // Called for every recorded control packet (from a receiver thread).
        std::function<void(const ControlRecord&)> onControl;
        // Called for every well-formed media packet (from a receiver thread).
        std::function<void(const VideoRecord&)> onVideo;
        std::function<void(const AudioRecord&)> onAudio;
        // False: media packets are checked and passed to the callbacks but not kept (for long runs).
        bool keepMedia = true;
    };

    TestReceiver();
    explicit TestReceiver(Options options);
    ~TestReceiver();
    TestReceiver(const TestReceiver&) = delete;
    TestReceiver& operator=(const TestReceiver&) = delete;

    uint16_t port(ReceiverPort which) const;
    uint16_t controlPort() const { return port(ReceiverPort::Control); }
    uint16_t videoPort() const { return port(ReceiverPort::Video); }
    uint16_t audioPort() const { return port(ReceiverPort::Audio); }
    uint16_t touchPort() const { return port(ReceiverPort::Touch); }

    // --- scripted answers ---------------------------------------------------------------------------
    void setVersion(const std::string& version);
    void setAuthenticationType(uint8_t type);
    void setMirrorStartResult(bool ok);
    // The answer to a status request: data byte 2 = value, data byte 3 = address byte.
    void setStatus(uint8_t value, uint8_t addressByte);
    // When false, the sender's requests get no responses (heartbeats included).
    void setAnswerRequests(bool answer);

    // --- receiver-initiated packets -------------------------------------------------------------------
    bool sendRequest(uint8_t code, uint8_t byte4 = 0);
    bool sendCallback(uint8_t code, uint8_t status = 0);
    // Scrambles and writes one whole packet of the caller's making.
    bool sendControl(const std::array<uint8_t, 16>& plain);
    // Writes raw (already scrambled or deliberately broken) bytes on the control connection.
    bool sendRawControl(const std::vector<uint8_t>& bytes);

    // --- faults --------------------------------------------------------------------------------------
    void closeControl();
    // Silent: no answers and no heartbeat, though the connection stays open.
    void setSilent(bool silent);
    void setReadMedia(ReceiverPort which, bool read);
    // Stops listening on a port: later connects are refused. Returns once the port is closed (true), or
    // false when that did not happen within the time.
    bool refusePort(ReceiverPort which, double seconds = 5);

    // --- what arrived --------------------------------------------------------------------------------
    std::vector<ControlRecord> control() const;
    std::vector<ControlRecord> requests(uint8_t code) const;  // kind 1 from the sender
    // Kind 2 from the sender answering a request of this code (byte 6).
    std::vector<ControlRecord> responses(uint8_t requestCode) const;
    std::vector<VideoRecord> video() const;
    std::vector<AudioRecord> audio() const;
    size_t touchBytes() const;
    // Connections accepted so far on a port, and whether the latest one reached end of stream.
    int connections(ReceiverPort which) const;
    bool peerClosed(ReceiverPort which) const;
    // Media packets that broke the wire format, described.
    std::vector<std::string> problems() const;

    // Bounded waits: true when the condition held within the time.
    bool waitForConnections(int perPort, double seconds);
    bool waitForRequests(uint8_t code, size_t count, double seconds);
    bool waitForControl(std::function<bool(const std::vector<ControlRecord>&)> pred, double seconds);
    bool waitForVideo(size_t count, double seconds);
    bool waitForAudio(size_t count, double seconds);
    bool waitForAllClosed(double seconds);
    bool waitFor(std::function<bool()> pred, double seconds);

    // Forgets what was recorded so far.
    void clearRecords();
    // Writes the received streams: H.264 Annex-B elementary stream, MP3 frames.
    bool writeH264(const std::string& path) const;
    bool writeMp3(const std::string& path) const;

  private:
    struct PortState;
    void serve(int index);
    void handleControlBytes(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& pending);
    void handleControlPacket(const std::array<uint8_t, 16>& packet);
    void handleVideoFrame(const std::vector<uint8_t>& frame);
    void handleAudioFrame(const std::vector<uint8_t>& frame);
    bool writeControl(std::array<uint8_t, 16> packet);
    std::array<uint8_t, 16> makePacket(uint8_t kind, uint8_t code) const;

    Options options_;
    std::array<std::unique_ptr<PortState>, 4> ports_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::mutex writeMutex_;

    std::vector<ControlRecord> control_;
    std::vector<VideoRecord> video_;
    std::vector<AudioRecord> audio_;
    std::vector<std::string> problems_;
    size_t touchBytes_ = 0;

    std::string version_ = "2.3.1";
    uint8_t authType_ = 1;
    bool mirrorStartOk_ = true;
    uint8_t statusValue_ = 0;
    uint8_t statusAddress_ = 0;
    bool answer_ = true;
    std::atomic<bool> silent_{false};
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

}  // namespace quill::testing
