#include "support/PrivateSessionBus.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "support/ChildProcess.h"
#include "support/FileText.h"

namespace quill::testing {

PrivateSessionBus::PrivateSessionBus(const std::string& folder, const std::vector<std::string>* env,
                                     double timeoutSeconds)
    : address_("unix:path=" + folder + "/bus") {
    const std::string config = folder + "/bus.conf";
    writeFileText(config, "<busconfig><type>session</type><listen>" + address_ +
                              "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                              "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                              "<allow own=\"*\"/></policy></busconfig>\n");
    // The daemon prints its address once it listens: that line is the sign that it is ready.
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        failure_ = "no pipe for dbus-daemon";
        return;
    }
    daemon_ = spawnQuietly({"dbus-daemon", "--nofork", "--print-address", "--config-file=" + config}, env, {},
                           out[1]);
    close(out[1]);
    if (daemon_ < 0) {
        close(out[0]);
        failure_ = "dbus-daemon cannot be started";
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    std::string printed;
    while (printed.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        char buf[256];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1 ||
            (n = read(out[0], buf, sizeof buf)) <= 0)
            break;
        printed.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    started_ = printed.find('\n') != std::string::npos;
    if (!started_) failure_ = "dbus-daemon did not listen in time";
}

PrivateSessionBus::~PrivateSessionBus() {
    endChildProcess(daemon_);
}

}  // namespace quill::testing
