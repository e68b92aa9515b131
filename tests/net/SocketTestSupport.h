#pragma once
// What the TCP and UDP socket tests share: the recording half of their delegates (callbacks arrive on the
// delegate queue and are kept in order as events, any struct with a `kind` field; tests wait for them with
// bounded waits), and a way to make a system call fail on one thread.

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace quill::net {

template <class Event>
class EventLog {
  public:
    using Kind = decltype(Event::kind);

    // Until n events of the kind have arrived, at most `seconds`; true when they have.
    bool waitFor(Kind kind, size_t n = 1, double seconds = 5) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return countLocked(kind) >= n; });
    }
    size_t count(Kind kind) {
        std::lock_guard lock(mutex_);
        return countLocked(kind);
    }
    std::vector<Event> events(Kind kind) {
        std::lock_guard lock(mutex_);
        std::vector<Event> out;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
                     [&](const Event& e) { return e.kind == kind; });
        return out;
    }
    std::vector<Kind> kinds() {
        std::lock_guard lock(mutex_);
        std::vector<Kind> out;
        for (const auto& e : events_)
            out.push_back(e.kind);
        return out;
    }

  protected:
    void add(Event e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        cv_.notify_all();
    }
    // Also guards what a recorder keeps beside its events; never held while calling add().
    std::mutex mutex_;

  private:
    size_t countLocked(Kind kind) const {
        return size_t(
            std::count_if(events_.begin(), events_.end(), [&](const Event& e) { return e.kind == kind; }));
    }
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// Makes system call nr fail with err on the calling thread only; with args, only the calls whose
// arguments from the second on are these (setsockopt's level and option name, say).
inline bool failOnThisThread(int nr, int err, const std::vector<uint32_t>& args = {}) {
    std::vector<sock_filter> program;
    auto compare = [&](size_t offset, uint32_t value) {
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, uint32_t(offset)));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 0));
    };
    compare(offsetof(seccomp_data, nr), uint32_t(nr));
    for (size_t i = 0; i < args.size(); ++i)  // the low half of each argument (little-endian)
        compare(offsetof(seccomp_data, args) + 8 * (i + 1), args[i]);
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | uint32_t(err)));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    for (size_t i = 0; i < program.size(); ++i)  // a mismatch allows the call
        if (BPF_CLASS(program[i].code) == BPF_JMP) program[i].jf = uint8_t(program.size() - 2 - i);
    sock_fprog filter{uint16_t(program.size()), program.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}

}  // namespace quill::net
