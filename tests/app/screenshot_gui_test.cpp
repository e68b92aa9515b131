// Renders the main window in its two views. With QUILLARAN_SCREENSHOT_DIR set, the pictures are written
// there (docs/ holds the ones taken under Xvfb); otherwise they are only checked.
#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <cstdlib>
#include <set>
#include <thread>

#include "app/FakeShellTest.h"

namespace quill {
namespace {

using testing::pumpUntil;

class ScreenshotTest : public testing::FakeShellTest {
  protected:
    // Renders the window (writing it when asked to) and returns the part where view shows.
    QImage shoot(const std::string& name, QWidget* view) {
        testing::pump();  // let layouts settle
        QImage image = nib.window->grab().toImage();
        if (const char* dir = std::getenv("QUILLARAN_SCREENSHOT_DIR")) {
            EXPECT_TRUE(image.save(QString::fromStdString(std::string(dir) + "/" + name)));
        }
        EXPECT_TRUE(view->isVisible() && nib.window->isAncestorOf(view)) << name;
        const qreal scale = nib.window->devicePixelRatio();
        const QRect area(view->mapTo(nib.window.get(), QPoint(0, 0)) * scale, view->size() * scale);
        return image.copy(area);
    }

    // How many distinct colours a picture has: a rendered view has text, frames and buttons, where an
    // empty one is a plain background.
    static size_t colours(const QImage& image) {
        std::set<QRgb> seen;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                seen.insert(image.pixel(x, y));
        return seen.size();
    }
};

TEST_F(ScreenshotTest, EachViewRendersItsContentInTheWindow) {
    auto pin = nib.mainHandler->pinCodeViewController();
    for (char c : std::string("4821"))
        pin->keyDown({std::string(1, c), -1});
    QImage pinImage = shoot("pin-view.png", pin->view());
    EXPECT_GT(colours(pinImage), 3u);

    ReceiverObject receiver{"Living room TV", "2.1", {"192.168.1.52"}, "482193"};
    std::thread worker([&] { lookup->delegate()->onFindReceiverSuccess(receiver); });
    bool shown = pumpUntil(
        [&] { return nib.mainHandler->windowState() == MainHandler::WindowState::ConnectStatusView; });
    worker.join();
    ASSERT_TRUE(shown);
    session->report([](MirrorChannelDelegate& d) { d.onConnectToReceiverSuccess(); });
    session->report([](MirrorChannelDelegate& d) { d.onRequestMirrorOnSuccess(); });
    auto view = nib.mainHandler->connectStatusViewController();
    ASSERT_TRUE(pumpUntil([&] { return view->mirrorButton()->text() == "Stop Mirroring"; }));
    QImage sessionImage = shoot("session-view.png", view->view());
    EXPECT_GT(colours(sessionImage), 3u);
    EXPECT_NE(sessionImage, pinImage);
}

}  // namespace
}  // namespace quill
