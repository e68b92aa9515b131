// Costs of the dispatch layer beside a plain mutex + condition-variable hand-off between two threads.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dispatch/Dispatch.h"

namespace {

using namespace quill::platform::dispatch;

// One item handed to a serial queue, and the caller waiting until it has run.
void BM_SerialAsyncRoundTrip(benchmark::State& state) {
    auto queue = Queue::serial("bench");
    Semaphore done;
    for (auto _ : state) {
        queue->async([&] { done.signal(); });
        done.wait();
    }
}
BENCHMARK(BM_SerialAsyncRoundTrip)->UseRealTime();

// Many items queued back to back, then one sync to wait for all of them: the cost per item.
void BM_SerialAsyncThroughput(benchmark::State& state) {
    auto queue = Queue::serial("bench");
    const int64_t batch = state.range(0);
    int64_t counter = 0;
    for (auto _ : state) {
        for (int64_t i = 0; i < batch; ++i)
            queue->async([&] { ++counter; });
        queue->sync([] {});
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SerialAsyncThroughput)->Arg(1000)->UseRealTime();

// sync() onto an idle serial queue: runs on the caller, no thread hop.
void BM_SerialSyncIdle(benchmark::State& state) {
    auto queue = Queue::serial("bench");
    int64_t counter = 0;
    for (auto _ : state)
        queue->sync([&] { ++counter; });
    benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_SerialSyncIdle);

// A timer armed to fire at once, through the reactor thread, to its handler on a serial queue, and
// back to the waiting caller.
void BM_TimerRoundTrip(benchmark::State& state) {
    auto timer = TimerSource::create(Queue::serial("bench"));
    Semaphore fired;
    timer->setEventHandler([&] { fired.signal(); });
    timer->resume();
    for (auto _ : state) {
        timer->setTimer(0, 0);
        fired.wait();
    }
    timer->cancel();
}
BENCHMARK(BM_TimerRoundTrip)->UseRealTime();

// after() with the shortest positive delay: a one-shot reactor timer, then an async.
void BM_AfterRoundTrip(benchmark::State& state) {
    auto queue = Queue::serial("bench");
    Semaphore done;
    for (auto _ : state) {
        queue->after(1e-9, [&] { done.signal(); });
        done.wait();
    }
}
BENCHMARK(BM_AfterRoundTrip)->UseRealTime();

// The baseline: a dedicated thread woken through a mutex and condition variable, which answers the
// same way.
void BM_MutexCondvarHandoff(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable toWorker, toCaller;
    bool request = false, reply = false, stop = false;
    std::thread worker([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            toWorker.wait(lock, [&] { return request || stop; });
            if (stop) return;
            request = false;
            reply = true;
            toCaller.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        request = true;
        toWorker.notify_one();
        toCaller.wait(lock, [&] { return reply; });
        reply = false;
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    toWorker.notify_one();
    worker.join();
}
BENCHMARK(BM_MutexCondvarHandoff)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
