#pragma once
// The session view: shown while the application is linked to a receiver. When it appears with a new
// receiver it picks the receiver's address and connects the session to it; its buttons start and stop
// mirroring and end the session; the session's reports become changes of its labels, buttons and
// alerts. Reports arrive on the session's threads and are handed to the main queue before they are
// judged: the session's state lives on the main thread alone, so a report and a button press can never
// act on it at the same time.

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/pincode/ReceiverObject.h"
#include "app/session/Device.h"
#include "app/session/MirrorSession.h"
#include "platform/appkit/Alert.h"
#include "platform/display/Display.h"

class QLabel;
class QPushButton;
class QProgressBar;

namespace quill {

class ConnectStatusViewDelegate {
  public:
    virtual ~ConnectStatusViewDelegate() = default;
    // Any thread.
    virtual void onConnectStatusViewClosed() = 0;
};

struct ConnectStatusViewParts {
    // The session controller (required).
    std::shared_ptr<MirrorSession> mirrorChannel;
    // Default: Qt message boxes.
    std::shared_ptr<platform::appkit::AlertPresenter> alerts;
    // This computer's own IPv4 address, read once at creation. Default: getWiFiAddress.
    std::function<std::optional<std::string>()> wifiAddress;
    // The screen that mirroring captures; told whether it can be captured at all. Default: the
    // process's display service.
    std::shared_ptr<platform::display::DisplayService> display;
};

// The addresses a receiver lists that are never chosen (its own hotspot addresses).
bool isExcludedReceiverAddress(const std::string& address);
// The last address of the list that is not excluded; empty when there is none.
std::string chooseTargetAddress(const std::vector<std::string>& ipList);

class ConnectStatusViewController : public MirrorChannelDelegate,
                                    public std::enable_shared_from_this<ConnectStatusViewController> {
  public:
    enum class WorkingMode : uint8_t { NONE = 0, CONNECTED = 1, MIRROR = 2, MIRROR_BACK = 3 };
    static const char* name(WorkingMode mode);

    // Main thread.
    static std::shared_ptr<ConnectStatusViewController> create(ConnectStatusViewParts parts);
    ~ConnectStatusViewController() override;

    QWidget* view() const { return view_; }
    void setDelegate(std::weak_ptr<ConnectStatusViewDelegate> delegate) { delegate_ = std::move(delegate); }

    // Main thread.
    void setReceiver(const ReceiverObject& receiver) { receiver_ = receiver; }
    const std::optional<ReceiverObject>& receiver() const { return receiver_; }
    const std::optional<Device>& targetDevice() const { return targetDevice_; }
    MirrorSession& mirrorChannel() const { return *parts_.mirrorChannel; }
    // NONE also while the connection is being made.
    WorkingMode workingMode() const;

    void viewWillAppear();
    void onMirrorButtonClicked();
    void onDisconnectButtonClicked();
    void onMirrorBackButtonClicked() {}

    // Session reports, on the session's threads; each acts on the main queue.
    void onConnectToReceiverSuccess() override;
    void onConnectToReceiverFailed(int code) override;
    void onRequestMirrorOnSuccess() override;
    void onRequestMirrorOnFailed(int code) override;
    void onRequestMirrorOffSuccess() override;
    void onRequestReceiverVersionSuccess(const std::string& version) override;

    QLabel* receiverNameTextField() const { return receiverNameTextField_; }
    QLabel* ipListTextField() const { return ipListTextField_; }
    QWidget* contentStackView() const { return contentStackView_; }
    QProgressBar* connectStatusProgressIndicator() const { return connectStatusProgressIndicator_; }
    QPushButton* mirrorBackButton() const { return mirrorBackButton_; }
    QPushButton* mirrorButton() const { return mirrorButton_; }
    QPushButton* disconnectButton() const { return disconnectButton_; }

  private:
    // Where the session stands. Connecting runs from connect until the receiver's first answer; Ended
    // means the next appearance connects, and reports that arrive then belong to an ended session.
    enum class SessionState : uint8_t { Ended, Connecting, Connected, Mirror };

    explicit ConnectStatusViewController(ConnectStatusViewParts parts);
    void buildView();
    void setUp();
    void onMain(std::function<void(ConnectStatusViewController&)> work);
    void closeWithAlert();
    // Mirroring has started: where the screen cannot be captured, the user hears why.
    void alertWhenTheScreenCannotBeCaptured();
    // A share of the screen that the desktop controls ended: mirroring stops as the Stop button stops it,
    // and the user is told when the share was never granted.
    void onScreenShareEnded(platform::display::DisplayService::CaptureEnd end, const std::string& reason);
    // Tells the display layer which window asks for a share of the screen, where the toolkit knows.
    void noteParentWindow();
    void showReceiverName();
    void runAlert(const std::string& message, const std::string& information,
                  std::initializer_list<const char*> buttons);

    ConnectStatusViewParts parts_;
    std::optional<ReceiverObject> receiver_;
    std::optional<Device> targetDevice_;
    std::weak_ptr<ConnectStatusViewDelegate> delegate_;
    // Main thread only.
    SessionState state_ = SessionState::Ended;

    QPointer<QWidget> view_;
    QLabel* receiverNameTextField_ = nullptr;
    QLabel* ipListTextField_ = nullptr;
    QWidget* contentStackView_ = nullptr;
    QProgressBar* connectStatusProgressIndicator_ = nullptr;
    QPushButton* mirrorBackButton_ = nullptr;
    QPushButton* mirrorButton_ = nullptr;
    QPushButton* disconnectButton_ = nullptr;
};

}  // namespace quill
