#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "platform/foundation/Task.h"
#include "support/TempFolder.h"

namespace quill::platform::foundation {
namespace {

using testing::TempFolder;

std::string sh(const std::string& script, const TaskOptions& options = {}, int* exitCode = nullptr) {
    auto result = runTask("/bin/sh", {"-c", script}, options);
    EXPECT_TRUE(result) << script;
    if (!result) return {};
    if (exitCode) *exitCode = result->exitCode;
    return stringOf(result->standardOutput);
}

TEST(TaskTest, CapturesStandardOutputToTheEndAndTheExitStatus) {
    int code = -1;
    EXPECT_EQ(sh("echo hello; printf 'no newline'; exit 3", {}, &code), "hello\nno newline");
    EXPECT_EQ(code, 3);
    // More than a pipe holds, so the reader must keep up with the writer.
    std::string big = sh("head -c 300000 /dev/zero");
    EXPECT_EQ(big.size(), 300000u);
}

TEST(TaskTest, PassesArgumentsUntouched) {
    auto result = runTask("/bin/echo", {"a b", "$HOME", "*"});
    ASSERT_TRUE(result);
    EXPECT_EQ(stringOf(result->standardOutput), "a b $HOME *\n");
    EXPECT_EQ(result->exitCode, 0);
}

TEST(TaskTest, StandardErrorCanBeCapturedSeparatelyOrMerged) {
    TaskOptions separate;
    separate.standardError = TaskStream::Pipe;
    auto result = runTask("/bin/sh", {"-c", "echo out; echo err >&2"}, separate);
    ASSERT_TRUE(result);
    EXPECT_EQ(stringOf(result->standardOutput), "out\n");
    EXPECT_EQ(stringOf(result->standardError), "err\n");

    TaskOptions merged;
    merged.standardError = TaskStream::MergeWithOutput;
    EXPECT_EQ(sh("echo out; echo err >&2", merged), "out\nerr\n");

    // Large amounts on both pipes at once do not stall the child.
    auto both =
        runTask("/bin/sh", {"-c", "head -c 200000 /dev/zero >&2; head -c 200000 /dev/zero"}, separate);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->standardError.size(), 200000u);
    EXPECT_EQ(both->standardOutput.size(), 200000u);
}

TEST(TaskTest, EnvironmentOverrideReplacesTheEnvironment) {
    TaskOptions options;
    options.environment = std::map<std::string, std::string>{{"ONLY", "this"}};
    EXPECT_EQ(sh("echo \"$ONLY-${HOME:-unset}\"", options), "this-unset\n");

    auto env = Task::currentEnvironment();
    env["QUILL_TEST_EXTRA"] = "x=y";
    options.environment = env;
    EXPECT_EQ(sh("echo \"$QUILL_TEST_EXTRA\"", options), "x=y\n");
}

TEST(TaskTest, WorkingFolderIsTheChildsOnly) {
    TempFolder dir;
    TaskOptions options;
    options.workingDirectory = dir.str();
    std::string before = std::filesystem::current_path().string();
    EXPECT_EQ(sh("pwd -P", options), std::filesystem::canonical(dir.path()).string() + "\n");
    EXPECT_EQ(std::filesystem::current_path().string(), before);
}

TEST(TaskTest, ChildInheritsNoDescriptorButItsStandardStreams) {
    // One descriptor opened with close-on-exec and one without: neither may reach the child.
    int withCloexec = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int without = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(withCloexec, 3);
    ASSERT_GE(without, 3);
    // The shell lists its own descriptors by globbing; the glob's own folder descriptor is gone once the
    // loop runs, so only descriptors that still exist are listed.
    std::string listing = sh("for f in /proc/$$/fd/*; do [ -e \"$f\" ] && echo \"${f##*/}\"; done; true");
    ::close(withCloexec);
    ::close(without);
    std::set<std::string> fds;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);)
        fds.insert(line);
    EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"})) << listing;
}

TEST(TaskTest, MissingProgramFailsToLaunch) {
    Error error;
    Task task("/nonexistent/program");
    EXPECT_FALSE(task.launch(&error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(task.isLaunched());
    EXPECT_EQ(task.waitUntilExit(), -1);
    EXPECT_EQ(task.exitCode(), -1);
    EXPECT_EQ(runTask("/nonexistent/program", {}), std::nullopt);
}

TEST(TaskTest, PollingNoticesTheEndAndReapsTheChild) {
    TaskOptions options;
    options.standardOutput = TaskStream::Null;
    Task task("/bin/sh", {"-c", "read line; exit 7"}, options);
    // Standard input stays the test's own, which is not read here: give the child a pipe that ends.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    int savedStdin = ::dup(STDIN_FILENO);
    ::dup2(fds[0], STDIN_FILENO);
    ASSERT_TRUE(task.launch());
    ::dup2(savedStdin, STDIN_FILENO);
    ::close(savedStdin);
    ::close(fds[0]);
    EXPECT_TRUE(task.isRunning());
    EXPECT_EQ(task.exitCode(), -1);
    ASSERT_EQ(::write(fds[1], "go\n", 3), 3);
    ::close(fds[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (task.isRunning() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(task.isRunning());
    EXPECT_EQ(task.exitCode(), 7);
    ASSERT_TRUE(task.waitStatus());
    EXPECT_TRUE(WIFEXITED(*task.waitStatus()));
    // Reaped: the process id no longer names a child of ours.
    EXPECT_EQ(::waitpid(task.processIdentifier(), nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(TaskTest, KilledChildReportsTheSignalAndDestructionReapsARunningChild) {
    TaskOptions options;
    options.standardInput = TaskStream::Null;
    options.standardOutput = TaskStream::Null;
    Task task("/bin/sleep", {"30"}, options);
    ASSERT_TRUE(task.launch());
    EXPECT_TRUE(task.sendSignal(SIGTERM));
    task.waitUntilExit();
    EXPECT_EQ(task.exitCode(), 128 + SIGTERM);
    EXPECT_FALSE(task.sendSignal(SIGTERM)) << "no signal to a reaped child";

    pid_t pid;
    {
        Task running("/bin/sleep", {"0.2"}, options);
        ASSERT_TRUE(running.launch());
        pid = running.processIdentifier();
    }
    // The background reaper collects it once it ends; then it is no longer our child.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(::kill(pid, 0), 0) << "the ended child was reaped, not left as a zombie";
}

}  // namespace
}  // namespace quill::platform::foundation
