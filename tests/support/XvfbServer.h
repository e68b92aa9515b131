#pragma once
// A private X server for tests: Xvfb on a display number it picks itself, ended with the object.

#include <sys/types.h>

#include <string>

namespace quill::testing {

class XvfbServer {
  public:
    // Starts Xvfb with one screen of the given size (24-bit); waits at most timeoutSeconds for it.
    XvfbServer(int width, int height, double timeoutSeconds = 10.0);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return pid_ > 0 && !name_.empty(); }
    pid_t pid() const { return pid_; }
    // The display name, e.g. ":93"; empty when the server did not start.
    const std::string& name() const { return name_; }
    // Why it did not start.
    const std::string& failure() const { return failure_; }

  private:
    pid_t pid_ = -1;
    std::string name_;
    std::string failure_;
};

}  // namespace quill::testing
