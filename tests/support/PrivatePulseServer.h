#pragma once
// A private PulseAudio server for tests: its own runtime folder and socket, anonymous access, a null
// sink whose monitor is the default source. Starting waits a bounded time; when the server cannot start
// (not installed, refused), available() is false and the test skips.

#include <sys/types.h>

#include <string>
#include <vector>

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
    // The server string clients pass ("unix:<socket>").
    const std::string& server() const { return server_; }
    // The null sink's name; audio played into it appears on the default source.
    static constexpr const char* kSinkName = "quillaran_test_sink";
    // Why it is not available (for the skip message).
    const std::string& failure() const { return failure_; }
    // Runs pactl against the server; its standard output, "" when it failed.
    std::string pactl(const std::string& arguments) const;
    // Stops the server process where it stands (it stays connected but answers nothing) and lets it go
    // on again.
    void pause() const;
    void resume() const;

  private:
    std::string dir_;
    std::string server_;
    std::string failure_;
    pid_t pid_ = -1;
    bool available_ = false;
};

}  // namespace quill::testing
