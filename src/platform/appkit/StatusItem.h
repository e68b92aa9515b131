#pragma once
// The status item: an icon in the desktop's system tray (the notification area). It has no menu and
// no action of its own; activating it (a click) calls the activation handler.

#include <functional>
#include <memory>
#include <string>

#include <QIcon>

class QSystemTrayIcon;

namespace quill::platform::appkit {

inline constexpr double NSVariableStatusItemLength = -1.0;

// The bundled image "<name>.png" (see foundation::resourcePath); a null icon when there is none.
QIcon imageNamed(const std::string& name);

class StatusItem {
  public:
    // Shows the item at once (length is kept for completeness; the tray sizes its icons itself).
    explicit StatusItem(double length = NSVariableStatusItemLength);
    ~StatusItem();
    StatusItem(const StatusItem&) = delete;
    StatusItem& operator=(const StatusItem&) = delete;

    double length() const { return length_; }
    void setHighlightMode(bool on) { highlightMode_ = on; }
    bool highlightMode() const { return highlightMode_; }
    void setEnabled(bool enabled);
    bool isEnabled() const { return enabled_; }
    // False when the bundle has no such image (the item keeps its previous one).
    bool setImage(const std::string& name);
    const std::string& imageName() const { return imageName_; }
    bool hasImage() const;

    // Called on the main thread when the user activates the item while it is enabled.
    void setActivationHandler(std::function<void()> handler) { handler_ = std::move(handler); }
    // What a click does; tests call it directly.
    void activate();

    // Whether the desktop shows tray icons at all.
    static bool isSystemTrayAvailable();

  private:
    double length_;
    bool highlightMode_ = false;
    bool enabled_ = true;
    std::string imageName_;
    std::function<void()> handler_;
    std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace quill::platform::appkit
