#pragma once
// A display that exists only in memory: a test pattern with a moving block and the frame counter drawn
// as black-or-white squares along the top edge (as many low bits as squares fit, up to 32), and a pointer
// that tests place. It serves tests and benchmarks.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/display/Display.h"

namespace quill::platform::display {

struct SyntheticDisplayConfig {
    int width = 1440;
    int height = 900;
    std::vector<DisplayMode> modes;  // empty: the one mode of width x height
    bool moving = true;              // false: a still picture that changes only on poke()
    double changesPerSecond = 60;    // how often a moving pattern changes
    bool present = true;             // false: no display at all until setPresent(true)
};

class SyntheticDisplayService : public DisplayService {
  public:
    static constexpr DisplayID kDisplayID = 1;
    // Side of one counter square, in source pixels.
    static constexpr int kCounterSquare = 16;

    static std::shared_ptr<SyntheticDisplayService> create(SyntheticDisplayConfig config = {});

    void setPresent(bool present);
    // Changes a still picture once (the counter advances).
    void poke();
    // Places the pointer (points from the bottom left of the display); none: no pointer. None at first.
    void setMouseLocation(std::optional<Point> location);
    // CPU seconds the streams spent drawing the pattern, apart from turning it into frames.
    double patternCpuSeconds() const;
    // Pictures grabbed by all streams so far.
    uint64_t framesGrabbed() const { return grabbed_->load(); }

    // Reads the counter back from the Y plane of an NV12 or I420 frame of the display's own size.
    static uint32_t readCounter(const PixelBuffer& frame);

    DisplayID mainDisplayID() override;
    bool getActiveDisplayList(uint32_t maxDisplays, std::vector<DisplayID>& displays,
                              Error* error = nullptr) override;
    Rect displayBounds(DisplayID display) override;
    std::vector<DisplayMode> copyAllDisplayModes(DisplayID display) override;
    std::optional<Point> mouseLocation() override;
    std::shared_ptr<DisplayStream> createDisplayStream(DisplayID display, int outputWidth, int outputHeight,
                                                       PixelFormat format,
                                                       const DisplayStreamProperties& properties,
                                                       dispatch::QueuePtr queue, FrameHandler handler,
                                                       Error* error = nullptr) override;

    // Shared with the streams.
    struct Shared;

  private:
    explicit SyntheticDisplayService(SyntheticDisplayConfig config);
    SyntheticDisplayConfig config_;
    std::atomic<bool> present_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<std::atomic<uint64_t>> grabbed_;
    mutable std::mutex pointerMutex_;
    std::optional<Point> pointer_;
};

}  // namespace quill::platform::display
