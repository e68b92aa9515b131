#include "app/MainHandler.h"

#include <QLayout>

#include "app/AppDelegate.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/SysLog.h"

namespace quill {

namespace dispatch = platform::dispatch;
using platform::appkit::StatusItem;

MainHandler::MainHandler(MainWindow* mainWindow, MainHandlerParts parts)
    : mainWindow_(mainWindow), parts_(std::move(parts)) {
    if (!parts_.statusItemAvailable)
        parts_.statusItemAvailable = [] { return StatusItem::isSystemTrayAvailable(); };
}

MainHandler::~MainHandler() {
    if (mainWindow_) {
        mainWindow_->setShouldClose({});
        mainWindow_->setWillClose({});
    }
}

void MainHandler::awakeFromNib() {
    sysLogString("awakeFromNib");
    if (windowState_ == WindowState::None) addPinCodeView();
    if (auto appDelegate = parts_.appDelegate.lock()) appDelegate->setMainController(shared_from_this());
    createTrayIcon();
    std::weak_ptr<MainHandler> weak = weak_from_this();
    mainWindow_->setShouldClose([weak] {
        auto self = weak.lock();
        return !self || self->windowShouldClose();
    });
    mainWindow_->setWillClose([weak] {
        if (auto self = weak.lock()) self->windowWillClose();
    });
}

void MainHandler::createTrayIcon() {
    if (trayIcon_) return;
    trayIcon_ = std::make_unique<StatusItem>(platform::appkit::NSVariableStatusItemLength);
    trayIcon_->setHighlightMode(true);
    trayIcon_->setEnabled(true);
    if (!trayIcon_->setImage("tray")) sysLogString("no image named tray");
    std::weak_ptr<MainHandler> weak = weak_from_this();
    trayIcon_->setActivationHandler([weak] {
        auto self = weak.lock();
        if (!self || !self->parts_.application) return;
        bool visible = self->mainWindow_ && self->mainWindow_->isVisible();
        self->parts_.application->reopen(visible);
    });
}

void MainHandler::addToTopView(QWidget* view) {
    QWidget* top = topView();
    if (!top || !view) return;
    view->setParent(top);
    top->layout()->addWidget(view);
    view->setGeometry(top->rect());
    view->show();
}

void MainHandler::removeFromSuperview(QWidget* view) {
    QWidget* top = topView();
    if (!view) return;
    if (top) top->layout()->removeWidget(view);
    view->hide();
}

void MainHandler::addPinCodeView() {
    if (!pinCodeViewController_) {
        pinCodeViewController_ = parts_.makePincodeViewController();
        pinCodeViewController_->awakeFromNib();
        pinCodeViewController_->setPincodeViewControllerDelegate(weak_from_this());
    }
    addToTopView(pinCodeViewController_->view());
    pinCodeViewController_->viewWillAppear();
    windowState_ = WindowState::PinCodeView;
}

void MainHandler::createConnectStatusView() {
    if (connectStatusViewController_) return;
    connectStatusViewController_ = parts_.makeConnectStatusViewController();
    connectStatusViewController_->setDelegate(weak_from_this());
}

void MainHandler::onFindReceiverSuccess(const ReceiverObject& receiver) {
    sysLogString("onFindReceiverSuccess======");
    std::weak_ptr<MainHandler> weak = weak_from_this();
    dispatch::Queue::main()->async([weak, receiver] {
        auto self = weak.lock();
        if (!self) return;
        if (self->pinCodeViewController_) self->removeFromSuperview(self->pinCodeViewController_->view());
        self->createConnectStatusView();
        self->connectStatusViewController_->setReceiver(receiver);
        self->connectStatusViewController_->viewWillAppear();
        self->addToTopView(self->connectStatusViewController_->view());
        self->windowState_ = WindowState::ConnectStatusView;
    });
}

void MainHandler::onConnectStatusViewClosed() {
    std::weak_ptr<MainHandler> weak = weak_from_this();
    dispatch::Queue::main()->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        if (self->connectStatusViewController_)
            self->removeFromSuperview(self->connectStatusViewController_->view());
        self->addPinCodeView();
    });
}

void MainHandler::showMainWindow() {
    if (!mainWindow_) return;
    if (mainWindow_->isMinimized()) {
        mainWindow_->showNormal();
    } else {
        mainWindow_->show();
    }
    mainWindow_->raise();
    mainWindow_->activateWindow();
}

bool MainHandler::windowShouldClose() {
    if (windowState_ == WindowState::PinCodeView) return true;
    // The session goes on while the window is away; it comes back from the status item. Without a
    // status item there would be no way back, so the window only goes to the task bar.
    if (parts_.statusItemAvailable()) return true;
    mainWindow_->showMinimized();
    return false;
}

void MainHandler::windowWillClose() {
    if (windowState_ == WindowState::PinCodeView && parts_.application) parts_.application->terminate(this);
}

}  // namespace quill
