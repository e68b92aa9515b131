// The display service of a Wayland session: the screen the user shares through the desktop's screen-cast
// portal, read from PipeWire. One share serves one capture: asked for the main display while there is no
// share, the service starts one (the portal's dialog, or none when the restore token still holds) and
// answers "no main display" until the stream's first format has come; then the shared monitor is display
// 1, its size the one mode and the bounds. The stream made of it ends the share when it stops, and so
// does endCapture(). A share the user refused or the desktop failed is not asked for again before
// endCapture(): the recorder's retries must not bring the dialog back and back.

#include <unistd.h>

#include <chrono>
#include <mutex>

#include "platform/display/CaptureStream.h"
#include "platform/display/Display.h"
#include "platform/display/PipeWireCapture.h"
#include "platform/display/ScreenCastPortal.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/UserDefaults.h"

namespace quill::platform::display {

namespace {

constexpr DisplayID kSharedDisplay = 1;
constexpr const char* kRestoreTokenKey = "screencast.restore_token";
// How long a granted stream may take to agree its format.
constexpr std::chrono::seconds kFormatDeadline{10};

// The share's state, apart from the service: the portal's and PipeWire's threads hold it while they
// report, so that the service itself is never let go on one of them (its end joins them).
class PortalShare : public std::enable_shared_from_this<PortalShare> {
  public:
    using CaptureEnd = DisplayService::CaptureEnd;
    using CaptureEndedHandler = DisplayService::CaptureEndedHandler;

    PortalShare(std::optional<std::string> busAddress, DisplayService::TokenStore store)
        : busAddress_(std::move(busAddress)), store_(std::move(store)) {}

    DisplayID mainDisplayID() {
        uint64_t silent = 0;
        {
            std::lock_guard lock(mutex_);
            if (capture_ && capture_->width() > 0 && capture_->height() > 0) return kSharedDisplay;
            if (!portal_ && !refused_) startShare();
            // A granted stream that never tells its format would leave mirroring waiting for ever.
            if (capture_ && !reported_ && std::chrono::steady_clock::now() - grantedAt_ > kFormatDeadline)
                silent = share_;
        }
        if (silent) {
            sysLog("screen cast: the shared screen's stream agreed no format in %lld s",
                   static_cast<long long>(kFormatDeadline.count()));
            report(silent, CaptureEnd::Failed, "the shared screen's stream sent no picture");
        }
        return 0;
    }

    bool getActiveDisplayList(uint32_t maxDisplays, std::vector<DisplayID>& displays) {
        displays.clear();
        if (maxDisplays > 0 && sharedSize()) displays.push_back(kSharedDisplay);
        return true;
    }

    Rect displayBounds(DisplayID display) {
        const auto size = display == kSharedDisplay ? sharedSize() : std::nullopt;
        return size ? Rect{0, 0, double(size->width), double(size->height)} : Rect{};
    }

    std::vector<DisplayMode> copyAllDisplayModes(DisplayID display) {
        const auto size = display == kSharedDisplay ? sharedSize() : std::nullopt;
        if (!size) return {};
        return {*size};
    }

    std::shared_ptr<DisplayStream> createDisplayStream(DisplayID display, int outputWidth, int outputHeight,
                                                       PixelFormat format,
                                                       const DisplayStreamProperties& properties,
                                                       dispatch::QueuePtr queue, FrameHandler handler,
                                                       Error* error) {
        if (format != PixelFormat::NV12 || outputWidth <= 0 || outputHeight <= 0 || !queue || !handler) {
            if (error) *error = displayError(3, "unsupported stream settings");
            return nullptr;
        }
        std::unique_ptr<CaptureSource> source;
        {
            std::lock_guard lock(mutex_);
            if (display != kSharedDisplay || !capture_ || capture_->width() <= 0 || streamMade_) {
                if (error) *error = displayError(2, "no such display");
                return nullptr;
            }
            streamMade_ = true;
            std::weak_ptr<PortalShare> weak = weak_from_this();
            const uint64_t share = share_;
            source = capture_->makeSource([weak, share] {
                if (auto self = weak.lock()) self->endShare(share);
            });
        }
        return std::make_shared<CaptureStream>(std::move(source), outputWidth, outputHeight, properties,
                                               std::move(queue), std::move(handler));
    }

    void setCaptureEndedHandler(CaptureEndedHandler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    void endCapture() { endShare(std::nullopt); }

    void setParentWindow(const std::string& window) {
        std::lock_guard lock(mutex_);
        parentWindow_ = window;
    }

    void prepareStream(const DisplayStreamProperties& properties) {
        std::lock_guard lock(mutex_);
        showCursor_ = properties.showCursor;
    }

  private:
    std::optional<DisplayMode> sharedSize() {
        std::lock_guard lock(mutex_);
        if (!capture_ || capture_->width() <= 0 || capture_->height() <= 0) return std::nullopt;
        return DisplayMode{static_cast<size_t>(capture_->width()), static_cast<size_t>(capture_->height())};
    }

    // Under mutex_.
    void startShare() {
        const uint64_t share = ++share_;
        std::weak_ptr<PortalShare> weak = weak_from_this();
        ScreenCastPortal::Options options;
        options.busAddress = busAddress_;
        options.restoreToken = loadToken();
        options.showCursor = showCursor_;
        options.parentWindow = parentWindow_;
        ScreenCastPortal::Handlers handlers;
        handlers.granted = [weak, share](ScreenCastGrant grant) {
            if (auto self = weak.lock()) {
                self->granted(share, grant);
            } else {
                ::close(grant.fd);
            }
        };
        handlers.ended = [weak, share](ScreenCastEnd end, const std::string& reason) {
            if (auto self = weak.lock()) self->portalEnded(share, end, reason);
        };
        handlers.token = [weak](const std::string& token) {
            if (auto self = weak.lock()) self->saveToken(token);
        };
        sysLog("screen cast: asking the desktop to share the screen");
        portal_ = ScreenCastPortal::start(std::move(options), std::move(handlers));
    }

    // On the portal's thread.
    void granted(uint64_t share, ScreenCastGrant grant) {
        std::weak_ptr<PortalShare> weak = weak_from_this();
        Error error;
        auto capture = PipeWireCapture::open(
            grant.fd, grant.node,
            [weak, share](const std::string& reason) {
                if (auto self = weak.lock()) self->report(share, CaptureEnd::Ended, reason);
            },
            &error);
        if (!capture) {
            report(share, CaptureEnd::Failed,
                   "the shared screen cannot be read: " + error.localizedDescription());
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (share == share_ && portal_) {
                capture_ = std::move(capture);
                grantedAt_ = std::chrono::steady_clock::now();
                return;
            }
        }
        capture->close();  // the share was ended meanwhile
    }

    // On the portal's thread.
    void portalEnded(uint64_t share, ScreenCastEnd end, const std::string& reason) {
        switch (end) {
            case ScreenCastEnd::Cancelled:
                return report(share, CaptureEnd::Refused, reason);
            case ScreenCastEnd::Failed:
                return report(share, CaptureEnd::Failed, reason);
            case ScreenCastEnd::Closed:
                return report(share, CaptureEnd::Ended, reason);
        }
    }

    // Tells the handler once per share; until endCapture() no new share is asked for.
    void report(uint64_t share, CaptureEnd end, const std::string& reason) {
        CaptureEndedHandler handler;
        {
            std::lock_guard lock(mutex_);
            if (share != share_ || reported_) return;
            reported_ = true;
            refused_ = true;
            handler = handler_;
        }
        // The portal and the stream have logged why.
        if (handler) handler(end, reason);
    }

    // Ends the share numbered share (none: whichever there is): the portal's session closed, the stream
    // closed.
    void endShare(std::optional<uint64_t> share) {
        std::shared_ptr<ScreenCastPortal> portal;
        std::shared_ptr<PipeWireCapture> capture;
        {
            std::lock_guard lock(mutex_);
            if (share && *share != share_) return;
            portal = std::move(portal_);
            capture = std::move(capture_);
            portal_.reset();
            capture_.reset();
            ++share_;
            refused_ = false;
            reported_ = false;
            streamMade_ = false;
        }
        // Outside the lock: both join threads whose handlers take it.
        if (portal) portal->close();
        if (capture) capture->close();
    }

    std::string loadToken() {
        if (store_.load) return store_.load();
        return foundation::UserDefaults::standardUserDefaults().stringForKey(kRestoreTokenKey);
    }

    void saveToken(const std::string& token) {
        if (store_.save) return store_.save(token);
        Error error;
        if (!foundation::UserDefaults::standardUserDefaults().setString(token, kRestoreTokenKey, &error))
            sysLog("screen cast: the restore token was not kept: %s", error.description().c_str());
    }

    const std::optional<std::string> busAddress_;
    const DisplayService::TokenStore store_;
    std::mutex mutex_;
    uint64_t share_ = 0;  // the number of the current share; events of older ones are ignored
    std::shared_ptr<ScreenCastPortal> portal_;
    std::shared_ptr<PipeWireCapture> capture_;
    std::chrono::steady_clock::time_point grantedAt_;
    bool refused_ = false;
    bool reported_ = false;
    bool streamMade_ = false;
    bool showCursor_ = true;
    std::string parentWindow_;
    CaptureEndedHandler handler_;
};

class PortalDisplayService : public DisplayService {
  public:
    PortalDisplayService(std::optional<std::string> busAddress, TokenStore store)
        : share_(std::make_shared<PortalShare>(std::move(busAddress), std::move(store))) {}
    ~PortalDisplayService() override { share_->endCapture(); }

    DisplayID mainDisplayID() override { return share_->mainDisplayID(); }
    bool getActiveDisplayList(uint32_t maxDisplays, std::vector<DisplayID>& displays, Error*) override {
        return share_->getActiveDisplayList(maxDisplays, displays);
    }
    Rect displayBounds(DisplayID display) override { return share_->displayBounds(display); }
    std::vector<DisplayMode> copyAllDisplayModes(DisplayID display) override {
        return share_->copyAllDisplayModes(display);
    }
    // The portal tells no pointer position apart from the pictures.
    std::optional<Point> mouseLocation() override { return std::nullopt; }
    std::shared_ptr<DisplayStream> createDisplayStream(DisplayID display, int outputWidth, int outputHeight,
                                                       PixelFormat format,
                                                       const DisplayStreamProperties& properties,
                                                       dispatch::QueuePtr queue, FrameHandler handler,
                                                       Error* error) override {
        return share_->createDisplayStream(display, outputWidth, outputHeight, format, properties,
                                           std::move(queue), std::move(handler), error);
    }
    void setCaptureEndedHandler(CaptureEndedHandler handler) override {
        share_->setCaptureEndedHandler(std::move(handler));
    }
    void endCapture() override { share_->endCapture(); }
    void prepareStream(const DisplayStreamProperties& properties) override {
        share_->prepareStream(properties);
    }
    void setParentWindow(const std::string& window) override { share_->setParentWindow(window); }

  private:
    const std::shared_ptr<PortalShare> share_;
};

}  // namespace

std::shared_ptr<DisplayService> DisplayService::screenCastPortal(std::optional<std::string> busAddress,
                                                                 TokenStore store) {
    return std::make_shared<PortalDisplayService>(std::move(busAddress), std::move(store));
}

}  // namespace quill::platform::display
