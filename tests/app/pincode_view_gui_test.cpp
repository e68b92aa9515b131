#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <thread>

#include "app/AppTestSupport.h"
#include "app/pincode/PincodeViewController.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TempFolder.h"

namespace quill {
namespace {

using testing::pumpUntil;

class RecordingDelegate : public PincodeViewControllerDelegate {
  public:
    void onFindReceiverSuccess(const ReceiverObject& receiver) override {
        std::lock_guard lock(mutex);
        receivers.push_back(receiver);
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return receivers.size();
    }
    std::mutex mutex;
    std::vector<ReceiverObject> receivers;
};

class PincodeViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::testApplication();
        defaults = std::make_unique<UserDefaults>(folder / "defaults.plist");
    }

    std::shared_ptr<PincodeViewController> makeView(std::optional<std::string> wifi = "10.0.5.7") {
        PincodeViewParts parts;
        parts.pincodeChannel = lookup;
        parts.alerts = alerts;
        parts.userDefaults = defaults.get();
        parts.wifiAddress = [wifi] { return wifi; };
        auto view = PincodeViewController::create(parts);
        view->awakeFromNib();
        view->setPincodeViewControllerDelegate(delegate);
        return view;
    }

    static std::string labels(const PincodeViewController& view) {
        std::string out;
        for (int i = 0; i < view.maxPinCodeLength(); ++i)
            out += view.numberFileds()[i]->text().toStdString();
        return out;
    }
    static void type(PincodeViewController& view, const std::string& digits) {
        for (char c : digits)
            view.keyDown({std::string(1, c), -1});
    }
    static void pressReturn(PincodeViewController& view) { view.keyDown({"\r", kVK_Return}); }

    testing::TempFolder folder;
    std::unique_ptr<UserDefaults> defaults;
    std::shared_ptr<testing::FakeLookup> lookup = std::make_shared<testing::FakeLookup>();
    std::shared_ptr<testing::RecordingAlerts> alerts = std::make_shared<testing::RecordingAlerts>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(PincodeViewTest, StartsWithEightEmptyPositionsWhenNoKindIsStored) {
    auto view = makeView();
    EXPECT_EQ(view->maxPinCodeLength(), 8);
    EXPECT_EQ(labels(*view), "--------");
    EXPECT_EQ(view->switchDigitNumberButton()->text().toStdString(), "6 digits");
    EXPECT_FALSE(view->connectButton()->isEnabled());
    EXPECT_FALSE(view->numberFileds()[6]->isHidden());
    EXPECT_FALSE(view->numberFileds()[7]->isHidden());
    EXPECT_TRUE(view->progressIndicator()->isHidden());
    EXPECT_EQ(lookup->delegate(), view);
}

TEST_F(PincodeViewTest, TypingFillsBoxesAndEnablesConnectOnlyWhenFull) {
    auto view = makeView();
    type(*view, "1234567");
    EXPECT_EQ(labels(*view), "1234567-");
    EXPECT_FALSE(view->connectButton()->isEnabled());
    type(*view, "8");
    EXPECT_TRUE(view->connectButton()->isEnabled());
    type(*view, "9");  // a ninth digit changes nothing
    EXPECT_EQ(view->inputPinCode(), "12345678");
    EXPECT_EQ(labels(*view), "12345678");
    view->keyDown({"a", -1});  // a letter changes nothing
    view->keyDown({"-1", -1});
    EXPECT_EQ(view->inputPinCode(), "12345678");
    view->keyDown({"\x7f", kVK_Delete});
    EXPECT_EQ(labels(*view), "1234567-");
    EXPECT_FALSE(view->connectButton()->isEnabled());
}

TEST_F(PincodeViewTest, SeveralCharactersAtOnceNeverOverfillThePin) {
    auto view = makeView();
    type(*view, "123456");
    view->keyDown({"789", -1});
    EXPECT_EQ(view->inputPinCode(), "12345678");
    EXPECT_TRUE(view->connectButton()->isEnabled());
}

TEST_F(PincodeViewTest, DeleteOnEmptyPinKeepsItEmptyAndConnectDisabled) {
    auto view = makeView();
    view->onDeleteButtonClicked();
    EXPECT_EQ(view->inputPinCode(), "");
    EXPECT_FALSE(view->connectButton()->isEnabled());
    EXPECT_EQ(labels(*view), "--------");
}

TEST_F(PincodeViewTest, QtKeyEventsReachTheController) {
    auto view = makeView();
    for (auto [key, text] : {std::pair{Qt::Key_4, "4"}, {Qt::Key_2, "2"}, {Qt::Key_A, "a"}}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(view->view(), &press);
    }
    EXPECT_EQ(view->inputPinCode(), "42");
    QKeyEvent backspace(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QCoreApplication::sendEvent(view->view(), &backspace);
    EXPECT_EQ(view->inputPinCode(), "4");
}

TEST_F(PincodeViewTest, SoftKeysTypeTheirDigits) {
    auto view = makeView();
    ASSERT_EQ(view->softKeys().size(), 10u);
    view->softKeys()[2]->click();  // "3"
    view->softKeys()[9]->click();  // "0"
    EXPECT_EQ(view->inputPinCode(), "30");
}

TEST_F(PincodeViewTest, SwitchingFromEightToSixKeepsTheFirstSixDigitsAndIsStored) {
    auto view = makeView();
    type(*view, "1234567");
    view->onSwitchPinCodeTypeClicked();
    EXPECT_EQ(view->maxPinCodeLength(), 6);
    EXPECT_EQ(view->inputPinCode(), "123456");
    EXPECT_EQ(labels(*view), "123456");
    EXPECT_TRUE(view->connectButton()->isEnabled());
    EXPECT_TRUE(view->numberFileds()[6]->isHidden());
    EXPECT_TRUE(view->numberFileds()[7]->isHidden());
    EXPECT_EQ(view->switchDigitNumberButton()->text().toStdString(), "8 digits");
    EXPECT_EQ(defaults->integerForKey("pincode.type"), 6);

    // The next start reads the stored kind, also from the file.
    UserDefaults reread(folder / "defaults.plist");
    EXPECT_EQ(reread.integerForKey("pincode.type"), 6);
    auto next = makeView();
    EXPECT_EQ(next->maxPinCodeLength(), 6);
    EXPECT_EQ(labels(*next), "------");
    EXPECT_TRUE(next->numberFileds()[6]->isHidden());
    EXPECT_EQ(next->switchDigitNumberButton()->text().toStdString(), "8 digits");

    view->onSwitchPinCodeTypeClicked();
    EXPECT_EQ(view->maxPinCodeLength(), 8);
    EXPECT_FALSE(view->connectButton()->isEnabled());
    EXPECT_EQ(labels(*view), "123456--");
    EXPECT_EQ(defaults->integerForKey("pincode.type"), 8);
}

TEST_F(PincodeViewTest, ReturnStartsOneLookUpOnlyWithAFullPin) {
    defaults->setInteger(6, "pincode.type");
    auto view = makeView();
    type(*view, "12345");
    pressReturn(*view);
    EXPECT_TRUE(lookup->pins().empty());
    EXPECT_FALSE(view->isResolving());
    type(*view, "6");
    view->keyDown({"", kVK_ANSI_KeypadEnter});
    EXPECT_EQ(lookup->pins(), std::vector<std::string>{"123456"});
    EXPECT_TRUE(view->isResolving());
    EXPECT_TRUE(view->contentStackView()->isHidden());
    EXPECT_FALSE(view->progressIndicator()->isHidden());
    // While resolving, a second Return (or any typing) starts nothing and changes nothing.
    pressReturn(*view);
    view->onConnectButtonClicked();
    type(*view, "9");
    view->keyDown({"", kVK_Delete});
    EXPECT_EQ(lookup->pins().size(), 1u);
    EXPECT_EQ(view->inputPinCode(), "123456");
}

struct AlertCase {
    const char* name;
    std::function<void(PincodeDelegate&)> report;
    const char* message;
    const char* information;
};

TEST_F(PincodeViewTest, LookUpFailuresEndInTheirAlertsWithThePinKept) {
    defaults->setInteger(6, "pincode.type");
    std::vector<AlertCase> cases = {
        {"failed", [](PincodeDelegate& d) { d.onConnectServerFailed(); }, "Connection Timeout",
         "Failed to connect to server, please check your network connection and settings."},
        {"unknown pin", [](PincodeDelegate& d) { d.onUnableToFindReceiver(); }, "unable to find the pin code",
         "Please check your network connection and your input code"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto view = makeView();
        type(*view, "654321");
        view->onConnectButtonClicked();
        platform::foundation::LogCapture log;
        size_t before = alerts->count();
        std::thread([&] { c.report(*view); }).join();
        ASSERT_TRUE(pumpUntil([&] { return alerts->count() == before + 1; }));
        auto alert = alerts->alerts().back();
        EXPECT_EQ(alert.messageText, c.message);
        EXPECT_EQ(alert.informativeText, c.information);
        EXPECT_EQ(alert.alertStyle, platform::appkit::AlertStyle::Warning);
        EXPECT_EQ(alert.buttons, std::vector<std::string>{"Close"});
        EXPECT_FALSE(view->isResolving());
        EXPECT_FALSE(view->contentStackView()->isHidden());
        EXPECT_TRUE(view->progressIndicator()->isHidden());
        EXPECT_EQ(view->inputPinCode(), "654321");
        EXPECT_EQ(delegate->count(), 0u);
    }
}

TEST_F(PincodeViewTest, FoundReceiverStopsTheSpinnerAndGoesToTheDelegate) {
    defaults->setInteger(6, "pincode.type");
    auto view = makeView();
    type(*view, "111222");
    view->onConnectButtonClicked();
    platform::foundation::LogCapture log;
    // Reaching the server is no answer yet: the view goes on resolving, without an alert.
    std::thread([&] { view->onConnectServerSuccess(); }).join();
    testing::pump();
    EXPECT_TRUE(view->isResolving());
    EXPECT_FALSE(view->progressIndicator()->isHidden());
    EXPECT_EQ(alerts->count(), 0u);
    ReceiverObject receiver{"Living room", "2.1", {"10.0.0.5", "192.168.43.1"}, "111222"};
    std::thread worker([&] { view->onFindReceiverSuccess(receiver); });
    ASSERT_TRUE(pumpUntil([&] { return delegate->count() == 1; }));
    worker.join();
    EXPECT_EQ(delegate->receivers[0].ipList, receiver.ipList);
    EXPECT_EQ(delegate->receivers[0].name, "Living room");
    EXPECT_FALSE(view->isResolving());
    EXPECT_TRUE(view->progressIndicator()->isHidden());
    EXPECT_TRUE(log.contains("name=Living room, version=2.1"));
    EXPECT_TRUE(log.contains("ip=10.0.0.5"));
    EXPECT_TRUE(log.contains("ip=192.168.43.1"));
    EXPECT_EQ(view->inputPinCode(), "111222");
}

TEST_F(PincodeViewTest, EightDigitPinIsDecodedLocally) {
    auto view = makeView("10.0.5.7");
    platform::foundation::LogCapture log;
    type(*view, "05000255");
    pressReturn(*view);
    ASSERT_TRUE(pumpUntil([&] { return delegate->count() == 1; }));
    EXPECT_EQ(delegate->receivers[0].ipList, std::vector<std::string>{"10.0.5.250"});
    EXPECT_EQ(delegate->receivers[0].pincode, "05000255");
    EXPECT_EQ(delegate->receivers[0].name, "");
    EXPECT_TRUE(lookup->pins().empty());
    EXPECT_TRUE(log.contains("sf=05, sa=000, sb=255"));
    EXPECT_TRUE(log.contains("targetIp =10.0.5.250"));
    ASSERT_TRUE(pumpUntil([&] { return !view->isResolving(); }));
}

TEST_F(PincodeViewTest, LocalDecodingFailuresEndInTheirAlerts) {
    struct Case {
        std::optional<std::string> wifi;
        std::string pin;
        const char* message;
        const char* information;
    };
    std::vector<Case> cases = {
        {"10.0.5.7", "99999999", "Invalid input", "The Pin Code is invalid."},
        {std::nullopt, "12345678", "Failed to get local ip", "Unable to get local ip, or get a invalid ip"},
        {"10.0.5", "12345678", "Failed to get local ip", "Unable to get local ip, or get a invalid ip"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pin);
        auto view = makeView(c.wifi);
        size_t before = alerts->count();
        type(*view, c.pin);
        pressReturn(*view);
        ASSERT_TRUE(pumpUntil([&] { return alerts->count() == before + 1; }));
        EXPECT_EQ(alerts->alerts().back().messageText, c.message);
        EXPECT_EQ(alerts->alerts().back().informativeText, c.information);
        EXPECT_FALSE(view->isResolving());
        EXPECT_EQ(view->inputPinCode(), c.pin);
    }
    EXPECT_EQ(delegate->count(), 0u);
}

}  // namespace
}  // namespace quill
