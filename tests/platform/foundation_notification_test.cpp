#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <latch>
#include <semaphore>
#include <thread>

#include "platform/foundation/NotificationCenter.h"

namespace quill::platform::foundation {
namespace {

using namespace std::chrono_literals;

TEST(NotificationCenterTest, DeliversByNameAndSenderInOrder) {
    NotificationCenter center;
    std::vector<std::string> calls;
    int sender = 0;
    int other = 0;
    center.addObserver("A", [&](const Notification& n) { calls.push_back("a1:" + n.name); });
    center.addObserver("B", [&](const Notification&) { calls.push_back("b"); });
    center.addObserver(
        "A", [&](const Notification&) { calls.push_back("a-from-sender"); }, &sender);
    center.addObserver("", [&](const Notification& n) { calls.push_back("all:" + n.name); });
    center.addObserver("A", [&](const Notification& n) {
        calls.push_back("a2:" + std::to_string(std::any_cast<int>(n.userInfo)));
    });

    center.post("A", &sender, 5);
    EXPECT_EQ(calls, (std::vector<std::string>{"a1:A", "a-from-sender", "all:A", "a2:5"}));
    calls.clear();
    center.post("A", &other, 6);
    EXPECT_EQ(calls, (std::vector<std::string>{"a1:A", "all:A", "a2:6"}));
    calls.clear();
    center.post("C");
    EXPECT_EQ(calls, (std::vector<std::string>{"all:C"}));
}

TEST(NotificationCenterTest, ObserversRemovedDuringAPostAreNotCalled) {
    NotificationCenter center;
    int firstCalls = 0;
    int secondCalls = 0;
    NotificationCenter::Token first = 0;
    NotificationCenter::Token second = 0;
    first = center.addObserver("N", [&](const Notification&) {
        ++firstCalls;
        center.removeObserver(first);   // itself
        center.removeObserver(second);  // one that comes later in this post
    });
    second = center.addObserver("N", [&](const Notification&) { ++secondCalls; });
    center.post("N");
    center.post("N");
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 0);
    EXPECT_EQ(center.observerCount(), 0u);
    center.removeObserver(first);  // unknown by now: ignored
}

TEST(NotificationCenterTest, ObserversAddedDuringAPostWaitForTheNextOne) {
    NotificationCenter center;
    int added = 0;
    int lateCalls = 0;
    center.addObserver("N", [&](const Notification&) {
        if (added++ == 0) center.addObserver("N", [&](const Notification&) { ++lateCalls; });
    });
    center.post("N");
    EXPECT_EQ(lateCalls, 0);
    center.post("N");
    EXPECT_EQ(lateCalls, 1);
}

TEST(NotificationCenterTest, AnObserverMayPostAgain) {
    NotificationCenter center;
    std::vector<std::string> calls;
    center.addObserver("outer", [&](const Notification&) {
        calls.push_back("outer");
        center.post("inner");
    });
    center.addObserver("inner", [&](const Notification&) { calls.push_back("inner"); });
    center.post("outer");
    EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner"}));
}

TEST(NotificationCenterTest, ScopedObserverRemovesItselfAndReleasesItsCallback) {
    NotificationCenter center;
    auto held = std::make_shared<int>(0);
    {
        ScopedObserver observer(center, "N", [held](const Notification&) { ++*held; });
        center.post("N");
        EXPECT_EQ(*held, 1);
        EXPECT_EQ(held.use_count(), 2);
        ScopedObserver moved = std::move(observer);
        center.post("N");
        EXPECT_EQ(*held, 2);
    }
    center.post("N");
    EXPECT_EQ(*held, 2);
    EXPECT_EQ(held.use_count(), 1) << "the callback is destroyed with its observer";
}

TEST(NotificationCenterTest, ConcurrentPostsAndObserverChurn) {
    NotificationCenter center;
    std::atomic<int> stableCalls{0};
    std::atomic<bool> stop{false};
    center.addObserver("N", [&](const Notification&) { stableCalls.fetch_add(1); });

    std::vector<std::thread> threads;
    constexpr int kPosters = 3;
    constexpr int kPosts = 2000;
    for (int t = 0; t < kPosters; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kPosts; ++i)
                center.post("N");
        });
    }
    std::thread churn([&] {
        while (!stop) {
            auto token = center.addObserver("N", [](const Notification&) {});
            center.removeObserver(token);
        }
    });
    for (auto& t : threads)
        t.join();
    stop = true;
    churn.join();
    EXPECT_EQ(stableCalls.load(), kPosters * kPosts);
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, RemovalWaitsForACallRunningOnAnotherThread) {
    NotificationCenter center;
    std::binary_semaphore inCall{0}, removed{0};
    std::atomic<bool> removedDuringCall{false};
    auto token = center.addObserver("N", [&](const Notification&) {
        inCall.release();
        removedDuringCall = removed.try_acquire_for(200ms);
    });
    std::thread poster([&] { center.post("N"); });
    EXPECT_TRUE(inCall.try_acquire_for(5s));
    center.removeObserver(token);
    removed.release();
    poster.join();
    EXPECT_FALSE(removedDuringCall);
}

TEST(NotificationCenterTest, ObserversRemovingEachOtherOnTwoThreadsDoNotDeadlock) {
    // Shared with detached posting threads, so that a deadlock fails the test instead of hanging it.
    auto center = std::make_shared<NotificationCenter>();
    auto both = std::make_shared<std::latch>(2);
    auto done = std::make_shared<std::counting_semaphore<2>>(0);
    auto tokens = std::make_shared<std::array<NotificationCenter::Token, 2>>();
    for (int i : {0, 1})
        (*tokens)[i] = center->addObserver(std::to_string(i), [=, c = center.get()](const Notification&) {
            both->arrive_and_wait();  // each call runs while the other does
            c->removeObserver((*tokens)[1 - i]);
        });
    for (int i : {0, 1})
        std::thread([=] {
            center->post(std::to_string(i));
            done->release();
        }).detach();
    EXPECT_TRUE(done->try_acquire_for(5s) && done->try_acquire_for(5s));
}

TEST(NotificationCenterTest, SharedInstanceIsOneCentre) {
    EXPECT_EQ(&NotificationCenter::sharedInstance(), &NotificationCenter::sharedInstance());
}

}  // namespace
}  // namespace quill::platform::foundation
