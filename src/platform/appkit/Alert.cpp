#include "platform/appkit/Alert.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <algorithm>
#include <vector>

#include "platform/appkit/Application.h"

namespace quill::platform::appkit {

namespace {

// Main thread only.
bool closed = false;
std::vector<QPointer<QMessageBox>> running;

void cancel(QMessageBox& box) {
    if (QAbstractButton* escape = box.escapeButton()) {
        escape->click();
    } else {
        box.reject();
    }
}

}  // namespace

void setAlertsClosed(bool close) {
    closed = close;
    if (!close) return;
    for (const auto& box : std::vector<QPointer<QMessageBox>>(running)) {
        if (box) cancel(*box);
    }
}

bool alertsClosed() {
    return closed;
}

int QtAlertPresenter::runModal(const Alert& alert) {
    const int buttonCount = static_cast<int>(std::max<size_t>(alert.buttons.size(), 1));
    if (closed) return NSAlertFirstButtonReturn + buttonCount - 1;
    QPointer<QWidget> parent = parent_;
    QMessageBox box(parent.data());
    countAsApplicationWindow(box);
    switch (alert.alertStyle) {
        case AlertStyle::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case AlertStyle::Informational:
            box.setIcon(QMessageBox::Information);
            break;
        case AlertStyle::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
    }
    box.setWindowTitle(QCoreApplication::applicationName());
    box.setText(QString::fromStdString(alert.messageText));
    box.setInformativeText(QString::fromStdString(alert.informativeText));
    std::vector<QAbstractButton*> buttons;
    std::vector<std::string> titles = alert.buttons;
    if (titles.empty()) titles.push_back("OK");  // an alert always has a way out
    for (size_t i = 0; i < titles.size(); ++i) {
        QMessageBox::ButtonRole role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        buttons.push_back(box.addButton(QString::fromStdString(titles[i]), role));
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
    box.setEscapeButton(buttons.back());
    running.emplace_back(&box);
    box.exec();
    std::erase_if(running, [&box](const QPointer<QMessageBox>& p) { return !p || p.data() == &box; });
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i]) return NSAlertFirstButtonReturn + static_cast<int>(i);
    }
    return NSAlertFirstButtonReturn + static_cast<int>(buttons.size()) - 1;
}

}  // namespace quill::platform::appkit
