#pragma once
// The pin entry view: one box per digit, on-screen digit keys, the switch between 6-digit pins (looked up
// on the server) and 8-digit pins (decoded locally), and the Connect button. While a pin is resolved the
// view shows a busy indicator; failures end in an alert, a found receiver goes to the delegate.

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/pincode/PincodeLookup.h"
#include "app/pincode/ReceiverObject.h"
#include "platform/appkit/Alert.h"

class QLabel;
class QPushButton;
class QProgressBar;

namespace quill {

namespace platform::foundation {
class UserDefaults;
}

inline constexpr const char* kPincodeTypeKey = "pincode.type";

// Key codes of the keys the pin view acts on.
inline constexpr int kVK_Return = 36;
inline constexpr int kVK_Delete = 51;
inline constexpr int kVK_ANSI_KeypadEnter = 76;

struct KeyEvent {
    std::string characters;
    int keyCode = -1;
};

class PincodeViewControllerDelegate {
  public:
    virtual ~PincodeViewControllerDelegate() = default;
    // Any thread.
    virtual void onFindReceiverSuccess(const ReceiverObject& receiver) = 0;
};

struct PincodeViewParts {
    // The look-up client for 6-digit pins (required).
    std::shared_ptr<PincodeLookup> pincodeChannel;
    // Default: Qt message boxes.
    std::shared_ptr<platform::appkit::AlertPresenter> alerts;
    // Default: the standard user defaults.
    platform::foundation::UserDefaults* userDefaults = nullptr;
    // This computer's own IPv4 address for the local decoding. Default: getWiFiAddress.
    std::function<std::optional<std::string>()> wifiAddress;
};

class PincodeViewController : public PincodeDelegate,
                              public std::enable_shared_from_this<PincodeViewController> {
  public:
    static constexpr int PIN_CODE_TYPE_SERVERLESS = 8;
    static constexpr int PIN_CODE_TYPE_SERVER = 6;

    // Main thread.
    static std::shared_ptr<PincodeViewController> create(PincodeViewParts parts);
    ~PincodeViewController() override;

    QWidget* view() const { return view_; }

    void setPincodeViewControllerDelegate(std::weak_ptr<PincodeViewControllerDelegate> delegate) {
        delegate_ = std::move(delegate);
    }

    // Applies the stored pin kind.
    void awakeFromNib();
    // Takes the keyboard focus.
    void viewWillAppear();

    // Main thread: keys and buttons.
    void keyDown(const KeyEvent& event);
    void onSoftKeyClicked(const std::string& title);
    void onDeleteButtonClicked();
    void onSwitchPinCodeTypeClicked();
    void onConnectButtonClicked();

    // Look-up outcomes, on the look-up client's queue.
    void onConnectServerFailed() override;
    void onConnectServerSuccess() override;
    void onUnableToFindReceiver() override;
    void onFindReceiverSuccess(const ReceiverObject& receiver) override;

    // Main thread.
    const std::string& inputPinCode() const { return inputPinCode_; }
    int maxPinCodeLength() const { return maxPinCodeLength_; }
    bool isResolving() const { return resolving_; }
    const std::vector<QLabel*>& numberFileds() const { return numberFileds_; }
    QPushButton* switchDigitNumberButton() const { return switchDigitNumberButton_; }
    QPushButton* connectButton() const { return connectButton_; }
    QProgressBar* progressIndicator() const { return progressIndicator_; }
    QWidget* contentStackView() const { return contentStackView_; }
    std::vector<QPushButton*> softKeys() const { return softKeys_; }

  private:
    explicit PincodeViewController(PincodeViewParts parts);
    void buildView();
    void initPincodeChannel();

    void showPinCode();
    void onInput(const std::string& text);
    void onDelete();
    void onPinCodeTypeChanged();
    void performConnect();
    void checkServerlessPinCode(const std::string& pin);
    void stopProgress();
    void showAlert(const std::string& message, const std::string& information);
    void postAlert(const std::string& message, const std::string& information);
    void setSwitchTitle(int digits);

    PincodeViewParts parts_;
    std::weak_ptr<PincodeViewControllerDelegate> delegate_;
    std::string inputPinCode_;
    int maxPinCodeLength_ = PIN_CODE_TYPE_SERVERLESS;
    bool resolving_ = false;

    QPointer<QWidget> view_;
    QWidget* contentStackView_ = nullptr;
    std::vector<QLabel*> numberFileds_;
    std::vector<QPushButton*> softKeys_;
    QPushButton* switchDigitNumberButton_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QProgressBar* progressIndicator_ = nullptr;
};

}  // namespace quill
