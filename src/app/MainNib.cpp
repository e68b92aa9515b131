#include "app/MainNib.h"

#include "platform/foundation/UserDefaults.h"

namespace quill {

MainNib loadMainNib(platform::appkit::Application& application, ShellParts parts) {
    MainNib nib;
    nib.window = std::make_unique<MainWindow>();
    if (!parts.alerts) parts.alerts = std::make_shared<platform::appkit::QtAlertPresenter>(nib.window.get());
    nib.appDelegate = std::make_shared<AppDelegate>(parts.appDelegate);
    application.setDelegate(nib.appDelegate);

    MainHandlerParts handlerParts;
    handlerParts.application = &application;
    handlerParts.appDelegate = nib.appDelegate;
    handlerParts.statusItemAvailable = parts.statusItemAvailable;
    handlerParts.makePincodeViewController = [parts] {
        PincodeViewParts viewParts;
        viewParts.pincodeChannel = parts.makePincodeChannel ? parts.makePincodeChannel() : nullptr;
        viewParts.alerts = parts.alerts;
        viewParts.userDefaults = parts.userDefaults;
        viewParts.wifiAddress = parts.wifiAddress;
        return PincodeViewController::create(std::move(viewParts));
    };
    handlerParts.makeConnectStatusViewController = [parts] {
        ConnectStatusViewParts viewParts;
        viewParts.mirrorChannel = parts.makeMirrorChannel();
        viewParts.alerts = parts.alerts;
        viewParts.wifiAddress = parts.wifiAddress;
        viewParts.display = parts.display;
        return ConnectStatusViewController::create(std::move(viewParts));
    };
    nib.mainHandler = std::make_shared<MainHandler>(nib.window.get(), std::move(handlerParts));
    nib.mainHandler->awakeFromNib();
    return nib;
}

}  // namespace quill
