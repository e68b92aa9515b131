#include "app/MainWindow.h"

#include <QCloseEvent>
#include <QVBoxLayout>

#include "platform/appkit/Application.h"

namespace quill {

MainWindow::MainWindow() {
    setObjectName("mainWindow");
    platform::appkit::countAsApplicationWindow(*this);
    setWindowTitle("Quillaran");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 18, 18, 18);
    topView_ = new QWidget(this);
    topView_->setObjectName("topView");
    auto* content = new QVBoxLayout(topView_);
    content->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(topView_);
    setFixedSize(420, 430);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (shouldClose_ && !shouldClose_()) {
        event->ignore();
        return;
    }
    event->accept();
    if (willClose_) willClose_();
}

}  // namespace quill
