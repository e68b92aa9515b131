// Quillaran's entry point: the Qt application with the dispatch main queue drained by its event loop,
// the main window and its controller, the status item, and a quit path that SIGINT and SIGTERM share.
#include <QApplication>

#include "app/MainNib.h"
#include "app/Strings.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/MainQueueBridge.h"
#include "platform/appkit/StatusItem.h"

int main(int argc, char** argv) {
    QApplication qtApplication(argc, argv);
    QApplication::setApplicationName("Quillaran");
    QApplication::setQuitOnLastWindowClosed(false);  // the main window's controller decides
    QApplication::setWindowIcon(quill::platform::appkit::imageNamed("tray"));
    quill::platform::appkit::MainQueueBridge mainQueue;
    quill::registerLocalizedStrings();

    quill::platform::appkit::Application application;
    quill::MainNib nib = quill::loadMainNib(application, quill::defaultShellParts());
    application.handleTerminationSignals();
    nib.window->show();
    application.run();
    return 0;
}
