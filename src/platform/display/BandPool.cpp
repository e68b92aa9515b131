#include "platform/display/BandPool.h"
#include "platform/foundation/ThreadName.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace quill::platform::display {

struct BandPool::Job {
    void (*call)(void*, int);
    void* context;
    int count;
    std::atomic<int> next{0};  // the next unclaimed band
    int active = 0;            // workers inside the job; guarded by the pool's mutex
};

BandPool::BandPool(unsigned workers) {
    threads_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i)
        threads_.emplace_back([this] { workerMain(); });
}

BandPool::~BandPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
        t.join();
}

unsigned BandPool::sharedThreads(const char* setting, unsigned cores) {
    // Half the cores at most, caller included: the encoder and the rest of the system keep the others.
    unsigned threads = std::clamp(cores / 2, 1u, kMaxSharedThreads);
    if (setting && *setting) {
        char* end = nullptr;
        const long asked = std::strtol(setting, &end, 10);
        if (*end == '\0' && asked >= 1)
            threads = static_cast<unsigned>(std::min<long>(asked, kMaxSharedThreads));
    }
    return threads;
}

std::shared_ptr<BandPool> BandPool::shared() {
    static const std::shared_ptr<BandPool> pool = std::make_shared<BandPool>(
        sharedThreads(std::getenv("QUILLARAN_PICTURE_THREADS"), std::thread::hardware_concurrency()) - 1);
    return pool;
}

void BandPool::work(Job& job) {
    for (int i = job.next.fetch_add(1, std::memory_order_relaxed); i < job.count;
         i = job.next.fetch_add(1, std::memory_order_relaxed))
        job.call(job.context, i);
}

void BandPool::runJob(int count, void (*call)(void*, int), void* context) {
    if (count <= 0) return;
    Job job{call, context, count};
    if (count == 1 || threads_.empty()) {
        work(job);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(&job);
    }
    // One band stays with the caller.
    if (count - 1 >= static_cast<int>(threads_.size())) {
        wake_.notify_all();
    } else {
        for (int i = 1; i < count; ++i)
            wake_.notify_one();
    }
    work(job);
    std::unique_lock lock(mutex_);
    // Every band is claimed now; no worker may enter the job any more, and those inside finish theirs.
    if (auto it = std::find(pending_.begin(), pending_.end(), &job); it != pending_.end()) pending_.erase(it);
    done_.wait(lock, [&] { return job.active == 0; });
}

void BandPool::workerMain() {
    platform::foundation::setCurrentThreadName("picture-bands");
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (stopping_) return;
        Job* job = pending_.front();
        if (job->next.load(std::memory_order_relaxed) >= job->count) {
            // Fully claimed: its caller takes it off the list once its own band is done.
            pending_.pop_front();
            continue;
        }
        ++job->active;
        lock.unlock();
        work(*job);
        lock.lock();
        if (--job->active == 0) done_.notify_all();
    }
}

}  // namespace quill::platform::display
