#pragma once
// What this sender says on the receiver's control connection and what it does with what it hears. The
// object is pure logic: it builds and scrambles the packets it sends and hands them to its delegate for
// writing, and it turns every received packet into a delegate call (or an answer of its own). The
// receiver link owns one and implements the delegate; tests drive it without sockets.

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "link/ControlPacket.h"
#include "link/MouseEvent.h"

namespace quill {

// Write tags and the write time-out of the control connection.
inline constexpr long kControlRequestTag = 1;
inline constexpr long kControlResponseTag = 2;
inline constexpr double kControlWriteTimeout = 3.0;

// Request codes this sender writes or understands.
enum ControlRequestCode : uint8_t {
    kRequestHeartBeat = 0,
    kRequestMirrorStart = 1,
    kRequestMirrorStop = 2,
    kRequestGetReceiverStatus = 9,
    kRequestReceiverVersion = 14,
    kRequestSenderNameFirst = 15,
    kRequestSenderNameNext = 16,
    kRequestSyncClientType = 20,
    kRequestKeyFrame = 24,
    kRequestGetAuthentication = 25,
    kRequestAuthenticate = 26,
    kRequestMouseAlone = 33,
    kRequestMouseEvent = 34,
    kRequestAuthenPinCode = 35,
    kRequestUpdateFrameRate = 38,
};

// Callback codes the receiver sends (kind 3).
enum ControlCallbackCode : uint8_t {
    kCallbackSetDeviceStatus = 128,
    kCallbackSetKeyStatus = 129,
};

class ControlProtocolDelegate {
  public:
    virtual ~ControlProtocolDelegate() = default;

    // Writes one finished (already scrambled) packet on the control connection with the given tag
    // (kControlRequestTag or kControlResponseTag) and kControlWriteTimeout. May be called from any thread.
    virtual void writeControlPacket(const ControlPacket& scrambled, long tag) = 0;

    // What received packets lead to.
    virtual void onServerRequestMirrorOn() = 0;
    virtual void onServerRequestMirrorOff() = 0;
    virtual void onServerRequestKeyFrame() = 0;
    virtual void onServerRequsstUpdateFrameRate(int frameRate) = 0;
    virtual void onRequestMirrorStartSuccess() = 0;
    virtual void onRequestMirrorStartFailed(int code) = 0;
    virtual void onRequestMirrorStopSuccess() = 0;
    virtual void onServerResponseVersion(const std::string& version) = 0;
    virtual void onServerResponseAuthenticateType() = 0;
    virtual void onServerRequestDeviceStatus(int status) = 0;
    virtual void onServerRequestKeyStatus() = 0;
};

class ControlProtocol {
  public:
    // The delegate must outlive this object (the receiver link owns both).
    explicit ControlProtocol(ControlProtocolDelegate& delegate) : delegate_(delegate) {}
    ControlProtocol(const ControlProtocol&) = delete;
    ControlProtocol& operator=(const ControlProtocol&) = delete;

    // Byte 0 of every packet written: the last octet of this computer's address; 1 until set.
    uint8_t locaIpByte() const { return locaIpByte_.load(std::memory_order_relaxed); }
    void setLocaIpByte(uint8_t b) { locaIpByte_.store(b, std::memory_order_relaxed); }

    // ---- Writing ----
    void sendControlData(int protocol, int requestCode, const ControlPacket::Attach& attach = {});
    void sendResponse(int result, const ControlPacket& request, const ControlPacket::ResponseData& data = {});
    void sendOkResonseFor(const ControlPacket& request, const ControlPacket::ResponseData& data = {});
    void sendFailedResponseFor(const ControlPacket& request, const ControlPacket::ResponseData& data = {});

    void sendHeartBeatRequest();  // request 0, written by the heartbeat loop every 300 ms
    void requestMirrorStart();
    void requestMirrorStop();
    void requestGetReceiverStatus();
    void requestReceiverVersion();
    void requestGetReceiverVersion();
    // Sends the name in pieces of at most 11 UTF-16 units and 12 UTF-8 bytes, never splitting a
    // character: code 15 for the first piece, 16 for the others. An empty name sends nothing.
    void setSenderName(const std::string& name);
    void requestSyncClientType();
    void requestGetAuthentication();
    void requestMouseAlone(bool alone);
    void requestMouseEvent(const MouseEvent& event);
    // Attach: the pin's length, then its bytes. A pin that does not fit (more than 11 bytes) is not sent;
    // the call logs and returns false.
    bool requestAuthenPinCode(const std::string& pin);

    // Requests the receiver link offers and that send nothing.
    void requestAuthenticate(const std::string&) {}
    void requestSyncClientCode() {}
    void setTouchMode(int) {}
    void requestGetRotationDegree() {}
    void setTouchScreenEnabled(bool) {}
    void requestSyncClientVersion(const std::string&) {}
    void requestGetReceiverName() {}

    // ---- Receiving ----
    // Unscrambles one packet as read from the connection and dispatches it.
    void handleControlData(std::span<const uint8_t, kControlPacketSize> scrambled);
    // Dispatches an unscrambled packet by its kind; unknown kinds are dropped.
    void handleControlPacket(const ControlPacket& packet);

    void handleControlRequest(const ControlPacket& packet);
    void handleControlResponse(const ControlPacket& packet);
    void handleControlCallback(const ControlPacket& packet);

    void handleResponseMirrorStart(const ControlPacket& packet);
    void handleResponseMirrorStop(const ControlPacket& packet);
    void handleResponseGetReceiverStatus(const ControlPacket& packet);
    void handleResponseGetReceiverVersion(const ControlPacket& packet);
    void handleResponseGetAuthenticateType(const ControlPacket& packet);
    void handleResponseAuthenticate(const ControlPacket&) {}

  private:
    void write(const ControlPacket& plain, long tag);

    ControlProtocolDelegate& delegate_;
    std::atomic<uint8_t> locaIpByte_{1};
};

}  // namespace quill
