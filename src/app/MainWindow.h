#pragma once
// The main window: a small utility window whose top view holds the pin view or the session view. Its
// owner decides whether a close request closes it and hears when it closes.

#include <QWidget>
#include <functional>

namespace quill {

class MainWindow : public QWidget {
  public:
    MainWindow();

    QWidget* topView() const { return topView_; }
    // Asked on every close request; false keeps the window open. Default: close.
    void setShouldClose(std::function<bool()> shouldClose) { shouldClose_ = std::move(shouldClose); }
    // Called once the window is closing.
    void setWillClose(std::function<void()> willClose) { willClose_ = std::move(willClose); }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QWidget* topView_;
    std::function<bool()> shouldClose_;
    std::function<void()> willClose_;
};

}  // namespace quill
