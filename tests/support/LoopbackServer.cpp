#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace quill::testing {

Listener::Listener(uint16_t port, int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket() failed");
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, backlog) != 0) {
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error("bind/listen on 127.0.0.1 failed");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

Listener::~Listener() {
    close();
}

void Listener::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int Listener::accept(int timeoutMs) {
    if (fd_ < 0) return -1;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) {
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return c;
}

long readSome(int fd, std::vector<uint8_t>& out, size_t max, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r == 0) return 0;
    if (r < 0) return errno == EINTR ? 0 : -1;
    out.resize(max);
    ssize_t n = ::recv(fd, out.data(), max, 0);
    if (n <= 0) {
        out.clear();
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        return -1;
    }
    out.resize(static_cast<size_t>(n));
    return n;
}

bool peerHungUp(int fd, int timeoutMs) {
    pollfd p{fd, POLLRDHUP, 0};
    int r = ::poll(&p, 1, timeoutMs);
    return r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool writeAll(int fd, std::span<const uint8_t> data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int connectLoopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::optional<std::vector<uint8_t>> LengthPrefixedFramer::next() {
    if (broken_ || buffer_.size() < 4) return std::nullopt;
    uint32_t len = readBE32(buffer_.data());
    if (len > maxFrame_) {
        broken_ = true;
        return std::nullopt;
    }
    if (buffer_.size() < 4 + size_t(len)) return std::nullopt;
    std::vector<uint8_t> frame(buffer_.begin() + 4, buffer_.begin() + 4 + len);
    buffer_.erase(buffer_.begin(), buffer_.begin() + 4 + len);
    return frame;
}

}  // namespace quill::testing
