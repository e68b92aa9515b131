#pragma once
// What the link's tests share: a delegate that records every call with its time and thread and offers
// bounded waits, and a link set up against a test receiver.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/NetStream.h"
#include "support/SessionParts.h"
#include "support/TestReceiver.h"

namespace quill::testing {

class NetStreamRecorder : public NetStreamDelegate {
  public:
    struct Event {
        std::string name;
        std::string text;  // the argument, when there is one
        std::chrono::steady_clock::time_point at;
        std::thread::id thread;
    };

    void onConnectSuccess() override { add("onConnectSuccess"); }
    void onConnectFailed() override { add("onConnectFailed"); }
    void onServerTimeout() override { add("onServerTimeout"); }
    void onRequestMirrorStartSuccess() override { add("onRequestMirrorStartSuccess"); }
    void onRequestMirrorStartFailed(int code) override {
        add("onRequestMirrorStartFailed", std::to_string(code));
    }
    void onRequestMirrorStopSuccess() override { add("onRequestMirrorStopSuccess"); }
    void onServerRequestMirrorOn() override { add("onServerRequestMirrorOn"); }
    void onServerRequestMirrorOff() override { add("onServerRequestMirrorOff"); }
    void onServerRequsstUpdateFrameRate(int frameRate) override {
        add("onServerRequsstUpdateFrameRate", std::to_string(frameRate));
    }
    void onServerRequestKeyFrame() override { add("onServerRequestKeyFrame"); }
    void onServerRequestKeyStatus() override { add("onServerRequestKeyStatus"); }
    void onServerRequestDeviceStatus(int status) override {
        add("onServerRequestDeviceStatus", std::to_string(status));
    }
    void onServerResponseAuthenticateType() override { add("onServerResponseAuthenticateType"); }
    void onServerResponseVersion(const std::string& version) override {
        add("onServerResponseVersion", version);
    }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<Event> events(const std::string& name) const {
        std::lock_guard lock(mutex_);
        std::vector<Event> out;
        for (const auto& e : events_) {
            if (e.name == name) out.push_back(e);
        }
        return out;
    }
    size_t count(const std::string& name) const { return events(name).size(); }
    // The names in the order they arrived.
    std::vector<std::string> names() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : events_)
            out.push_back(e.name);
        return out;
    }

    // True when at least n calls of that name arrived within the time.
    bool waitFor(const std::string& name, size_t n, double seconds) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            size_t c = 0;
            for (const auto& e : events_)
                c += e.name == name ? 1 : 0;
            return c >= n;
        });
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

  private:
    void add(const std::string& name, const std::string& text = {}) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back({name, text, std::chrono::steady_clock::now(), std::this_thread::get_id()});
        }
        cv_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// A test receiver and a link to it that reports to a recorder.
struct ReceiverLink {
    explicit ReceiverLink(TestReceiver::Options ro = {}) : rx(std::move(ro)) {}
    void start(const NetStream::Options& o) {
        ns = NetStream::create(o);
        ns->setDelegate(rec);
    }
    // Connects and waits until the link reported success and the receiver took a new connection on
    // every port. Counted per port: a media connection that an earlier disconnect abandoned before it
    // was made never reached the receiver, so the ports need not have the same counts.
    bool connect(double seconds = 5) {
        const size_t successes = rec->count("onConnectSuccess");
        int before[4];
        for (int i = 0; i < 4; ++i)
            before[i] = rx.connections(ReceiverPort(i));
        ns->connect("127.0.0.1");
        return rec->waitFor("onConnectSuccess", successes + 1, seconds) &&
               rx.waitFor(
                   [&] {
                       for (int i = 0; i < 4; ++i)
                           if (rx.connections(ReceiverPort(i)) <= before[i]) return false;
                       return true;
                   },
                   seconds);
    }

    TestReceiver rx;
    std::shared_ptr<NetStreamRecorder> rec = std::make_shared<NetStreamRecorder>();
    std::shared_ptr<NetStream> ns;
};

}  // namespace quill::testing
