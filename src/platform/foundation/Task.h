#pragma once
// Child processes in the manner of a task object: a program with arguments, an optional environment
// and working folder, its standard output (and optionally standard error) captured through pipes.
// Children are started with posix_spawn and inherit no descriptor but their standard streams; every
// child is reaped, so none is left as a zombie.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

namespace quill::platform::foundation {

// What a child's standard stream is connected to.
enum class TaskStream {
    Inherit,          // the parent's own stream
    Null,             // /dev/null
    Pipe,             // a pipe the parent reads (output streams only)
    MergeWithOutput,  // standard error only: the same destination as standard output
};

struct TaskOptions {
    // When set, the child's whole environment; otherwise it inherits the parent's.
    std::optional<std::map<std::string, std::string>> environment;
    // The child's working folder; empty keeps the parent's.
    std::string workingDirectory;
    TaskStream standardInput = TaskStream::Inherit;
    TaskStream standardOutput = TaskStream::Pipe;
    TaskStream standardError = TaskStream::Inherit;
};

struct TaskOutput {
    Bytes standardOutput;
    Bytes standardError;
};

class Task {
  public:
    // launchPath is the program's path (not looked up in PATH); arguments follow the program name.
    explicit Task(std::string launchPath, std::vector<std::string> arguments = {}, TaskOptions options = {});
    // Closes the pipes and reaps the child: at once when it has ended, else in the background.
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // The parent's environment, to start an override from.
    static std::map<std::string, std::string> currentEnvironment();

    // Starts the child. False (with the POSIX error) when it could not be started, for example when the
    // program does not exist; a task launches at most once.
    bool launch(Error* error = nullptr);

    bool isLaunched() const { return pid_ > 0; }
    pid_t processIdentifier() const { return pid_; }
    // Read ends of the pipes (close-on-exec, blocking), -1 when that stream is not piped or was closed.
    int standardOutputFd() const { return outFd_; }
    int standardErrorFd() const { return errFd_; }
    // Closes the read ends early; a child writing on afterwards gets SIGPIPE.
    void closePipes();

    // Reads every piped stream until its end of file (both at once, so neither pipe can fill up and
    // stall the child), then closes them.
    TaskOutput readToEnd();

    // Polls without blocking: true while the child runs; once it has ended it is reaped and its status
    // kept.
    bool isRunning();
    // Blocks until the child has ended and returns its wait status (as waitpid stores it); -1 when the
    // task was never launched.
    int waitUntilExit();
    // Sends a signal to a running child.
    bool sendSignal(int signal);

    // The wait status once the child has been reaped.
    std::optional<int> waitStatus() const { return status_; }
    // The exit code of a child that exited; 128 + the signal number for one killed by a signal; -1 while
    // running or never launched.
    int exitCode() const;

  private:
    std::string launchPath_;
    std::vector<std::string> arguments_;
    TaskOptions options_;
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::optional<int> status_;
};

struct TaskResult {
    int exitCode = -1;
    int waitStatus = -1;
    Bytes standardOutput;
    Bytes standardError;
};

// Starts a program, reads its piped output to the end and waits for it. nullopt when it could not be
// started.
std::optional<TaskResult> runTask(const std::string& launchPath, const std::vector<std::string>& arguments,
                                  const TaskOptions& options = {}, Error* error = nullptr);

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::Task;
using platform::foundation::TaskOptions;
using platform::foundation::TaskStream;
}  // namespace quill
