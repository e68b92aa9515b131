#pragma once
// Modal alerts: a message, an informative text, a style and buttons, run until the user answers. The
// application asks an AlertPresenter, so tests answer alerts at once instead of running a modal loop.

#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace quill::platform::appkit {

enum class AlertStyle { Warning, Informational, Critical };

// The answer for the first button; the second is one more, and so on.
inline constexpr int NSAlertFirstButtonReturn = 1000;

struct Alert {
    AlertStyle alertStyle = AlertStyle::Warning;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // in the order added; the first is the default

    void addButtonWithTitle(const std::string& title) { buttons.push_back(title); }
};

class AlertPresenter {
  public:
    virtual ~AlertPresenter() = default;
    // Runs the alert modally on the main thread; returns NSAlertFirstButtonReturn + the button's index.
    virtual int runModal(const Alert& alert) = 0;
};

// Quitting: nothing may wait for the user then. With closed true, every alert that a QtAlertPresenter
// is running closes as if its last button (the cancel button) had been chosen, and later alerts get
// that answer at once without being shown, until this is called with false. Main thread.
void setAlertsClosed(bool closed);
bool alertsClosed();

// Runs alerts as Qt message boxes over parent (may be null).
class QtAlertPresenter : public AlertPresenter {
  public:
    explicit QtAlertPresenter(QWidget* parent = nullptr) : parent_(parent) {}
    int runModal(const Alert& alert) override;
    void setParent(QWidget* parent) { parent_ = parent; }

  private:
    QWidget* parent_;
};

}  // namespace quill::platform::appkit
