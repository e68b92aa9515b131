#include "platform/appkit/Alert.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace quill::platform::appkit {

int QtAlertPresenter::runModal(const Alert& alert) {
    QPointer<QWidget> parent = parent_;
    QMessageBox box(parent.data());
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
    box.exec();
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i]) return NSAlertFirstButtonReturn + static_cast<int>(i);
    }
    return NSAlertFirstButtonReturn + static_cast<int>(buttons.size()) - 1;
}

}  // namespace quill::platform::appkit
