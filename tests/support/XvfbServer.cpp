#include "support/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "support/ChildProcess.h"

namespace quill::testing {

XvfbServer::XvfbServer(int width, int height, double timeoutSeconds) {
    int fds[2];
    if (pipe(fds) != 0) {
        failure_ = "pipe failed";
        return;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    // The server writes its display number to this descriptor once it accepts connections.
    const std::string fd = std::to_string(fds[1]);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<std::string> args = {"Xvfb", "-displayfd", fd,    "-screen", "0",
                                     screen, "-nolisten",  "tcp", "-noreset"};
    pid_ = spawnQuietly(std::move(args), nullptr);
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        failure_ = "Xvfb cannot be started";
        return;
    }
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (poll(&p, 1, static_cast<int>(std::max<long>(1, left.count()))) <= 0) continue;
        char buf[32];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<size_t>(n));
        if (number.find('\n') != std::string::npos) break;
    }
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == '\r'))
        number.pop_back();
    if (number.empty()) {
        failure_ = "Xvfb did not report a display in time";
        return;
    }
    name_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    endChildProcess(pid_);
}

}  // namespace quill::testing
