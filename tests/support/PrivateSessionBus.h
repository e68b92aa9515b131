#pragma once
// A private message bus for tests: dbus-daemon on a session-bus configuration written into a folder the
// test owns, listening on a socket there. It activates no service, so a service the test does not start
// itself is simply not on the bus.

#include <sys/types.h>

#include <string>
#include <vector>

namespace quill::testing {

class PrivateSessionBus {
  public:
    // Starts dbus-daemon with its configuration and socket in folder and waits, at most timeoutSeconds,
    // until it listens. env: the daemon's whole environment, or null for the test's own.
    explicit PrivateSessionBus(const std::string& folder, const std::vector<std::string>* env = nullptr,
                               double timeoutSeconds = 5.0);
    ~PrivateSessionBus();  // ends the daemon
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Whether the daemon listens; when not, failure() says why.
    bool started() const { return started_; }
    const std::string& failure() const { return failure_; }
    // "unix:path=<folder>/bus", the address clients and services connect to.
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    std::string failure_;
    pid_t daemon_ = -1;
    bool started_ = false;
};

}  // namespace quill::testing
