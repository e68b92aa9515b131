#pragma once
// A private, unprivileged PulseAudio server for one test: its own runtime folder and socket, anonymous
// clients, and the devices the test asks for (null sinks and null sources with the given descriptions).
// Tests skip when the server cannot start on this machine.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/TempFolder.h"

namespace quill::test {

class PrivatePulseServer {
  public:
    struct Device {
        bool output;  // a null sink; otherwise a null source
        std::string name;
        std::string description;
        bool internal = false;  // marked as built-in hardware (sinks only)
    };

    // With no devices named: one null sink, kSinkName, whose monitor is the default source.
    PrivatePulseServer();
    explicit PrivatePulseServer(const std::vector<Device>& devices);
    ~PrivatePulseServer();
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    static constexpr const char* kSinkName = "quillaran_test_sink";

    bool running() const { return pid_ > 0; }
    bool available() const { return running(); }
    // Why it is not running (for the skip message).
    std::string failure() const { return running() ? std::string() : "pulseaudio could not be started"; }
    // The value for PULSE_SERVER.
    std::string address() const { return "unix:" + folder_.str() + "/native"; }
    std::string server() const { return address(); }
    const TempFolder& folder() const { return folder_; }
    // Runs pactl against the server and returns its standard output ("" when it failed).
    std::string pactl(const std::string& arguments) const;

  private:
    TempFolder folder_;
    pid_t pid_ = -1;
};

}  // namespace quill::test
