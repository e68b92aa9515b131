#pragma once
// Shared pieces of the application's window tests: one offscreen QApplication for the process, a pump
// that runs Qt events and main-queue work until a condition holds (bounded), and fakes of the look-up
// client, the session controller and the alert presenter.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Strings.h"
#include "app/pincode/PincodeLookup.h"
#include "app/session/MirrorSession.h"
#include "platform/appkit/Alert.h"
#include "platform/dispatch/Dispatch.h"

namespace quill::testing {

inline QApplication& testApplication() {
    static QApplication* app = [] {
        // Offscreen unless the caller chose a platform (e.g. xcb under Xvfb for screenshots).
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "quill_app_gui_tests";
        static char* argv[] = {name, nullptr};
        auto* created = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        registerLocalizedStrings();
        return created;
    }();
    return *app;
}

// Runs Qt events and main-queue work until done() holds or seconds pass; whether done() held.
inline bool pumpUntil(const std::function<bool()>& done, double seconds = 5.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        QCoreApplication::processEvents();
        platform::dispatch::drainMain();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Runs whatever is ready now.
inline void pump() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        platform::dispatch::drainMain();
    }
}

class RecordingAlerts : public platform::appkit::AlertPresenter {
  public:
    int runModal(const platform::appkit::Alert& alert) override {
        std::lock_guard lock(mutex_);
        alerts_.push_back(alert);
        return answer_;
    }
    std::vector<platform::appkit::Alert> alerts() const {
        std::lock_guard lock(mutex_);
        return alerts_;
    }
    size_t count() const { return alerts().size(); }
    void setAnswer(int answer) { answer_ = answer; }

  private:
    mutable std::mutex mutex_;
    std::vector<platform::appkit::Alert> alerts_;
    int answer_ = platform::appkit::NSAlertFirstButtonReturn;
};

class FakeLookup : public PincodeLookup {
  public:
    void setPincodeDelegate(std::weak_ptr<PincodeDelegate> delegate) override { delegate_ = delegate; }
    void findReceiverByPincode(const std::string& pin) override {
        std::lock_guard lock(mutex_);
        pins_.push_back(pin);
    }
    std::vector<std::string> pins() const {
        std::lock_guard lock(mutex_);
        return pins_;
    }
    std::shared_ptr<PincodeDelegate> delegate() const { return delegate_.lock(); }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> pins_;
    std::weak_ptr<PincodeDelegate> delegate_;
};

class FakeSession : public MirrorSession {
  public:
    void setDelegate(std::weak_ptr<MirrorChannelDelegate> delegate) override { delegate_ = delegate; }
    void setLocalIP(const std::string& ip) override { record("setLocalIP:" + ip); }
    void connect(const std::string& host, const std::string& pin) override {
        record("connect:" + host + "," + pin);
    }
    bool installSoundPlugin() override {
        record("installSoundPlugin");
        return true;
    }
    void requestMirrorOn() override { record("requestMirrorOn"); }
    void requestMirrorOff() override { record("requestMirrorOff"); }
    void disconnect() override { record("disconnect"); }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    size_t count(const std::string& call) const {
        auto all = calls();
        return static_cast<size_t>(std::count(all.begin(), all.end(), call));
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    std::shared_ptr<MirrorChannelDelegate> delegate() const { return delegate_.lock(); }
    // Runs a report on a thread of its own, as the real controller's threads do, and waits for it.
    void report(const std::function<void(MirrorChannelDelegate&)>& call) {
        auto d = delegate();
        ASSERT_TRUE(d);
        std::thread([&] { call(*d); }).join();
    }

  private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::weak_ptr<MirrorChannelDelegate> delegate_;
};

}  // namespace quill::testing
