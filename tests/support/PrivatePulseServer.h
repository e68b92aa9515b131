#pragma once
// A private sound server for tests that speaks the PulseAudio protocol, in its own folder with its own
// socket and no access to the machine's sound cards or session bus: a null sink whose monitor is the
// default source (unless a further source is asked for), and the further devices asked for.
//
// Which server: PulseAudio where it is installed (CI), otherwise a private PipeWire with its PulseAudio
// interface and WirePlumber (a desktop whose sound is PipeWire's, where PulseAudio cannot be installed
// beside it). QUILLARAN_TEST_SOUND_SERVER=pulseaudio or =pipewire forces one. Starting waits a bounded
// time; when the server cannot start, available() is false, failure() says what is missing, and the
// test skips.

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace quill::testing {

class PrivatePulseServer {
  public:
    // A further device the server starts with: a null sink (output) or a null source (input).
    struct Device {
        bool output;
        std::string name;
        std::string description;
        bool internal = false;  // marked as built-in hardware (sinks only)
    };

    explicit PrivatePulseServer(double startTimeoutSeconds = 10.0);
    explicit PrivatePulseServer(const std::vector<Device>& devices, double startTimeoutSeconds = 10.0);
    ~PrivatePulseServer();
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    bool available() const { return available_; }
    // "pulseaudio" or "pipewire".
    const std::string& kind() const { return kind_; }
    // The server string clients pass ("unix:<socket>").
    const std::string& server() const { return server_; }
    // The null sink's name; audio played into it appears on the default source.
    static constexpr const char* kSinkName = "quillaran_test_sink";
    // Why it is not available (for the skip message).
    const std::string& failure() const { return failure_; }
    // Runs pactl against the server, at most 5 s; its standard output, "" when it failed.
    std::string pactl(const std::string& arguments) const;
    // Stops the server's processes where they stand (clients stay connected but nothing answers) and
    // lets them go on again.
    void pause() const;
    void resume() const;

  private:
    bool startPulseAudio(const std::vector<Device>& devices, const std::vector<std::string>& env);
    bool startPipeWire(const std::vector<Device>& devices, const std::vector<std::string>& env,
                       double timeoutSeconds);
    bool spawn(const std::string& name, std::vector<std::string> args, const std::vector<std::string>& env);
    // Waits until the server lists every device and has a default sink, or a process ends, or the time
    // is up; failure_ says which.
    bool waitUntilReady(const std::vector<Device>& devices, double timeoutSeconds);
    bool anyExited();

    std::string dir_;
    std::string server_;
    std::string kind_;
    std::string failure_;
    ServerProcesses processes_;
    bool available_ = false;
};

}  // namespace quill::testing
