// The X11 backend: displays are the RandR monitors of the default screen (the primary one is the main
// display), streams grab the monitor's part of the root window through MIT-SHM when XDamage reports a
// change, draw the cursor from XFixes when asked, and convert to NV12 with scaling. Without scaling, a
// grab reads and converts only the parts that changed since the picture it writes into was grabbed
// (the damage XDamage reports, and where the cursor was and is); the rest of that picture is already
// the screen. Every connection is an X11Connection: nothing waits long on a server that does not
// answer, and one that goes away fails the calls instead of ending the process.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/display/CaptureStream.h"
#include "platform/display/DamageHistory.h"
#include "platform/display/Display.h"
#include "platform/display/PixelTransfer.h"
#include "platform/display/X11Connection.h"
#include "platform/foundation/SysLog.h"

namespace quill::platform::display {

namespace {

struct MonitorInfo {
    DisplayID id = 0;
    Rect bounds;
    bool primary = false;
    std::vector<RROutput> outputs;
};

// The monitors of the default screen in RandR order, numbered from 1; the whole screen as display 1
// when RandR cannot say.
std::vector<MonitorInfo> monitors(Display* dpy) {
    std::vector<MonitorInfo> out;
    const Window root = DefaultRootWindow(dpy);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (XRRQueryExtension(dpy, &eventBase, &errorBase) && XRRQueryVersion(dpy, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 5))) {
        int n = 0;
        XRRMonitorInfo* list = XRRGetMonitors(dpy, root, True, &n);
        for (int i = 0; list && i < n; ++i) {
            MonitorInfo m;
            m.id = static_cast<DisplayID>(i + 1);
            m.bounds = {double(list[i].x), double(list[i].y), double(list[i].width), double(list[i].height)};
            m.primary = list[i].primary;
            m.outputs.assign(list[i].outputs, list[i].outputs + list[i].noutput);
            out.push_back(std::move(m));
        }
        if (list) XRRFreeMonitors(list);
    }
    if (out.empty()) {
        const int screen = DefaultScreen(dpy);
        out.push_back(
            {1, {0, 0, double(DisplayWidth(dpy, screen)), double(DisplayHeight(dpy, screen))}, true, {}});
    }
    return out;
}

const MonitorInfo* findMonitor(const std::vector<MonitorInfo>& list, DisplayID id) {
    for (const auto& m : list)
        if (m.id == id) return &m;
    return nullptr;
}

DisplayID mainOf(const std::vector<MonitorInfo>& list) {
    for (const auto& m : list)
        if (m.primary) return m.id;
    return list.empty() ? 0 : list.front().id;
}

// Every mode of the display's outputs, and its current size.
std::vector<DisplayMode> modesOf(Display* dpy, DisplayID display) {
    const auto list = monitors(dpy);
    const MonitorInfo* m = findMonitor(list, display);
    if (!m) return {};
    std::vector<DisplayMode> modes;
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, DefaultRootWindow(dpy));
    for (RROutput output : m->outputs) {
        if (!res) break;
        XRROutputInfo* info = XRRGetOutputInfo(dpy, res, output);
        if (!info) continue;
        for (int i = 0; i < info->nmode; ++i) {
            for (int j = 0; j < res->nmode; ++j) {
                if (res->modes[j].id != info->modes[i]) continue;
                DisplayMode mode{res->modes[j].width, res->modes[j].height};
                if (std::find(modes.begin(), modes.end(), mode) == modes.end()) modes.push_back(mode);
            }
        }
        XRRFreeOutputInfo(info);
    }
    if (res) XRRFreeScreenResources(res);
    // A monitor without listed modes still shows its current size.
    DisplayMode current{static_cast<size_t>(m->bounds.width), static_cast<size_t>(m->bounds.height)};
    if (std::find(modes.begin(), modes.end(), current) == modes.end()) modes.push_back(current);
    return modes;
}

class X11Source : public CaptureSource {
  public:
    X11Source(std::string displayName, DisplayID display, bool showCursor)
        : name_(std::move(displayName)), display_(display), showCursor_(showCursor) {}
    ~X11Source() override { close(); }

    bool open(Error* error) override {
        connection_ = X11Connection::open(name_);
        if (!connection_) {
            if (error) *error = displayError(4, "cannot open the X display");
            return false;
        }
        dpy_ = connection_->get();
        // The setup's round trips: cut off when the server stops answering meanwhile.
        X11Connection::Watch watch(*connection_);
        root_ = DefaultRootWindow(dpy_);
        if (!readGeometry()) {
            if (error) *error = displayError(2, "no such display");
            close();
            return false;
        }
        int errorBase = 0;
        if (!XDamageQueryExtension(dpy_, &damageEvent_, &errorBase)) {
            if (error) *error = displayError(5, "the X server has no DAMAGE extension");
            close();
            return false;
        }
        damage_ = XDamageCreate(dpy_, root_, XDamageReportNonEmpty);
        int fixesError = 0;
        hasFixes_ = XFixesQueryExtension(dpy_, &fixesEvent_, &fixesError);
        // The damage taken off at each grab lands here, to be read back.
        if (hasFixes_) parts_ = XFixesCreateRegion(dpy_, nullptr, 0);
        history_.reset(width_, height_);
        if (showCursor_ && hasFixes_) XFixesSelectCursorInput(dpy_, root_, XFixesDisplayCursorNotifyMask);
        useShm_ = XShmQueryExtension(dpy_);
        wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        XSync(dpy_, False);
        if (wakeFd_ < 0 || !makeImage() || connection_->broken()) {
            if (error) *error = displayError(6, "cannot prepare the screen grab");
            close();
            return false;
        }
        return true;
    }

    bool waitForChange(double timeoutSeconds) override {
        if (!dpy_) {
            // The connection broke and was let go: nothing comes from the server any more.
            pollfd wake{wakeFd_, POLLIN, 0};
            if (poll(&wake, 1, static_cast<int>(std::max(0.0, timeoutSeconds) * 1000.0 + 0.5)) > 0) {
                uint64_t v = 0;
                [[maybe_unused]] auto r = read(wakeFd_, &v, sizeof v);
            }
            return false;
        }
        const bool changed = waitForServer(timeoutSeconds);
        return !letGoIfBroken() && changed;
    }

    void wake() override {
        if (wakeFd_ >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] auto r = write(wakeFd_, &one, sizeof one);
        }
    }

    void interrupt() override {
        if (connection_) connection_->cut();
    }

    FrameStatus grab(PixelBuffer& dst) override {
        if (!dpy_) return FrameStatus::Blank;
        const FrameStatus status = grabFromServer(dst);
        // A grab cut short by a break holds no picture.
        if (letGoIfBroken()) return FrameStatus::Blank;
        if (status == FrameStatus::Complete && parts_) history_.done(&dst);
        return status;
    }

    void close() override {
        letGo();
        if (wakeFd_ >= 0) ::close(wakeFd_);
        wakeFd_ = -1;
    }

  private:
    bool waitForServer(double timeoutSeconds) {
        bool changed = drainEvents();
        if (!changed) {
            // The pointer moves without damaging the screen: look at it once a poll step when it is drawn.
            double step = timeoutSeconds;
            if (showCursor_) step = std::min(step, 0.04);
            pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            const int ms = static_cast<int>(std::max(0.0, step) * 1000.0 + 0.5);
            if (poll(fds, 2, ms) > 0 && (fds[1].revents & POLLIN)) {
                uint64_t v = 0;
                [[maybe_unused]] auto r = read(wakeFd_, &v, sizeof v);
                return false;
            }
            changed = drainEvents();
        }
        if (!changed && showCursor_) changed = pointerMoved();
        return changed;
    }

    FrameStatus grabFromServer(PixelBuffer& dst) {
        subtractSerial_ = NextRequest(dpy_);
        XDamageSubtract(dpy_, damage_, None, parts_);
        std::vector<DamageHistory::Area> changed = damagedAreas();
        XFixesCursorImage* cursor = showCursor_ && hasFixes_ ? XFixesGetCursorImage(dpy_) : nullptr;
        std::optional<DamageHistory::Area> cursorArea;
        if (cursor) {
            pointerX_ = cursor->x;
            pointerY_ = cursor->y;
            const int left = cursor->x - cursor->xhot - x_, top = cursor->y - cursor->yhot - y_;
            cursorArea = DamageHistory::Area{left, top, left + cursor->width, top + cursor->height};
            changed.push_back(*cursorArea);
        }
        if (lastCursor_) changed.push_back(*lastCursor_);
        lastCursor_ = cursorArea;
        // Only the parts that changed since the grab the picture holds, when the damage is known and
        // the picture is the screen's own size.
        std::optional<std::vector<DamageHistory::Area>> areas;
        if (parts_) areas = history_.begin(&dst, changed);
        const bool partial = areas && shmImage_ && dst.width() == width_ && dst.height() == height_ &&
                             dst.format() != PixelFormat::BGRA;
        FrameStatus status =
            partial && grabAreas(*areas, cursor, dst) ? FrameStatus::Complete : grabWhole(cursor, dst);
        if (cursor) XFree(cursor);
        return status;
    }

    // Once the connection broke, only the thread that met the break may touch it (see X11Connection):
    // the capture thread lets it go at once, whether the server went away or a stop cut it.
    bool letGoIfBroken() {
        if (!connection_->broken()) return false;
        letGo();
        return true;
    }

    void letGo() {
        if (!dpy_) return;
        destroyImage();
        if (damage_) XDamageDestroy(dpy_, damage_);
        damage_ = 0;
        if (parts_) XFixesDestroyRegion(dpy_, parts_);
        parts_ = 0;
        // The object stays for interrupt(), which may still come.
        connection_->close();
        dpy_ = nullptr;
    }

    bool readGeometry() {
        const auto list = monitors(dpy_);
        const MonitorInfo* m = findMonitor(list, display_);
        if (!m || m->bounds.width <= 0 || m->bounds.height <= 0) return false;
        x_ = static_cast<int>(m->bounds.x);
        y_ = static_cast<int>(m->bounds.y);
        width_ = static_cast<int>(m->bounds.width);
        height_ = static_cast<int>(m->bounds.height);
        return true;
    }

    bool makeImage() {
        destroyImage();
        if (!useShm_) return true;
        const int screen = DefaultScreen(dpy_);
        shmImage_ = XShmCreateImage(dpy_, DefaultVisual(dpy_, screen),
                                    static_cast<unsigned>(DefaultDepth(dpy_, screen)), ZPixmap, nullptr,
                                    &shm_, static_cast<unsigned>(width_), static_cast<unsigned>(height_));
        if (!shmImage_) {
            useShm_ = false;
            return true;
        }
        shm_.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(shmImage_->bytes_per_line) * shmImage_->height,
                            IPC_CREAT | 0600);
        if (shm_.shmid < 0) {
            XDestroyImage(shmImage_);
            shmImage_ = nullptr;
            useShm_ = false;
            return true;
        }
        shm_.shmaddr = shmImage_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
        shm_.readOnly = False;
        // Removed now, freed when both sides have detached.
        shmctl(shm_.shmid, IPC_RMID, nullptr);
        if (shm_.shmaddr == reinterpret_cast<char*>(-1) || !XShmAttach(dpy_, &shm_)) {
            if (shm_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shm_.shmaddr);
            shmImage_->data = nullptr;
            XDestroyImage(shmImage_);
            shmImage_ = nullptr;
            useShm_ = false;
            return true;
        }
        XSync(dpy_, False);
        return true;
    }

    void destroyImage() {
        if (!shmImage_) return;
        XShmDetach(dpy_, &shm_);
        XSync(dpy_, False);
        shmdt(shm_.shmaddr);
        shmImage_->data = nullptr;
        XDestroyImage(shmImage_);
        shmImage_ = nullptr;
    }

    XImage* grabImage() {
        if (shmImage_) {
            return XShmGetImage(dpy_, root_, shmImage_, x_, y_, AllPlanes) ? shmImage_ : nullptr;
        }
        return XGetImage(dpy_, root_, x_, y_, static_cast<unsigned>(width_), static_cast<unsigned>(height_),
                         AllPlanes, ZPixmap);
    }

    void releaseImage(XImage* image) {
        if (image != shmImage_) XDestroyImage(image);
    }

    // True when a damage or cursor-shape event arrived.
    bool drainEvents() {
        bool changed = false;
        while (XPending(dpy_) > 0) {
            XEvent event;
            XNextEvent(dpy_, &event);
            // Damage reported before the last subtract is already in the last grab.
            if (event.type == damageEvent_ + XDamageNotify && event.xany.serial >= subtractSerial_)
                changed = true;
            if (hasFixes_ && event.type == fixesEvent_ + XFixesCursorNotify) changed = true;
        }
        return changed;
    }

    bool pointerMoved() {
        Window rootReturn, child;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        if (!XQueryPointer(dpy_, root_, &rootReturn, &child, &rx, &ry, &wx, &wy, &mask)) return false;
        const bool moved = rx != pointerX_ || ry != pointerY_;
        pointerX_ = rx;
        pointerY_ = ry;
        return moved;
    }

    FrameStatus grabWhole(const XFixesCursorImage* cursor, PixelBuffer& dst) {
        XImage* image = grabImage();
        if (!image) {
            // The screen may have changed size: look again once.
            if (!readGeometry() || !makeImage() || !(image = grabImage())) return FrameStatus::Blank;
            history_.reset(width_, height_);
            lastCursor_.reset();
        }
        if (!isBGRX(image)) {
            releaseImage(image);
            return FrameStatus::Blank;
        }
        if (cursor) drawCursor(*cursor, image, 0, 0);
        const bool ok = transfer_.transferFromBGRA(reinterpret_cast<const uint8_t*>(image->data),
                                                   image->bytes_per_line, width_, height_, dst);
        releaseImage(image);
        return ok ? FrameStatus::Complete : FrameStatus::Blank;
    }

    // Reads and converts only these parts of the screen into the picture; false when one fails (the
    // picture then needs a whole grab).
    bool grabAreas(const std::vector<DamageHistory::Area>& areas, const XFixesCursorImage* cursor,
                   PixelBuffer& dst) {
        const int screen = DefaultScreen(dpy_);
        for (const auto& a : areas) {
            const int w = a.x1 - a.x0, h = a.y1 - a.y0;
            // A header over the start of the shared segment, which the whole-screen image also uses.
            XImage* part = XShmCreateImage(
                dpy_, DefaultVisual(dpy_, screen), static_cast<unsigned>(DefaultDepth(dpy_, screen)), ZPixmap,
                shm_.shmaddr, &shm_, static_cast<unsigned>(w), static_cast<unsigned>(h));
            if (!part) return false;
            bool ok = XShmGetImage(dpy_, root_, part, x_ + a.x0, y_ + a.y0, AllPlanes) && isBGRX(part);
            if (ok) {
                if (cursor) drawCursor(*cursor, part, a.x0, a.y0);
                ok = PixelTransfer::convertBGRAInto(reinterpret_cast<const uint8_t*>(part->data),
                                                    part->bytes_per_line, w, h, dst, a.x0, a.y0);
            }
            part->data = nullptr;
            XDestroyImage(part);
            if (!ok) return false;
        }
        return true;
    }

    bool isBGRX(const XImage* image) {
        if (image->bits_per_pixel == 32 && image->byte_order == LSBFirst && image->red_mask == 0xff0000 &&
            image->green_mask == 0xff00 && image->blue_mask == 0xff)
            return true;
        if (!warnedFormat_) sysLog("X11 screen format is not 32-bit BGRX; no frames");
        warnedFormat_ = true;
        return false;
    }

    // What the last subtract took off, in the monitor's coordinates.
    std::vector<DamageHistory::Area> damagedAreas() {
        std::vector<DamageHistory::Area> out;
        if (!parts_) return out;
        int count = 0;
        XRectangle* rects = XFixesFetchRegion(dpy_, parts_, &count);
        // Unread (an empty region still comes as a list): everything may have changed.
        if (!rects) return {{0, 0, width_, height_}};
        for (int i = 0; i < count; ++i) {
            const int left = rects[i].x - x_, top = rects[i].y - y_;
            out.push_back({left, top, left + rects[i].width, top + rects[i].height});
        }
        XFree(rects);
        return out;
    }

    // Blends the cursor (premultiplied ARGB) into a grabbed image whose top left corner is (left, top)
    // of the monitor.
    void drawCursor(const XFixesCursorImage& cursor, XImage* image, int left, int top) {
        const int cursorLeft = cursor.x - cursor.xhot - x_ - left;
        const int cursorTop = cursor.y - cursor.yhot - y_ - top;
        for (int cy = 0; cy < cursor.height; ++cy) {
            const int py = cursorTop + cy;
            if (py < 0 || py >= image->height) continue;
            auto* row =
                reinterpret_cast<uint8_t*>(image->data) + static_cast<size_t>(py) * image->bytes_per_line;
            for (int cx = 0; cx < cursor.width; ++cx) {
                const int px = cursorLeft + cx;
                if (px < 0 || px >= image->width) continue;
                const auto argb = static_cast<uint32_t>(cursor.pixels[cy * cursor.width + cx]);
                const uint32_t a = argb >> 24;
                if (a == 0) continue;
                uint8_t* p = row + px * 4;
                const uint32_t src[3] = {argb & 0xff, (argb >> 8) & 0xff, (argb >> 16) & 0xff};
                for (int c = 0; c < 3; ++c)
                    p[c] = static_cast<uint8_t>(std::min<uint32_t>(255, src[c] + p[c] * (255 - a) / 255));
            }
        }
    }

    std::string name_;
    DisplayID display_;
    bool showCursor_;
    std::unique_ptr<X11Connection> connection_;
    Display* dpy_ = nullptr;  // connection_'s while it is open
    Window root_ = 0;
    int x_ = 0, y_ = 0, width_ = 0, height_ = 0;
    int damageEvent_ = 0;
    Damage damage_ = 0;
    unsigned long subtractSerial_ = 0;
    bool hasFixes_ = false;
    int fixesEvent_ = 0;
    XserverRegion parts_ = 0;  // the damage of the last grab, read back from the server
    DamageHistory history_{0, 0};
    std::optional<DamageHistory::Area> lastCursor_;  // where the last grab drew the cursor
    bool useShm_ = false;
    XShmSegmentInfo shm_{};
    XImage* shmImage_ = nullptr;
    int wakeFd_ = -1;
    int pointerX_ = -1, pointerY_ = -1;
    bool warnedFormat_ = false;
    PixelTransfer transfer_;
};

class X11DisplayService : public DisplayService {
  public:
    explicit X11DisplayService(std::string name) : name_(std::move(name)) {}

    DisplayID mainDisplayID() override {
        return query([](Display* dpy) { return mainOf(monitors(dpy)); }).value_or(0);
    }

    std::optional<Point> mouseLocation() override {
        std::lock_guard lock(pointerMutex_);
        // One connection kept for the queries, which come many times a second.
        if (!pointer_) pointer_ = X11Connection::open(name_);
        if (!pointer_) return std::nullopt;
        X11Connection::Watch watch(*pointer_);
        Display* dpy = pointer_->get();
        const auto list = monitors(dpy);
        const MonitorInfo* main = findMonitor(list, mainOf(list));
        Window rootReturn, child;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        if (!main ||
            !XQueryPointer(dpy, DefaultRootWindow(dpy), &rootReturn, &child, &rx, &ry, &wx, &wy, &mask) ||
            pointer_->broken()) {
            // The server may have gone; the next query connects afresh.
            pointer_.reset();
            return std::nullopt;
        }
        // X counts down from the top left of the screen; points here count up from the bottom left of
        // the main display.
        return Point{rx - main->bounds.x, main->bounds.y + main->bounds.height - ry};
    }

    bool getActiveDisplayList(uint32_t maxDisplays, std::vector<DisplayID>& displays, Error* error) override {
        displays.clear();
        const auto list = query(monitors);
        if (!list) {
            if (error) *error = displayError(4, "cannot open the X display");
            return false;
        }
        const DisplayID main = mainOf(*list);
        if (main && maxDisplays > 0) displays.push_back(main);
        for (const auto& m : *list)
            if (m.id != main && displays.size() < maxDisplays) displays.push_back(m.id);
        return true;
    }

    Rect displayBounds(DisplayID display) override {
        const auto list = query(monitors);
        const MonitorInfo* m = list ? findMonitor(*list, display) : nullptr;
        return m ? m->bounds : Rect{};
    }

    std::vector<DisplayMode> copyAllDisplayModes(DisplayID display) override {
        return query([display](Display* dpy) { return modesOf(dpy, display); })
            .value_or(std::vector<DisplayMode>{});
    }

    std::shared_ptr<DisplayStream> createDisplayStream(DisplayID display, int outputWidth, int outputHeight,
                                                       PixelFormat format,
                                                       const DisplayStreamProperties& properties,
                                                       dispatch::QueuePtr queue, FrameHandler handler,
                                                       Error* error) override {
        if (format != PixelFormat::NV12 || outputWidth <= 0 || outputHeight <= 0 || !queue || !handler) {
            if (error) *error = displayError(3, "unsupported stream settings");
            return nullptr;
        }
        if (displayBounds(display).width <= 0) {
            if (error) *error = displayError(2, "no such display");
            return nullptr;
        }
        auto source = std::make_unique<X11Source>(name_, display, properties.showCursor);
        return std::make_shared<CaptureStream>(std::move(source), outputWidth, outputHeight, properties,
                                               std::move(queue), std::move(handler));
    }

  private:
    // What question asks of a connection of its own, made for it; none when no server answers, or the
    // connection broke meanwhile.
    template <class Question>
    auto query(Question question) -> std::optional<decltype(question(nullptr))> {
        auto connection = X11Connection::open(name_);
        if (!connection) {
            // Callers ask again and again while they wait for a display; once is enough to say so.
            if (!reportedMissing_.exchange(true)) sysLog("no X display answers; waiting for one");
            return std::nullopt;
        }
        reportedMissing_ = false;
        X11Connection::Watch watch(*connection);
        auto answer = question(connection->get());
        if (connection->broken()) return std::nullopt;
        return answer;
    }

    std::string name_;
    std::atomic<bool> reportedMissing_{false};
    std::mutex pointerMutex_;
    std::unique_ptr<X11Connection> pointer_;
};

}  // namespace

std::shared_ptr<DisplayService> DisplayService::x11(const std::string& displayName) {
    if (!X11Connection::open(displayName)) return nullptr;
    return std::make_shared<X11DisplayService>(displayName);
}

std::shared_ptr<DisplayService> DisplayService::x11Waiting() {
    return std::make_shared<X11DisplayService>(std::string());
}

}  // namespace quill::platform::display
