#include "platform/appkit/StatusItem.h"

#include <QSystemTrayIcon>

#include "platform/foundation/Paths.h"

namespace quill::platform::appkit {

QIcon imageNamed(const std::string& name) {
    auto path = foundation::resourcePath(name, "png");
    if (!path) return QIcon();
    QIcon icon(QString::fromStdString(*path));
    return icon.availableSizes().isEmpty() ? QIcon() : icon;
}

StatusItem::StatusItem(double length) : length_(length), tray_(std::make_unique<QSystemTrayIcon>()) {
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                             activate();
                     });
}

StatusItem::~StatusItem() = default;

void StatusItem::setEnabled(bool enabled) {
    enabled_ = enabled;
}

bool StatusItem::setImage(const std::string& name) {
    QIcon icon = imageNamed(name);
    if (icon.isNull()) return false;
    imageName_ = name;
    tray_->setIcon(icon);
    // A tray icon without an image cannot be shown, so it appears with its first image.
    if (isSystemTrayAvailable()) tray_->show();
    return true;
}

bool StatusItem::hasImage() const {
    return !tray_->icon().isNull();
}

void StatusItem::activate() {
    if (enabled_ && handler_) handler_();
}

bool StatusItem::isSystemTrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

}  // namespace quill::platform::appkit
