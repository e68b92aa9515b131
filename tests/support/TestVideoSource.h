#pragma once
// A video source node for tests, as a desktop's screen cast is one: a PipeWire output stream (media
// class Video/Source) that drives its consumers at a fixed frame rate, on a PipeWire thread loop of its
// own, connected to the daemon of a given runtime folder (see PrivateVideoPipeWire).
//
// Each picture is a flat background with a square that moves `squareStep` pixels to the right a picture
// (wrapping round), so a test can check colours and motion. Pictures carry SPA_META_VideoDamage (the
// square's old and new places; the whole picture after a format change) when the consumer takes it and
// `damage` is set; a still source sends the same picture with empty damage. A picture can be sent
// flagged corrupted (filled with kCorruptColour), the size can change mid-stream, and stop() removes the
// node, as a desktop does when the share ends.
//
// Threads: any test thread calls the methods; the stream runs on the source's own PipeWire thread.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_source;

namespace quill::testing {

class TestVideoSource {
  public:
    // Byte order in memory, as PipeWire names them (x: unused, A: alpha 255).
    enum class Format { BGRx, BGRA, RGBx, RGBA };

    struct Options {
        Format format = Format::BGRx;
        int width = 320;
        int height = 240;
        int fps = 30;
        // Buffers of memfd memory the source allocates itself; otherwise PipeWire allocates them.
        bool allocateMemFd = true;
        bool damage = true;              // offer SPA_META_VideoDamage
        uint32_t background = 0x204080;  // 0xRRGGBB
        uint32_t squareColour = 0xf0f0f0;
        int squareSize = 32;
        int squareStep = 4;
    };
    // What a corrupted picture is filled with: a test checks that it never shows.
    static constexpr uint32_t kCorruptColour = 0xff00ff;

    TestVideoSource(const std::string& runtimeDir, const Options& options);
    ~TestVideoSource();
    TestVideoSource(const TestVideoSource&) = delete;
    TestVideoSource& operator=(const TestVideoSource&) = delete;

    // False when the source could not connect; failure() says why.
    bool running() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

    // The node's id once the daemon made it, waiting at most timeoutSeconds; 0xffffffff when unknown.
    uint32_t nodeId(double timeoutSeconds = 5.0);
    // The square's top left corner in the last picture sent, and the size of that picture.
    int squareX() const;
    int squareY() const;
    int width() const;
    int height() const;
    // Pictures sent so far, and a bounded wait until `count` have been.
    uint64_t picturesSent() const;
    bool waitForPictures(uint64_t count, double timeoutSeconds);

    // Still: the square stays and the pictures say nothing changed (damage of zero rectangles).
    void setStill(bool still);
    // The next picture goes out flagged SPA_META_HEADER_FLAG_CORRUPTED.
    void sendCorrupted();
    // Offers only this size from now on; the consumer's format follows.
    void resize(int width, int height);
    // Removes the node (the stream is destroyed); idempotent.
    void stop();

  private:
    // The PipeWire listeners and callbacks, in the source file.
    struct Hooks;
    friend struct Hooks;

    void draw(uint8_t* pixels, int stride, int width, int height, uint32_t squareRgb, bool corrupt) const;

    Options options_;
    std::string failure_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_source* timer_ = nullptr;
    std::unique_ptr<Hooks> hooks_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t nodeId_ = 0xffffffff;
    int width_ = 0, height_ = 0;  // of the agreed format
    int stride_ = 0;
    bool formatFresh_ = true;  // the next picture is the first of its format: damaged whole
    int squareX_ = 0, squareY_ = 0;
    int lastX_ = -1;  // where the square was in the last picture sent
    uint64_t sent_ = 0;
    bool still_ = false;
    bool corruptNext_ = false;
};

}  // namespace quill::testing
