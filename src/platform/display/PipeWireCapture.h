#pragma once
// A video stream of one PipeWire node, read on a PipeWire thread loop of its own: in a Wayland session,
// the screen that the desktop's screen-cast portal granted. It knows nothing of the portal or of D-Bus:
// it is handed the fd of a PipeWire remote and the node to read. It accepts the formats desktops send
// (BGRx, BGRA, RGBx, RGBA) in shared memory (MemFd and MemPtr buffers), keeps only the newest picture,
// and converts that one to the reader's NV12 pictures when asked, scaled to their size. The damage a
// producer reports (SPA_META_VideoDamage) decides whether a picture changed at all, so a still screen
// costs no conversion; corrupted and empty buffers are skipped. A change of the picture size mid-stream
// is followed: the reader's pictures keep their size.
//
// Threads: open() and close() run on the caller's thread, never on the PipeWire thread. The ended
// handler runs on the PipeWire thread and should only hand the news on. The source made by makeSource()
// is used by one capture thread, with wake() from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/display/CaptureStream.h"
#include "platform/foundation/Error.h"

namespace quill::platform::display {

class PipeWireCapture {
  public:
    // Why the stream ended without close(): the node went away, the producer stopped streaming, or the
    // connection to PipeWire broke. Called at most once.
    using EndedHandler = std::function<void(const std::string& reason)>;

    // Connects a stream to node on the PipeWire remote fd, which is taken over: close() closes it, and so
    // does a failed open(). Null (with error) when the loop or the connection cannot be made.
    static std::shared_ptr<PipeWireCapture> open(int fd, uint32_t node, EndedHandler ended,
                                                 Error* error = nullptr);
    virtual ~PipeWireCapture() = default;

    // Waits at most timeoutSeconds for the producer's format; false when none was agreed by then or the
    // stream ended.
    virtual bool waitForFormat(double timeoutSeconds) = 0;
    // The size of the producer's pictures; 0 x 0 before a format is agreed.
    virtual int width() const = 0;
    virtual int height() const = 0;
    // Whether the stream ended (see EndedHandler) or was closed.
    virtual bool ended() const = 0;

    // A capture source over this stream for a CaptureStream: waitForChange() returns when a picture with
    // a change arrived, grab() converts the newest picture into the stream's NV12 picture (Blank while
    // there is none). Its close() runs onClose and then closes this capture. One source per capture.
    virtual std::unique_ptr<CaptureSource> makeSource(std::function<void()> onClose = {}) = 0;

    // Disconnects the stream, stops and joins the PipeWire thread and closes the fd. Idempotent; no
    // ended handler runs after it returns.
    virtual void close() = 0;
};

}  // namespace quill::platform::display
