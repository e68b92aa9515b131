#pragma once
// A small fixed set of worker threads that run the bands of one picture operation side by side. The
// calling thread works on its own job too and returns once every band has run, so a job never waits for
// a busy worker: with all workers taken by another caller, the caller simply does every band itself.
// Several callers may run jobs at the same time. Nothing is allocated per job.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace quill::platform::display {

class BandPool {
  public:
    // workers threads besides the callers; 0 runs every band on the caller.
    explicit BandPool(unsigned workers);
    // Lets running bands finish, then ends and joins the workers.
    ~BandPool();
    BandPool(const BandPool&) = delete;
    BandPool& operator=(const BandPool&) = delete;

    static constexpr unsigned kMaxSharedThreads = 4;
    // The process-wide pool the picture transfers share, made on first use with sharedThreads() - 1
    // workers for QUILLARAN_PICTURE_THREADS.
    static std::shared_ptr<BandPool> shared();
    // Threads that work on one picture, the caller included: the setting when it is a whole number from
    // 1 (capped at kMaxSharedThreads), else half the cores, between 1 and kMaxSharedThreads.
    static unsigned sharedThreads(const char* setting, unsigned cores);

    unsigned workers() const { return static_cast<unsigned>(threads_.size()); }

    // Calls band(i) once for every i in [0, count), on the caller and the workers, and returns when all
    // calls have returned. band must not throw.
    template <class F>
    void run(int count, F&& band) {
        using Fn = std::remove_reference_t<F>;
        runJob(
            count, [](void* context, int i) { (*static_cast<Fn*>(context))(i); },
            const_cast<void*>(static_cast<const void*>(&band)));
    }

  private:
    struct Job;
    void runJob(int count, void (*call)(void*, int), void* context);
    void workerMain();
    // Runs bands of job until none is left unclaimed.
    static void work(Job& job);

    std::mutex mutex_;
    std::condition_variable wake_;  // workers: a job arrived, or the pool ends
    std::condition_variable done_;  // callers: a worker left a job
    std::deque<Job*> pending_;      // jobs with bands that may be unclaimed
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace quill::platform::display
