#pragma once
// Thin wrappers over the socket system calls, written once for the TCP and UDP sockets: descriptors
// that are not inherited by child processes, sends that never raise SIGPIPE (Linux has no per-socket
// guard against it, so every send passes MSG_NOSIGNAL), integer options, and the descriptor close that
// waits for every dispatch source watching it. They return what the call returns and leave errno set.

#include <sys/socket.h>
#include <sys/types.h>

#include <functional>

#include "platform/foundation/Bytes.h"

namespace quill::net {

// socket() with close-on-exec; -1 on failure.
int openSocket(int family, int type, int protocol = 0);
// Adds O_NONBLOCK to the descriptor's status flags.
bool setNonBlocking(int fd);
// setsockopt() of a 32-bit integer.
bool setIntOption(int fd, int level, int name, int value);
// getsockopt() of a 32-bit integer; -1 when the call fails.
int intOption(int fd, int level, int name);
// send() on a connected socket, or sendto() the address when it is not empty; never raises SIGPIPE.
ssize_t sendNoSignal(int fd, const void* data, size_t length, const Bytes& address = {});
// bind() / connect() to an address held in bytes.
bool bindTo(int fd, const Bytes& address);
bool connectTo(int fd, const Bytes& address);
// A would-block result of a non-blocking call (or an interrupted one), to be retried on readiness.
bool wouldBlock(int err);
// The cancel handler of each of `sources` sources that watch fd: the last of them to run closes it.
std::function<void()> closeAfterLastCancel(int fd, int sources);

}  // namespace quill::net
