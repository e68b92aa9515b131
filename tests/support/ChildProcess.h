#pragma once
// Helper programs that tests start and end themselves (private X and sound servers).

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace quill::testing {

// Starts args[0], found on PATH, with args as its arguments and its output kept out of the test's:
// standard output to /dev/null (or to outputFd when one is given), standard error to errorLog (made
// afresh; /dev/null when empty). env: the whole environment, or null for the test's own. Descriptors
// without close-on-exec are inherited. Returns the process id, or -1 when the program could not be
// started.
pid_t spawnQuietly(std::vector<std::string> args, const std::vector<std::string>* env,
                   const std::string& errorLog = {}, int outputFd = -1);

// Whether program is an executable file in a folder of PATH.
bool onPath(const std::string& program);

// The test's environment without what would lead a server to the user's own session (its home, runtime,
// configuration and state folders, sound servers, session bus and displays), pointed instead at the
// folders home, run, config and state inside dir, with no session bus.
std::vector<std::string> privateEnvironment(const std::string& dir);

// Asks the process to end, gives it graceSeconds, then kills it; it is reaped either way.
void endChildProcess(pid_t pid, double graceSeconds = 5.0);

// The processes of a private test server.
class ServerProcesses {
  public:
    // Starts one with its standard error in "<logFolder>/<name>.log"; false, with failure saying so, when
    // it cannot be started.
    bool spawn(const std::string& logFolder, const std::string& name, std::vector<std::string> args,
               const std::vector<std::string>& env, std::string& failure);
    // Whether one has exited (reaped, failure naming it).
    bool anyExited(std::string& failure);
    // Sends sig to every one still running.
    void signalAll(int sig) const;
    // Ends every one, the last started first; idempotent.
    void endAll();
    // The process id of the one started under name, -1 when none runs.
    pid_t pid(const std::string& name) const;

  private:
    std::vector<std::pair<std::string, pid_t>> list_;  // in the order started
};

// Writes a WirePlumber configuration for a private PipeWire into dir: "<dir>/wireplumber.conf", to be
// passed with -c, and its overrides, read from the configuration folder "<dir>/config" (XDG_CONFIG_HOME of
// privateEnvironment(dir)): no device monitors, no portal permission store (which needs a session bus).
void writeWirePlumberConfig(const std::string& dir);

}  // namespace quill::testing
