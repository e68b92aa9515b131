#pragma once
// Helper programs that tests start and end themselves (private X and sound servers).

#include <sys/types.h>

#include <string>
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

}  // namespace quill::testing
