// Bytes as the receiver sends them on the control connection, delivered in reads of the fuzzer's choosing
// to the link's reassembly and so to the control protocol's dispatch. Nothing may crash, hang or grow, and
// every whole 16-byte packet is dispatched once, in order, whatever the reads: the link's delegate hears
// exactly what the protocol does with the same bytes cut at every 16th byte. A last read completes the
// partial packet the link holds and adds a marker packet, so a byte held too many or too few shows too.
//
// Input: reads, each a length byte followed by that many bytes (fewer at the end of the input).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "link/NetStream.h"

namespace {

using quill::ControlPacket;
using quill::kControlPacketSize;
using Events = std::vector<std::string>;

// The delegate calls of the link, or of the protocol alone, written down the same way. The protocol's
// writes (its answers to the receiver) are no delegate calls of the link, so they are not recorded.
class Recorder : public quill::NetStreamDelegate, public quill::ControlProtocolDelegate {
  public:
    Events events;

    void onConnectSuccess() override { add("onConnectSuccess"); }
    void onConnectFailed() override { add("onConnectFailed"); }
    void onServerTimeout() override { add("onServerTimeout"); }
    void writeControlPacket(const ControlPacket&, long) override {}
    void onRequestMirrorStartSuccess() override { add("onRequestMirrorStartSuccess"); }
    void onRequestMirrorStartFailed(int code) override { add("onRequestMirrorStartFailed", code); }
    void onRequestMirrorStopSuccess() override { add("onRequestMirrorStopSuccess"); }
    void onServerRequestMirrorOn() override { add("onServerRequestMirrorOn"); }
    void onServerRequestMirrorOff() override { add("onServerRequestMirrorOff"); }
    void onServerRequsstUpdateFrameRate(int rate) override { add("onServerRequsstUpdateFrameRate", rate); }
    void onServerRequestKeyFrame() override { add("onServerRequestKeyFrame"); }
    void onServerRequestKeyStatus() override { add("onServerRequestKeyStatus"); }
    void onServerRequestDeviceStatus(int status) override { add("onServerRequestDeviceStatus", status); }
    void onServerResponseAuthenticateType() override { add("onServerResponseAuthenticateType"); }
    void onServerResponseVersion(const std::string& version) override {
        events.push_back("onServerResponseVersion:" + version);
    }

  private:
    void add(const char* name) { events.emplace_back(name); }
    void add(const char* name, int arg) { events.push_back(name + (":" + std::to_string(arg))); }
};

// A device-status callback with a status no fuzzer read is needed to make, scrambled as on the wire.
quill::Bytes marker() {
    ControlPacket p;
    p.bytes[1] = quill::kControlProtocolByte;
    p.bytes[2] = quill::kControlKindCallback;
    p.bytes[3] = quill::kCallbackSetDeviceStatus;
    p.bytes[5] = 0xA5;
    p.encode();
    return quill::Bytes(p.bytes.begin(), p.bytes.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quill::fuzz::silenceLog();

    auto recorder = std::make_shared<Recorder>();
    auto link = quill::NetStream::create();
    link->setDelegate(recorder);

    quill::Bytes stream;  // every byte the link was given, in order
    size_t pos = 0;
    while (pos < size) {
        const size_t length = std::min<size_t>(data[pos], size - pos - 1);
        quill::Bytes read(data + pos + 1, data + pos + 1 + length);
        pos += 1 + length;
        stream.insert(stream.end(), read.begin(), read.end());
        link->onReceiveControlData(read);
    }
    quill::Bytes last((kControlPacketSize - stream.size() % kControlPacketSize) % kControlPacketSize, 0);
    const quill::Bytes end = marker();
    last.insert(last.end(), end.begin(), end.end());
    link->onReceiveControlData(last);
    stream.insert(stream.end(), last.begin(), last.end());

    Recorder expected;
    quill::ControlProtocol protocol(expected);
    for (size_t at = 0; at + kControlPacketSize <= stream.size(); at += kControlPacketSize)
        protocol.handleControlData(
            std::span<const uint8_t, kControlPacketSize>(stream.data() + at, kControlPacketSize));

    if (recorder->events != expected.events) std::abort();
    if (recorder->events.empty() || recorder->events.back() != "onServerRequestDeviceStatus:165")
        std::abort();
    return 0;
}
