#include "net/SocketCalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>

namespace quill::net {

int openSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

bool setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags != -1 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

bool setIntOption(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

int intOption(int fd, int level, int name) {
    int value = 0;
    socklen_t len = sizeof value;
    return ::getsockopt(fd, level, name, &value, &len) == 0 ? value : -1;
}

ssize_t sendNoSignal(int fd, const void* data, size_t length, const Bytes& address) {
    if (address.empty()) return ::send(fd, data, length, MSG_NOSIGNAL);
    return ::sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(address.data()),
                    socklen_t(address.size()));
}

bool bindTo(int fd, const Bytes& address) {
    return ::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), socklen_t(address.size())) == 0;
}

bool connectTo(int fd, const Bytes& address) {
    return ::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), socklen_t(address.size())) == 0;
}

bool wouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

std::function<void()> closeAfterLastCancel(int fd, int sources) {
    auto remaining = std::make_shared<std::atomic<int>>(sources);
    return [remaining, fd] {
        if (remaining->fetch_sub(1) == 1) ::close(fd);
    };
}

}  // namespace quill::net
