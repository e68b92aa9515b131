// A whole mirroring session against the test receiver: connecting and the set-up requests, mirroring at
// the user's and the receiver's word, what reaches the receiver, the sound devices and the display
// assertion around a run, a receiver that dies, quick repeated starts and stops, and disconnecting.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/foundation/SysLog.h"
#include "support/SessionRig.h"

namespace quill {
namespace {

using platform::foundation::LogCapture;
using testing::ControlRecord;
using testing::ReceiverPort;
using testing::SessionRig;
using testing::SessionRigOptions;

constexpr double kWait = 10;

// Polls pred until it holds, at most `seconds`.
bool eventually(const std::function<bool()>& pred, double seconds = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Heartbeats aside, the request codes the sender wrote, in order.
std::vector<int> requestCodes(const std::vector<ControlRecord>& records) {
    std::vector<int> codes;
    for (const auto& r : records) {
        if (r.kind() == 1 && r.code() != 0) codes.push_back(r.code());
    }
    return codes;
}

TEST(SessionIntegrationTest, ConnectSendsTheSetUpRequestsInOrderBetweenHeartbeats) {
    SessionRig rig;
    ASSERT_TRUE(rig.connect("482913"));
    ASSERT_TRUE(rig.view->waitFor("onRequestReceiverVersionSuccess:2.3.1", 1, kWait));
    ASSERT_TRUE(rig.receiver->waitForRequests(0, 3, kWait));

    // Sender name, version, authentication type, client type, pin; the touch mode and the client code
    // that the set-up also asks for put nothing on the wire.
    const auto control = rig.receiver->control();
    EXPECT_EQ(requestCodes(control), (std::vector<int>{15, 14, 25, 20, 35}));
    // Every request carries the last octet of the local address.
    for (const auto& r : control) {
        if (r.kind() == 1) {
            EXPECT_EQ(r.bytes[0], 42);
        }
    }
    const auto name = rig.receiver->requests(15);
    ASSERT_EQ(name.size(), 1u);
    EXPECT_EQ(std::string(name[0].bytes.begin() + 4, name[0].bytes.begin() + 16),
              std::string("Test Mac\0\0\0\0", 12));
    const auto pin = rig.receiver->requests(35);
    ASSERT_EQ(pin.size(), 1u);
    EXPECT_EQ(pin[0].bytes[4], 6);
    EXPECT_EQ(std::string(pin[0].bytes.begin() + 5, pin[0].bytes.begin() + 11), "482913");
    EXPECT_EQ(rig.view->events().front(), "onConnectToReceiverSuccess");
    EXPECT_EQ(rig.channel->pinCode(), "482913");
    EXPECT_EQ(rig.handlersMade.load(), 0);

    rig.channel->disconnect();
    EXPECT_TRUE(rig.receiver->waitForAllClosed(kWait));
    EXPECT_EQ(rig.view->count("onConnectToReceiverFailed:-1"), 0u);
}

TEST(SessionIntegrationTest, WholeSessionStreamsDecodableVideoAndMp3AndPutsEverythingBack) {
    SessionRig rig;
    LogCapture log;
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 1, kWait));
    // The view hears of it first, then the pipeline starts.
    ASSERT_TRUE(eventually([&] { return rig.power->heldAssertions() == 1; }));
    EXPECT_TRUE(rig.channel->isMirroring());
    EXPECT_EQ(rig.powerBackend->held(), 1u);
    EXPECT_TRUE(rig.loopbackIsDefault());
    EXPECT_TRUE(rig.settingFileExists());
    EXPECT_TRUE(rig.soundflower->protectSetting());

    ASSERT_TRUE(rig.receiver->waitForVideo(30, kWait));
    ASSERT_TRUE(rig.receiver->waitForAudio(40, kWait));
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 1, kWait));
    EXPECT_FALSE(rig.channel->isMirroring());
    EXPECT_EQ(rig.power->heldAssertions(), 0u);
    EXPECT_EQ(rig.powerBackend->held(), 0u);
    EXPECT_TRUE(rig.userDevicesAreDefault());
    EXPECT_FALSE(rig.settingFileExists());
    EXPECT_FALSE(rig.soundflower->protectSetting());

    // The stream opens with the parameter sets and an IDR picture, before any other picture.
    const auto video = rig.receiver->video();
    std::vector<int> types;
    for (const auto& v : video)
        types.push_back(v.nalType());
    const auto firstPicture =
        std::find_if(types.begin(), types.end(), [](int t) { return t == 1 || t == 5; });
    ASSERT_NE(firstPicture, types.end());
    EXPECT_EQ(*firstPicture, 5);
    EXPECT_NE(std::find(types.begin(), firstPicture, 7), firstPicture);
    EXPECT_NE(std::find(types.begin(), firstPicture, 8), firstPicture);
    for (const auto& a : rig.receiver->audio()) {
        ASSERT_GE(a.frame.size(), 4u);
        EXPECT_EQ(a.frame[0], 0xFF);
        EXPECT_TRUE(a.frame.size() == 417 || a.frame.size() == 418) << a.frame.size();
    }
    EXPECT_TRUE(rig.receiver->problems().empty()) << rig.receiver->problems().front();

    rig.channel->disconnect();
    EXPECT_TRUE(rig.receiver->waitForAllClosed(kWait));
    for (auto port : {ReceiverPort::Control, ReceiverPort::Video, ReceiverPort::Audio, ReceiverPort::Touch})
        EXPECT_TRUE(rig.receiver->peerClosed(port));
    EXPECT_EQ(log.count("sendMediaData"), 1u);
    EXPECT_EQ(log.count("exit sendMediaData"), 1u);
    EXPECT_EQ(rig.powerBackend->entries().size(), 1u);
    EXPECT_EQ(rig.powerBackend->entries()[0].type, "PreventUserIdleDisplaySleep");
    EXPECT_EQ(rig.powerBackend->entries()[0].reason, "Screen Mirroring");
    EXPECT_EQ(rig.view->events(),
              (std::vector<std::string>{"onConnectToReceiverSuccess", "onRequestReceiverVersionSuccess:2.3.1",
                                        "onRequestMirrorOnSuccess", "onRequestMirrorOffSuccess"}));
}

TEST(SessionIntegrationTest, WithoutTheLoopbackDriverOnlyVideoIsSentAndTheDevicesStay) {
    SessionRig rig({.driverLoaded = false});
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 1, kWait));
    ASSERT_TRUE(rig.receiver->waitForVideo(10, kWait));
    EXPECT_TRUE(rig.userDevicesAreDefault());
    EXPECT_TRUE(rig.receiver->audio().empty());
    rig.channel->disconnect();
    EXPECT_TRUE(rig.userDevicesAreDefault());
    EXPECT_FALSE(rig.settingFileExists());
    EXPECT_EQ(rig.powerBackend->held(), 0u);
}

TEST(SessionIntegrationTest, TheReceiverStartsAndStopsMirroringItself) {
    SessionRig rig;
    ASSERT_TRUE(rig.connect());

    // Its own request to start becomes this sender's start request; the answer starts mirroring.
    ASSERT_TRUE(rig.receiver->sendRequest(1));
    ASSERT_TRUE(rig.receiver->waitForRequests(1, 1, kWait));
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 1, kWait));
    ASSERT_TRUE(rig.receiver->waitForVideo(3, kWait));
    ASSERT_TRUE(rig.receiver->sendRequest(2));
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 1, kWait));
    EXPECT_EQ(rig.receiver->requests(2).size(), 1u);

    // Device status 7 starts without a request, 6 stops; 6 again does nothing.
    ASSERT_TRUE(rig.receiver->sendCallback(128, 7));
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 2, kWait));
    EXPECT_EQ(rig.receiver->requests(1).size(), 1u);
    ASSERT_TRUE(rig.receiver->sendCallback(128, 6));
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 2, kWait));
    ASSERT_TRUE(rig.receiver->sendCallback(128, 6));

    // The key-status callback toggles through requests.
    ASSERT_TRUE(rig.receiver->sendCallback(129));
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 3, kWait));
    EXPECT_EQ(rig.receiver->requests(1).size(), 2u);
    ASSERT_TRUE(rig.receiver->sendCallback(129));
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 3, kWait));
    EXPECT_EQ(rig.receiver->requests(2).size(), 2u);

    // The stray status 6 above brought no delegate call.
    EXPECT_EQ(rig.view->count("onRequestMirrorOffSuccess"), 3u);
    EXPECT_EQ(rig.handlersMade.load(), 3);
    EXPECT_EQ(rig.powerBackend->held(), 0u);
    EXPECT_TRUE(rig.userDevicesAreDefault());
}

TEST(SessionIntegrationTest, AKeyFrameRequestBringsAnotherIdrPicture) {
    SessionRig rig;
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.receiver->waitForVideo(20, kWait));
    const size_t before = rig.receiver->video().size();
    ASSERT_TRUE(rig.receiver->sendRequest(24));
    ASSERT_TRUE(rig.receiver->waitFor(
        [&] {
            const auto v = rig.receiver->video();
            for (size_t i = before; i < v.size(); ++i)
                if (v[i].nalType() == 5) return true;
            return false;
        },
        kWait));
    rig.channel->disconnect();
}

TEST(SessionIntegrationTest, ASecondStartAnswerWhileMirroringStartsNothingMore) {
    SessionRig rig;
    LogCapture log;
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 1, kWait));
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.receiver->waitForRequests(1, 2, kWait));
    ASSERT_TRUE(rig.receiver->waitFor([&] { return log.contains("still in mirroring state...."); }, kWait));
    EXPECT_EQ(rig.handlersMade.load(), 1);
    EXPECT_EQ(rig.powerBackend->held(), 1u);
    EXPECT_EQ(rig.view->count("onRequestMirrorOnSuccess"), 1u);

    // A stop answer while not mirroring is still reported.
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 1, kWait));
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 2, kWait));
    rig.channel->disconnect();
}

TEST(SessionIntegrationTest, AReceiverThatDiesMidStreamIsReportedAndDisconnectCleansUp) {
    SessionRig rig;
    LogCapture log;
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.receiver->waitForVideo(5, kWait));
    // Like the session view: disconnect from inside the failure report.
    std::weak_ptr<MirrorChannel> weak = rig.channel;
    rig.view->setHook([weak](const std::string& name) {
        if (name == "onConnectToReceiverFailed:-1")
            if (auto c = weak.lock()) c->disconnect();
    });
    rig.receiver.reset();
    ASSERT_TRUE(rig.view->waitFor("onConnectToReceiverFailed:-1", 1, kWait));
    ASSERT_TRUE(
        eventually([&] { return log.contains("exit sendMediaData") && rig.powerBackend->held() == 0; }));
    EXPECT_FALSE(rig.channel->isMirroring());
    EXPECT_TRUE(rig.userDevicesAreDefault());
    EXPECT_FALSE(rig.settingFileExists());
    EXPECT_EQ(log.count("exit sendMediaData"), 1u);
}

TEST(SessionIntegrationTest, QuickRepeatedStartsAndStopsLeaveOneRunAtATimeAndNothingBehind) {
    SessionRig rig;
    LogCapture log;
    ASSERT_TRUE(rig.connect());
    for (int i = 1; i <= 5; ++i) {
        rig.channel->requestMirrorOn();
        rig.channel->requestMirrorOff();
        ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", size_t(i), kWait));
    }
    // Starts and stops from the receiver and the user at once.
    std::thread user([&] {
        for (int i = 0; i < 10; ++i) {
            rig.channel->requestMirrorOn();
            rig.channel->requestMirrorOff();
        }
    });
    for (int i = 0; i < 10; ++i) {
        rig.receiver->sendCallback(128, 7);
        rig.receiver->sendCallback(128, 6);
    }
    user.join();
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.receiver->waitFor(
        [&] { return !rig.channel->isMirroring() && rig.receiver->requests(2).size() >= 16; }, kWait));
    rig.channel->disconnect();

    const auto events = rig.view->events();
    // On and off alternate, starting with on.
    bool on = false;
    for (const auto& e : events) {
        if (e == "onRequestMirrorOnSuccess") {
            EXPECT_FALSE(on);
            on = true;
        } else if (e == "onRequestMirrorOffSuccess") {
            on = false;
        }
    }
    EXPECT_EQ(log.count("sendMediaData"), log.count("exit sendMediaData"));
    EXPECT_EQ(log.count("sendMediaData"), size_t(rig.handlersMade.load()));
    EXPECT_EQ(rig.powerBackend->held(), 0u);
    EXPECT_EQ(rig.power->heldAssertions(), 0u);
    EXPECT_TRUE(rig.userDevicesAreDefault());
    EXPECT_FALSE(rig.settingFileExists());
    EXPECT_FALSE(rig.soundflower->protectSetting());
}

TEST(SessionIntegrationTest, DisconnectFromTheStartReportEndsTheRunAndLaterStartsAreIgnored) {
    SessionRig rig;
    ASSERT_TRUE(rig.connect());
    std::weak_ptr<MirrorChannel> weak = rig.channel;
    rig.view->setHook([weak](const std::string& name) {
        if (name == "onRequestMirrorOnSuccess")
            if (auto c = weak.lock()) c->disconnect();
    });
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 1, kWait));
    ASSERT_TRUE(rig.receiver->waitForAllClosed(kWait));
    ASSERT_TRUE(eventually([&] { return rig.powerBackend->held() == 0 && rig.userDevicesAreDefault(); }));
    EXPECT_FALSE(rig.channel->isMirroring());

    // A new connect allows starts again.
    rig.view->setHook({});
    rig.receiver->clearRecords();
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOnSuccess", 2, kWait));
    ASSERT_TRUE(rig.receiver->waitForVideo(3, kWait));
    rig.channel->disconnect();
    EXPECT_EQ(rig.powerBackend->held(), 0u);
}

TEST(SessionIntegrationTest, DestroyingTheControllerWhileMirroringReleasesEverything) {
    SessionRig rig;
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.receiver->waitForVideo(3, kWait));
    rig.channel.reset();
    EXPECT_TRUE(rig.receiver->waitForAllClosed(kWait));
    EXPECT_EQ(rig.powerBackend->held(), 0u);
    EXPECT_TRUE(rig.userDevicesAreDefault());
    EXPECT_FALSE(rig.settingFileExists());
}

TEST(SessionIntegrationTest, TheLocalAddressGivesTheAddressByte) {
    SessionRig rig;
    LogCapture log;
    rig.channel->setLocalIP("10.0.1");
    ASSERT_TRUE(rig.connect());
    EXPECT_TRUE(log.contains("arr[0]=10"));
    EXPECT_TRUE(log.contains("arr[1]=0"));
    EXPECT_TRUE(log.contains("arr[2]=1"));
    EXPECT_EQ(rig.receiver->requests(35).at(0).bytes[0], 1);
    rig.channel->disconnect();
    ASSERT_TRUE(rig.receiver->waitForAllClosed(kWait));

    rig.channel->setLocalIP("192.168.1.37");
    rig.receiver->clearRecords();
    ASSERT_TRUE(rig.connect());
    EXPECT_EQ(rig.receiver->requests(35).at(0).bytes[0], 37);
    EXPECT_EQ(rig.channel->netStream().locaIpByte(), 37);
    rig.channel->disconnect();
}

TEST(SessionIntegrationTest, SavedDevicesLeftByAnUncleanEndAreKeptAndPutBack) {
    SessionRig rig;
    // An earlier run saved the user's devices and never put them back.
    ASSERT_TRUE(rig.devices->writeSystemAudioSettingToFile(rig.settingFile()));
    ASSERT_TRUE(rig.soundflower->setSoundflowerAsDefaultAudio());
    ASSERT_TRUE(rig.connect());
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(rig.receiver->waitForAudio(3, kWait));
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 1, kWait));
    EXPECT_TRUE(rig.userDevicesAreDefault());
    EXPECT_FALSE(rig.settingFileExists());
    rig.channel->disconnect();
}

TEST(SessionIntegrationTest, TheViewHearsOfMirroringBeforeThePipelineStarts) {
    SessionRig rig;
    ASSERT_TRUE(rig.connect());
    std::atomic<int> handlersWhenHeard{-1};
    rig.view->setHook([&](const std::string& name) {
        if (name == "onRequestMirrorOnSuccess") handlersWhenHeard = rig.handlersMade.load();
    });
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(eventually([&] { return handlersWhenHeard.load() != -1; }));
    EXPECT_EQ(handlersWhenHeard.load(), 0);
    ASSERT_TRUE(rig.receiver->waitForVideo(1, kWait));
    rig.channel->disconnect();
}

TEST(SessionIntegrationTest, AStartRightAfterAStopNeverWaitsForTheOldRunsCreditWait) {
    // A receiver that stops reading video, and a credit wait far longer than the test's bounds.
    SessionRig rig({.link = [](NetStream::Options& o) { o.videoCreditWait = 30; }});
    rig.receiver->setReadMedia(ReceiverPort::Video, false);
    ASSERT_TRUE(rig.connect());
    // One write that the socket buffers cannot take whole, and nine behind it, hold every video credit.
    ASSERT_TRUE(rig.channel->netStream().sendVideoData(std::vector<uint8_t>(24 << 20, 0)));
    for (int i = 0; i < 9; ++i)
        ASSERT_TRUE(rig.channel->netStream().sendVideoData(std::vector<uint8_t>(28, 0)));
    rig.channel->requestMirrorOn();
    // The send thread has a packet it cannot send: the encoded video queue fills up behind it and stays
    // full (a send thread that takes a packet every pass would empty it).
    ASSERT_TRUE(eventually([&] {
        auto handler = rig.lastHandler();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (handler && handler->videoOutputQueue()->count() == SWMediaHandler::kQueueCapacity) {
            if (std::chrono::steady_clock::now() > until) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }));
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.view->waitFor("onRequestMirrorOffSuccess", 1, kWait));

    // The next start (on the link's callback thread) and the user's disconnect go through at once.
    const auto t0 = std::chrono::steady_clock::now();
    rig.channel->requestMirrorOn();
    ASSERT_TRUE(eventually([&] { return rig.handlersMade.load() == 2; }, 5));
    rig.channel->disconnect();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
    EXPECT_EQ(rig.powerBackend->held(), 0u);
}

TEST(SessionIntegrationTest, FailureReportsOfAClosedConnectionAreNotPassedOn) {
    SessionRig rig;
    ASSERT_TRUE(rig.connect());
    std::shared_ptr<NetStreamDelegate> link = rig.channel->netStream().delegate();
    ASSERT_TRUE(link);
    // A report the link had under way when the user disconnected.
    rig.channel->disconnect();
    link->onConnectFailed();
    EXPECT_EQ(rig.view->count("onConnectToReceiverFailed:-1"), 0u);

    // One that waited behind a slow delivery while the user disconnected.
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    rig.view->setHook([&](const std::string& name) {
        if (name != "onConnectToReceiverSuccess") return;
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(int(kWait)), [&] { return release; });
    });
    rig.channel->connect("127.0.0.1", "123456");
    ASSERT_TRUE(rig.view->waitFor("onConnectToReceiverSuccess", 2, kWait));
    link->onConnectFailed();
    rig.channel->disconnect();
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    // Once the controller is gone, every delivery under way has ended.
    ASSERT_TRUE(rig.releaseChannel());
    EXPECT_EQ(rig.view->count("onConnectToReceiverFailed:-1"), 0u);
}

TEST(SessionIntegrationTest, CursorLoopSendsThePointerFromTheTopLeftWhileMirroring) {
    SessionRig rig({.width = 1440, .height = 900});
    ASSERT_TRUE(rig.connect());
    // Started while not mirroring: the flag on and at once off.
    rig.channel->startSendMouseEventThread();
    ASSERT_TRUE(rig.receiver->waitForRequests(33, 2, kWait));
    auto flags = rig.receiver->requests(33);
    EXPECT_EQ(flags[0].bytes[4], 1);
    EXPECT_EQ(flags[1].bytes[4], 0);
    EXPECT_TRUE(rig.receiver->requests(34).empty());

    rig.channel->requestMirrorOn();
    ASSERT_TRUE(eventually([&] { return rig.channel->isMirroring(); }));
    // The display's top left corner, in points from its bottom left.
    rig.display->setMouseLocation(platform::display::Point{0, 900});
    rig.channel->startSendMouseEventThread();
    // Bytes 4-9 as the receiver reads them: type, action, x and y big-endian.
    auto sent = [&](std::array<uint8_t, 6> attach) {
        return rig.receiver->waitForControl(
            [&](const std::vector<ControlRecord>& all) {
                for (const auto& r : all)
                    if (r.kind() == 1 && r.code() == 34 &&
                        std::equal(attach.begin(), attach.end(), r.bytes.begin() + 4))
                        return true;
                return false;
            },
            kWait);
    };
    EXPECT_TRUE(sent({0, 0, 0, 0, 0, 0}));
    rig.display->setMouseLocation(platform::display::Point{1439.7, 0});  // the bottom edge
    EXPECT_TRUE(sent({0, 0, 0x05, 0x9F, 0x03, 0x84}));
    rig.channel->requestMirrorOff();
    ASSERT_TRUE(rig.receiver->waitForRequests(33, 4, kWait));
    EXPECT_EQ(rig.receiver->requests(33)[2].bytes[4], 1);
    EXPECT_EQ(rig.receiver->requests(33)[3].bytes[4], 0);
    rig.channel->disconnect();
}

TEST(SessionIntegrationTest, InstallSoundPluginInstallsOnlyAMissingDriver) {
    SessionRig rig;
    LogCapture log;
    EXPECT_TRUE(rig.channel->installSoundPlugin());
    EXPECT_TRUE(log.contains("going to installSoundPlugin"));
    EXPECT_EQ(rig.authorization->createCount(), 0);

    // Missing, and no driver archive to install from: nothing is launched.
    rig.setDriverLoaded(false);
    EXPECT_FALSE(rig.channel->installSoundPlugin());
    EXPECT_TRUE(rig.authorization->launches().empty());
}

}  // namespace
}  // namespace quill
