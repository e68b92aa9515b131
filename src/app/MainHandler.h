#pragma once
// The main window's controller: shows the pin view or the session view in the window's top view and
// swaps them when a receiver has been found and when the session view closes, owns the status item,
// and quits the application when the window is closed while the pin view shows.

#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/MainWindow.h"
#include "app/pincode/PincodeViewController.h"
#include "app/session/ConnectStatusViewController.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/StatusItem.h"

namespace quill {

class AppDelegate;

struct MainHandlerParts {
    platform::appkit::Application* application = nullptr;  // required
    std::weak_ptr<AppDelegate> appDelegate;
    std::function<std::shared_ptr<PincodeViewController>()> makePincodeViewController;
    std::function<std::shared_ptr<ConnectStatusViewController>()> makeConnectStatusViewController;
    // Whether the desktop shows the status item. Default: ask the desktop.
    std::function<bool()> statusItemAvailable;
};

class MainHandler : public PincodeViewControllerDelegate,
                    public ConnectStatusViewDelegate,
                    public std::enable_shared_from_this<MainHandler> {
  public:
    enum class WindowState : uint8_t { None = 0, PinCodeView = 1, ConnectStatusView = 2 };

    // The window must outlive the handler's use of it.
    MainHandler(MainWindow* mainWindow, MainHandlerParts parts);
    ~MainHandler() override;

    // Main thread.
    void awakeFromNib();
    void createTrayIcon();
    void addPinCodeView();
    void createConnectStatusView();
    // Brings the main window back in front.
    void showMainWindow();

    // Any thread.
    void onFindReceiverSuccess(const ReceiverObject& receiver) override;
    void onConnectStatusViewClosed() override;

    // Window delegate, main thread.
    bool windowShouldClose();
    void windowWillClose();

    MainWindow* mainWindow() const { return mainWindow_; }
    QWidget* topView() const { return mainWindow_ ? mainWindow_->topView() : nullptr; }
    platform::appkit::StatusItem* trayIcon() const { return trayIcon_.get(); }
    const std::shared_ptr<PincodeViewController>& pinCodeViewController() const {
        return pinCodeViewController_;
    }
    const std::shared_ptr<ConnectStatusViewController>& connectStatusViewController() const {
        return connectStatusViewController_;
    }
    WindowState windowState() const { return windowState_; }

  private:
    void addToTopView(QWidget* view);
    void removeFromSuperview(QWidget* view);

    QPointer<MainWindow> mainWindow_;
    MainHandlerParts parts_;
    std::unique_ptr<platform::appkit::StatusItem> trayIcon_;
    std::shared_ptr<PincodeViewController> pinCodeViewController_;
    std::shared_ptr<ConnectStatusViewController> connectStatusViewController_;
    WindowState windowState_ = WindowState::None;
};

}  // namespace quill
