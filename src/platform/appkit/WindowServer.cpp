#include "platform/appkit/WindowServer.h"

#include <QtGui/qguiapplication_platform.h>
#include <QGuiApplication>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <mutex>

// xcb after Qt: its names clash with Qt's headers.
#include <xcb/xcb.h>

namespace quill::platform::appkit {

namespace {

struct Watch {
    std::mutex mutex;
    std::function<void()> handler;
    QtMessageHandler previous = nullptr;
    bool installed = false;
    std::atomic<bool> reported{false};
};

Watch& watch() {
    static auto* w = new Watch;
    return *w;
}

bool windowServerBroken() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) return false;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    return connection && xcb_connection_has_error(connection) != 0;
}

// Every message Qt writes passes here; the one about the broken connection comes right before Qt ends
// the process. Whatever its text, a message on the main thread with the connection broken is the moment.
void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    Watch& w = watch();
    QtMessageHandler previous;
    {
        std::lock_guard lock(w.mutex);
        previous = w.previous;
    }
    if (previous) {
        previous(type, context, text);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    }
    std::function<void()> handler;
    {
        std::lock_guard lock(w.mutex);
        handler = w.handler;
    }
    // Without a handler (as while the application is torn down) Qt is not asked about its connection.
    QCoreApplication* app = QCoreApplication::instance();
    if (!handler || !app || QThread::currentThread() != app->thread() || w.reported.load() ||
        !windowServerBroken())
        return;
    if (!w.reported.exchange(true)) handler();
}

}  // namespace

void setWindowServerLostHandler(std::function<void()> handler) {
    Watch& w = watch();
    std::lock_guard lock(w.mutex);
    w.handler = std::move(handler);
    if (!w.installed) {
        w.installed = true;
        w.previous = qInstallMessageHandler(onQtMessage);
    }
}

}  // namespace quill::platform::appkit
