#include "app/session/ConnectStatusViewController.h"

#include <QFont>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <sstream>

#include "app/pincode/WiFiAddress.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/LocalizedStrings.h"
#include "platform/foundation/SysLog.h"

namespace quill {

namespace dispatch = platform::dispatch;
using platform::appkit::Alert;
using platform::appkit::AlertStyle;
using WorkingMode = ConnectStatusViewController::WorkingMode;

bool isExcludedReceiverAddress(const std::string& address) {
    return address == "192.168.43.1" || address == "192.168.48.1" || address == "192.168.50.1" ||
           address == "192.168.78.1";
}

std::string chooseTargetAddress(const std::vector<std::string>& ipList) {
    std::string target;
    for (const auto& ip : ipList) {
        if (!isExcludedReceiverAddress(ip)) target = ip;
    }
    return target;
}

const char* ConnectStatusViewController::name(WorkingMode mode) {
    switch (mode) {
        case WorkingMode::NONE:
            return "NONE";
        case WorkingMode::CONNECTED:
            return "CONNECTED";
        case WorkingMode::MIRROR:
            return "MIRROR";
        case WorkingMode::MIRROR_BACK:
            return "MIRROR_BACK";
    }
    return "?";
}

std::shared_ptr<ConnectStatusViewController> ConnectStatusViewController::create(
    ConnectStatusViewParts parts) {
    std::shared_ptr<ConnectStatusViewController> controller(
        new ConnectStatusViewController(std::move(parts)));
    controller->buildView();
    controller->setUp();
    return controller;
}

ConnectStatusViewController::ConnectStatusViewController(ConnectStatusViewParts parts)
    : parts_(std::move(parts)) {
    if (!parts_.alerts) parts_.alerts = std::make_shared<platform::appkit::QtAlertPresenter>();
    if (!parts_.wifiAddress) parts_.wifiAddress = [] { return getWiFiAddress(); };
    if (!parts_.display) parts_.display = platform::display::DisplayService::shared();
}

ConnectStatusViewController::~ConnectStatusViewController() {
    delete view_.data();
}

void ConnectStatusViewController::setUp() {
    parts_.mirrorChannel->setDelegate(weak_from_this());
    std::weak_ptr<ConnectStatusViewController> weak = weak_from_this();
    parts_.display->setCaptureEndedHandler(
        [weak](platform::display::DisplayService::CaptureEnd end, const std::string& reason) {
            dispatch::Queue::main()->async([weak, end, reason] {
                if (auto self = weak.lock()) self->onScreenShareEnded(end, reason);
            });
        });
    std::optional<std::string> wifiIp = parts_.wifiAddress();
    if (wifiIp) {
        sysLogString("wifiIp=" + *wifiIp);
        parts_.mirrorChannel->setLocalIP(*wifiIp);
    }
}

void ConnectStatusViewController::buildView() {
    std::weak_ptr<ConnectStatusViewController> weak = weak_from_this();
    auto* view = new QWidget();
    view->setObjectName("ConnectStatusView");
    view_ = view;
    auto* outer = new QVBoxLayout(view);
    outer->setSpacing(10);
    outer->addStretch();

    auto* caption = new QLabel("Receiver", view);
    caption->setAlignment(Qt::AlignCenter);
    outer->addWidget(caption);

    receiverNameTextField_ = new QLabel(view);
    receiverNameTextField_->setObjectName("receiverNameTextField");
    receiverNameTextField_->setAlignment(Qt::AlignCenter);
    receiverNameTextField_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont nameFont = view->font();
    nameFont.setPointSize(nameFont.pointSize() + 6);
    nameFont.setBold(true);
    receiverNameTextField_->setFont(nameFont);
    outer->addWidget(receiverNameTextField_);

    ipListTextField_ = new QLabel(view);
    ipListTextField_->setObjectName("ipListTextField");
    ipListTextField_->setAlignment(Qt::AlignCenter);
    ipListTextField_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    outer->addWidget(ipListTextField_);

    connectStatusProgressIndicator_ = new QProgressBar(view);
    connectStatusProgressIndicator_->setObjectName("connectStatusProgressIndicator");
    connectStatusProgressIndicator_->setRange(0, 0);
    connectStatusProgressIndicator_->setTextVisible(false);
    connectStatusProgressIndicator_->setMaximumWidth(220);
    connectStatusProgressIndicator_->hide();
    outer->addWidget(connectStatusProgressIndicator_, 0, Qt::AlignCenter);

    contentStackView_ = new QWidget(view);
    contentStackView_->setObjectName("contentStackView");
    auto* buttons = new QVBoxLayout(contentStackView_);
    buttons->setContentsMargins(0, 8, 0, 0);
    auto makeButton = [&](const char* objectName, const QString& title,
                          void (ConnectStatusViewController::*action)()) {
        auto* button = new QPushButton(title, contentStackView_);
        button->setObjectName(objectName);
        button->setMinimumWidth(200);
        button->setMinimumHeight(34);
        QObject::connect(button, &QPushButton::clicked, button, [weak, action] {
            if (auto self = weak.lock()) ((*self).*action)();
        });
        buttons->addWidget(button, 0, Qt::AlignCenter);
        return button;
    };
    mirrorBackButton_ = makeButton("mirrorBackButton", "Mirror Back",
                                   &ConnectStatusViewController::onMirrorBackButtonClicked);
    mirrorBackButton_->hide();
    mirrorButton_ = makeButton("mirrorButton", QString::fromStdString(localizedString("Button.Mirror")),
                               &ConnectStatusViewController::onMirrorButtonClicked);
    mirrorButton_->setDefault(true);
    disconnectButton_ =
        makeButton("disconnectButton", "Disconnect", &ConnectStatusViewController::onDisconnectButtonClicked);
    outer->addWidget(contentStackView_);
    outer->addStretch();
}

void ConnectStatusViewController::onMain(std::function<void(ConnectStatusViewController&)> work) {
    std::weak_ptr<ConnectStatusViewController> weak = weak_from_this();
    dispatch::Queue::main()->async([weak, work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

void ConnectStatusViewController::showReceiverName() {
    receiverNameTextField_->setText(QString::fromStdString(receiver_->name + "(" + receiver_->version + ")"));
}

ConnectStatusViewController::WorkingMode ConnectStatusViewController::workingMode() const {
    switch (state_) {
        case SessionState::Connected:
            return WorkingMode::CONNECTED;
        case SessionState::Mirror:
            return WorkingMode::MIRROR;
        case SessionState::Ended:
        case SessionState::Connecting:
            break;
    }
    return WorkingMode::NONE;
}

void ConnectStatusViewController::viewWillAppear() {
    // A session under way (also one still connecting) is left as it is.
    if (receiver_ && state_ == SessionState::Ended) {
        contentStackView_->hide();
        connectStatusProgressIndicator_->show();
        showReceiverName();
        std::string target = chooseTargetAddress(receiver_->ipList);
        ipListTextField_->setText(QString::fromStdString(target));
        targetDevice_.emplace(receiver_->name, target, receiver_->version);
        mirrorButton_->setText(QString::fromStdString(localizedString("Button.Mirror")));
        // The receiver may start mirroring itself: the window is known before.
        noteParentWindow();
        if (target.empty()) {
            // Nothing to connect to: no report would ever come, so fail now, the way a lost receiver does.
            sysLogString("no usable receiver address");
            closeWithAlert();
        } else {
            state_ = SessionState::Connecting;
            parts_.mirrorChannel->connect(target, receiver_->pincode);
            parts_.mirrorChannel->installSoundPlugin();
        }
    }
    mirrorBackButton_->hide();
}

void ConnectStatusViewController::noteParentWindow() {
    QWidget* window = view_ ? view_->window() : nullptr;
    if (!window || QGuiApplication::platformName() != "xcb") return;
    std::ostringstream id;
    id << "x11:" << std::hex << static_cast<unsigned long long>(window->winId());
    parts_.display->setParentWindow(id.str());
}

void ConnectStatusViewController::onScreenShareEnded(platform::display::DisplayService::CaptureEnd end,
                                                     const std::string& reason) {
    using CaptureEnd = platform::display::DisplayService::CaptureEnd;
    if (state_ != SessionState::Mirror) return;  // mirroring was stopped meanwhile
    sysLogString("screen share ended (" + reason + "): mirroring stops");
    state_ = SessionState::Connected;
    parts_.mirrorChannel->requestMirrorOff();
    if (end == CaptureEnd::Refused) {
        runAlert(localizedString("alert.screen.not.shared"), localizedString("alert.screen.refused.info"),
                 {"OK"});
    } else if (end == CaptureEnd::Failed) {
        runAlert(localizedString("alert.screen.not.shared"),
                 localizedString("alert.screen.failed.info") + reason, {"OK"});
    }
}

void ConnectStatusViewController::onMirrorButtonClicked() {
    WorkingMode mode = workingMode();
    switch (mode) {
        case WorkingMode::CONNECTED:
            noteParentWindow();
            parts_.mirrorChannel->requestMirrorOn();
            state_ = SessionState::Mirror;
            break;
        case WorkingMode::MIRROR:
            state_ = SessionState::Connected;
            parts_.mirrorChannel->requestMirrorOff();
            break;
        case WorkingMode::MIRROR_BACK:
            sysLogString(std::string("unknown state:") + name(mode));
            break;
        case WorkingMode::NONE:
            sysLogString("when click mirror, in wrong NONE state.");
            break;
    }
}

void ConnectStatusViewController::onDisconnectButtonClicked() {
    state_ = SessionState::Ended;
    parts_.mirrorChannel->disconnect();
    if (auto delegate = delegate_.lock()) delegate->onConnectStatusViewClosed();
}

void ConnectStatusViewController::onConnectToReceiverSuccess() {
    onMain([](ConnectStatusViewController& self) {
        if (self.state_ != SessionState::Connecting) return;  // the session ended before this answer
        self.state_ = SessionState::Connected;
        self.connectStatusProgressIndicator_->hide();
        self.contentStackView_->show();
    });
}

void ConnectStatusViewController::onConnectToReceiverFailed(int /*code*/) {
    onMain([](ConnectStatusViewController& self) {
        // Late from a session that has ended already: disconnecting now would hit the next session.
        if (self.state_ == SessionState::Ended) return;
        self.state_ = SessionState::Ended;
        self.parts_.mirrorChannel->disconnect();
        self.closeWithAlert();
    });
}

void ConnectStatusViewController::closeWithAlert() {
    onMain([](ConnectStatusViewController& self) {
        self.connectStatusProgressIndicator_->hide();
        self.runAlert(localizedString("question.again"), localizedString("alert.receiver.not.reachable"),
                      {"OK", "Cancel"});
        if (auto delegate = self.delegate_.lock()) delegate->onConnectStatusViewClosed();
    });
}

void ConnectStatusViewController::runAlert(const std::string& message, const std::string& information,
                                           std::initializer_list<const char*> buttons) {
    Alert alert;
    alert.alertStyle = AlertStyle::Warning;
    alert.messageText = message;
    alert.informativeText = information;
    for (const char* title : buttons)
        alert.addButtonWithTitle(title);
    parts_.alerts->runModal(alert);
}

void ConnectStatusViewController::onRequestMirrorOnSuccess() {
    onMain([](ConnectStatusViewController& self) {
        if (self.workingMode() == WorkingMode::NONE) return;  // not connected (any more)
        // Also when the receiver started mirroring itself: the mode follows, so the button stops it.
        self.state_ = SessionState::Mirror;
        self.mirrorButton_->setText(QString::fromStdString(localizedString("Button.StopMirror")));
        self.alertWhenTheScreenCannotBeCaptured();
    });
}

void ConnectStatusViewController::alertWhenTheScreenCannotBeCaptured() {
    if (!parts_.display->needsX11Session()) return;
    // Mirroring goes on (with sound, when it is routed) but without pictures: the user must know why
    // the receiver shows none, and how to get them.
    sysLogString(
        "screen capture needs an X11 session or the desktop's screen-cast portal: this Wayland session has "
        "no "
        "portal, so no screen is sent");
    runAlert(localizedString("alert.screen.needs.x11"), localizedString("alert.screen.needs.x11.info"),
             {"OK"});
}

void ConnectStatusViewController::onRequestMirrorOffSuccess() {
    onMain([](ConnectStatusViewController& self) {
        if (self.state_ == SessionState::Mirror) self.state_ = SessionState::Connected;
        self.mirrorButton_->setText(QString::fromStdString(localizedString("Button.Mirror")));
    });
}

void ConnectStatusViewController::onRequestMirrorOnFailed(int code) {
    const char* message;
    if (code == -2) {
        message = "alert.receiver.password.protected";
    } else if (code == -1) {
        message = "alert.receiver.exclusive";
    } else {
        sysLogString("Unknown error when mirror on failed");
        return;
    }
    std::string key = message;
    onMain([key](ConnectStatusViewController& self) {
        self.runAlert(localizedString(key), localizedString("title.failed"), {"OK"});
    });
}

void ConnectStatusViewController::onRequestReceiverVersionSuccess(const std::string& version) {
    onMain([version](ConnectStatusViewController& self) {
        if (!self.receiver_) return;
        self.receiver_->version = version;
        self.showReceiverName();
    });
}

}  // namespace quill
