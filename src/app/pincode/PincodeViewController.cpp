#include "app/pincode/PincodeViewController.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/pincode/ServerlessPinCode.h"
#include "app/pincode/WiFiAddress.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/LocalizedStrings.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

namespace quill {

namespace dispatch = platform::dispatch;
using platform::appkit::Alert;
using platform::appkit::AlertStyle;

namespace {

// The view that takes the key presses for its controller.
class PinView : public QWidget {
  public:
    explicit PinView(std::function<void(const KeyEvent&)> onKey) : onKey_(std::move(onKey)) {
        setFocusPolicy(Qt::StrongFocus);
    }

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        KeyEvent key;
        key.characters = event->text().toStdString();
        switch (event->key()) {
            case Qt::Key_Backspace:
            case Qt::Key_Delete:
                key.keyCode = kVK_Delete;
                break;
            case Qt::Key_Return:
                key.keyCode = kVK_Return;
                break;
            case Qt::Key_Enter:
                key.keyCode = kVK_ANSI_KeypadEnter;
                break;
            default:
                break;
        }
        onKey_(key);
        event->accept();  // other keys are not passed on
    }

  private:
    std::function<void(const KeyEvent&)> onKey_;
};

}  // namespace

std::shared_ptr<PincodeViewController> PincodeViewController::create(PincodeViewParts parts) {
    std::shared_ptr<PincodeViewController> controller(new PincodeViewController(std::move(parts)));
    controller->buildView();
    controller->initPincodeChannel();
    return controller;
}

PincodeViewController::PincodeViewController(PincodeViewParts parts) : parts_(std::move(parts)) {
    if (!parts_.alerts) parts_.alerts = std::make_shared<platform::appkit::QtAlertPresenter>();
    if (!parts_.userDefaults) parts_.userDefaults = &UserDefaults::standardUserDefaults();
    if (!parts_.wifiAddress) parts_.wifiAddress = [] { return getWiFiAddress(); };
}

PincodeViewController::~PincodeViewController() {
    delete view_.data();
}

void PincodeViewController::initPincodeChannel() {
    if (parts_.pincodeChannel) parts_.pincodeChannel->setPincodeDelegate(weak_from_this());
}

void PincodeViewController::buildView() {
    std::weak_ptr<PincodeViewController> weak = weak_from_this();
    auto* view = new PinView([weak](const KeyEvent& key) {
        if (auto self = weak.lock()) self->keyDown(key);
    });
    view_ = view;
    view->setObjectName("PincodeView");

    auto* outer = new QVBoxLayout(view);
    contentStackView_ = new QWidget(view);
    contentStackView_->setObjectName("contentStackView");
    auto* content = new QVBoxLayout(contentStackView_);
    content->setContentsMargins(0, 0, 0, 0);
    content->setSpacing(14);

    auto* title = new QLabel("Enter the pin code shown on the receiver", contentStackView_);
    title->setAlignment(Qt::AlignCenter);
    content->addWidget(title);

    auto* digits = new QHBoxLayout();
    digits->setSpacing(6);
    digits->addStretch();
    QFont digitFont = view->font();
    digitFont.setPointSize(digitFont.pointSize() + 9);
    digitFont.setBold(true);
    for (int i = 0; i < 8; ++i) {
        auto* label = new QLabel("-", contentStackView_);
        label->setObjectName(QString("numberField%1").arg(i + 1));
        label->setAlignment(Qt::AlignCenter);
        label->setFont(digitFont);
        label->setFixedSize(36, 46);
        label->setFrameShape(QFrame::StyledPanel);
        label->setStyleSheet(
            "QLabel { border: 1px solid palette(mid); border-radius: 5px;"
            " background: palette(base); }");
        digits->addWidget(label);
        numberFileds_.push_back(label);
    }
    digits->addStretch();
    content->addLayout(digits);

    auto* keypad = new QGridLayout();
    keypad->setSpacing(6);
    auto addKey = [&](const QString& keyTitle, int row, int column, std::function<void()> action) {
        auto* key = new QPushButton(keyTitle, contentStackView_);
        key->setFocusPolicy(Qt::NoFocus);
        key->setFixedSize(56, 34);
        QObject::connect(key, &QPushButton::clicked, key, [action] { action(); });
        keypad->addWidget(key, row, column);
        return key;
    };
    for (int digit = 1; digit <= 9; ++digit) {
        std::string text = std::to_string(digit);
        softKeys_.push_back(
            addKey(QString::fromStdString(text), (digit - 1) / 3, (digit - 1) % 3, [weak, text] {
                if (auto self = weak.lock()) self->onSoftKeyClicked(text);
            }));
    }
    softKeys_.push_back(addKey("0", 3, 1, [weak] {
        if (auto self = weak.lock()) self->onSoftKeyClicked("0");
    }));
    auto* deleteKey = addKey(QString::fromUtf8("\u232B"), 3, 2, [weak] {
        if (auto self = weak.lock()) self->onDeleteButtonClicked();
    });
    deleteKey->setObjectName("deleteButton");
    deleteKey->setToolTip("Delete the last digit");
    auto* keypadRow = new QHBoxLayout();
    keypadRow->addStretch();
    keypadRow->addLayout(keypad);
    keypadRow->addStretch();
    content->addLayout(keypadRow);

    auto* buttons = new QHBoxLayout();
    switchDigitNumberButton_ = new QPushButton(contentStackView_);
    switchDigitNumberButton_->setObjectName("switchDigitNumberButton");
    switchDigitNumberButton_->setFocusPolicy(Qt::NoFocus);
    QObject::connect(switchDigitNumberButton_, &QPushButton::clicked, switchDigitNumberButton_, [weak] {
        if (auto self = weak.lock()) self->onSwitchPinCodeTypeClicked();
    });
    connectButton_ = new QPushButton("Connect", contentStackView_);
    connectButton_->setObjectName("connectButton");
    connectButton_->setFocusPolicy(Qt::NoFocus);
    connectButton_->setEnabled(false);  // enabled once the pin is complete
    QObject::connect(connectButton_, &QPushButton::clicked, connectButton_, [weak] {
        if (auto self = weak.lock()) self->onConnectButtonClicked();
    });
    buttons->addWidget(switchDigitNumberButton_);
    buttons->addStretch();
    buttons->addWidget(connectButton_);
    content->addLayout(buttons);

    progressIndicator_ = new QProgressBar(view);
    progressIndicator_->setObjectName("progressIndicator");
    progressIndicator_->setRange(0, 0);  // busy
    progressIndicator_->setTextVisible(false);
    progressIndicator_->setMaximumWidth(220);
    progressIndicator_->hide();

    outer->addStretch();
    outer->addWidget(contentStackView_);
    outer->addWidget(progressIndicator_, 0, Qt::AlignCenter);
    outer->addStretch();
    setSwitchTitle(PIN_CODE_TYPE_SERVER);
}

void PincodeViewController::setSwitchTitle(int digits) {
    std::string title = std::to_string(digits) + " " + localizedString("switch.pincode.type");
    switchDigitNumberButton_->setText(QString::fromStdString(title));
}

void PincodeViewController::awakeFromNib() {
    if (parts_.userDefaults->integerForKey(kPincodeTypeKey) == PIN_CODE_TYPE_SERVER) {
        maxPinCodeLength_ = PIN_CODE_TYPE_SERVER;
        setSwitchTitle(PIN_CODE_TYPE_SERVERLESS);
        numberFileds_[6]->hide();
        numberFileds_[7]->hide();
    } else {
        maxPinCodeLength_ = PIN_CODE_TYPE_SERVERLESS;
        numberFileds_[6]->show();
        numberFileds_[7]->show();
        setSwitchTitle(PIN_CODE_TYPE_SERVER);
    }
    showPinCode();
}

void PincodeViewController::viewWillAppear() {
    if (view_) view_->setFocus(Qt::OtherFocusReason);
}

void PincodeViewController::showPinCode() {
    for (int i = 0; i < maxPinCodeLength_; ++i) {
        QString text = static_cast<int>(inputPinCode_.size()) > i ? QString(QChar(inputPinCode_[i])) : "-";
        numberFileds_[i]->setText(text);
    }
}

void PincodeViewController::keyDown(const KeyEvent& event) {
    // While a pin is resolved the digits are hidden: typing would change a pin the user cannot see, and
    // a second Return would start a second resolution.
    if (resolving_) return;
    if (platform::foundation::isDecimalDigits(event.characters)) {
        onInput(event.characters);
        return;
    }
    switch (event.keyCode) {
        case kVK_Delete:
            onDelete();
            break;
        case kVK_Return:
        case kVK_ANSI_KeypadEnter:
            if (static_cast<int>(inputPinCode_.size()) == maxPinCodeLength_) performConnect();
            break;
        default:
            break;
    }
}

void PincodeViewController::onSoftKeyClicked(const std::string& title) {
    if (resolving_ || !platform::foundation::isDecimalDigits(title)) return;
    onInput(title);
}

void PincodeViewController::onDeleteButtonClicked() {
    if (resolving_) return;
    onDelete();
}

void PincodeViewController::onInput(const std::string& text) {
    int length = static_cast<int>(inputPinCode_.size());
    if (length < maxPinCodeLength_) {
        // Several characters at once (an input method) never make the pin longer than its kind.
        inputPinCode_ += text.substr(0, static_cast<size_t>(maxPinCodeLength_ - length));
        showPinCode();
    }
    if (static_cast<int>(inputPinCode_.size()) == maxPinCodeLength_) connectButton_->setEnabled(true);
}

void PincodeViewController::onDelete() {
    if (!inputPinCode_.empty()) {
        inputPinCode_.pop_back();
        showPinCode();
    }
    if (static_cast<int>(inputPinCode_.size()) < maxPinCodeLength_) connectButton_->setEnabled(false);
}

void PincodeViewController::onSwitchPinCodeTypeClicked() {
    if (resolving_) return;
    onPinCodeTypeChanged();
    Error error;
    if (!parts_.userDefaults->setInteger(maxPinCodeLength_, kPincodeTypeKey, &error)) {
        sysLogString("cannot store pincode.type: " + error.description());
    }
}

void PincodeViewController::onPinCodeTypeChanged() {
    for (QLabel* label : numberFileds_)
        label->setText("-");
    if (maxPinCodeLength_ == PIN_CODE_TYPE_SERVER) {
        maxPinCodeLength_ = PIN_CODE_TYPE_SERVERLESS;
        numberFileds_[6]->show();
        numberFileds_[7]->show();
        setSwitchTitle(PIN_CODE_TYPE_SERVER);
    } else {
        maxPinCodeLength_ = PIN_CODE_TYPE_SERVER;
        numberFileds_[6]->hide();
        numberFileds_[7]->hide();
        setSwitchTitle(PIN_CODE_TYPE_SERVERLESS);
    }
    while (static_cast<int>(inputPinCode_.size()) > maxPinCodeLength_)
        inputPinCode_.pop_back();
    showPinCode();
    connectButton_->setEnabled(static_cast<int>(inputPinCode_.size()) == maxPinCodeLength_);
}

void PincodeViewController::onConnectButtonClicked() {
    sysLogString("onConnectButtonClicked");
    performConnect();
}

void PincodeViewController::performConnect() {
    if (resolving_) return;  // one resolution at a time
    resolving_ = true;
    contentStackView_->hide();
    progressIndicator_->show();
    if (maxPinCodeLength_ == PIN_CODE_TYPE_SERVER) {
        if (parts_.pincodeChannel) parts_.pincodeChannel->findReceiverByPincode(inputPinCode_);
    } else {
        // The worker gets its own copy: the pin may change on the main thread meanwhile.
        std::weak_ptr<PincodeViewController> weak = weak_from_this();
        std::string pin = inputPinCode_;
        dispatch::Queue::global(dispatch::Priority::Default)->async([weak, pin] {
            if (auto self = weak.lock()) self->checkServerlessPinCode(pin);
        });
    }
}

void PincodeViewController::checkServerlessPinCode(const std::string& pin) {
    ServerlessPinCodeResult result = decodeServerlessPinCode(pin, parts_.wifiAddress());
    switch (result.status) {
        case ServerlessPinCodeStatus::found:
            break;
        case ServerlessPinCodeStatus::noLocalIP:
        case ServerlessPinCodeStatus::invalidLocalIP:
            postAlert("Failed to get local ip", "Unable to get local ip, or get a invalid ip");
            return;
        case ServerlessPinCodeStatus::invalidPinCode:
            postAlert("Invalid input", "The Pin Code is invalid.");
            return;
    }
    std::weak_ptr<PincodeViewController> weak = weak_from_this();
    dispatch::Queue::main()->sync([weak] {
        if (auto self = weak.lock()) self->stopProgress();
    });
    if (auto delegate = delegate_.lock()) delegate->onFindReceiverSuccess(*result.receiver);
}

void PincodeViewController::stopProgress() {
    resolving_ = false;
    progressIndicator_->hide();
    contentStackView_->show();
    if (view_) view_->setFocus(Qt::OtherFocusReason);
}

void PincodeViewController::showAlert(const std::string& message, const std::string& information) {
    stopProgress();
    Alert alert;
    alert.alertStyle = AlertStyle::Warning;
    alert.messageText = message;
    alert.informativeText = information;
    alert.addButtonWithTitle("Close");
    parts_.alerts->runModal(alert);
}

void PincodeViewController::postAlert(const std::string& message, const std::string& information) {
    std::weak_ptr<PincodeViewController> weak = weak_from_this();
    dispatch::Queue::main()->async([weak, message, information] {
        if (auto self = weak.lock()) self->showAlert(message, information);
    });
}

void PincodeViewController::onConnectServerSuccess() {
    sysLogString("on connect to pin server success");
}

void PincodeViewController::onConnectServerFailed() {
    sysLogString("connect to server failed.");
    postAlert("Connection Timeout",
              "Failed to connect to server, please check your network connection and settings.");
}

void PincodeViewController::onUnableToFindReceiver() {
    sysLogString("unable to find receiver");
    postAlert("unable to find the pin code", "Please check your network connection and your input code");
}

void PincodeViewController::onFindReceiverSuccess(const ReceiverObject& receiver) {
    sysLogString("name=" + receiver.name + ", version=" + receiver.version);
    for (const auto& ip : receiver.ipList)
        sysLogString("ip=" + ip);
    std::weak_ptr<PincodeViewController> weak = weak_from_this();
    dispatch::Queue::main()->sync([weak] {
        if (auto self = weak.lock()) self->stopProgress();
    });
    if (auto delegate = delegate_.lock()) delegate->onFindReceiverSuccess(receiver);
}

}  // namespace quill
