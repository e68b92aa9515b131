#pragma once
// A private PipeWire daemon and WirePlumber for the video tests, in a temporary folder of their own: their
// own runtime folder (XDG_RUNTIME_DIR, holding the socket pipewire-0), configuration written into the
// folder, no access to the machine's devices (ALSA, V4L2 and libcamera monitors off) or session bus.
// WirePlumber links a consumer stream to the node it names as its target, as on a desktop.
//
// Starting waits a bounded time; when the programs are missing or do not start, available() is false,
// failure() says why and the test skips. The destructor (or stop()) ends both within a few seconds.
// Threads: one test thread.

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"

namespace quill::testing {

class PrivateVideoPipeWire {
  public:
    explicit PrivateVideoPipeWire(double startTimeoutSeconds = 10.0);
    ~PrivateVideoPipeWire();
    PrivateVideoPipeWire(const PrivateVideoPipeWire&) = delete;
    PrivateVideoPipeWire& operator=(const PrivateVideoPipeWire&) = delete;

    bool available() const { return available_; }
    // Why it is not available (for the skip message).
    const std::string& failure() const { return failure_; }
    // The runtime folder that holds the daemon's socket "pipewire-0": XDG_RUNTIME_DIR (or
    // PIPEWIRE_RUNTIME_DIR) of a client.
    const std::string& runtimeDir() const { return runtimeDir_; }
    // A new socket connected to the daemon, close-on-exec, for pw_context_connect_fd (which takes it
    // over); -1 when the daemon does not answer.
    int connect() const { return connectTo(runtimeDir_); }
    // The same for any runtime folder holding a pipewire-0 socket.
    static int connectTo(const std::string& runtimeDir);

    // Ends WirePlumber and then the daemon (clients see their connection hang up); idempotent.
    void stop();
    // The process id of the daemon (for benchmarks that count its CPU), -1 when none runs.
    pid_t daemonPid() const;

  private:
    bool spawn(const std::string& name, std::vector<std::string> args, const std::vector<std::string>& env);
    bool anyExited();

    std::string dir_;
    std::string runtimeDir_;
    std::string failure_;
    ServerProcesses processes_;
    bool available_ = false;
};

}  // namespace quill::testing
