#include "link/ControlProtocol.h"

#include <vector>

#include "link/Utf8Text.h"
#include "platform/foundation/SysLog.h"

namespace quill {

void ControlProtocol::write(const ControlPacket& plain, long tag) {
    delegate_.writeControlPacket(plain.scrambled(), tag);
}

// ---- Writing ----

void ControlProtocol::sendControlData(int protocol, int requestCode, const ControlPacket::Attach& attach) {
    write(ControlPacket::request(locaIpByte(), protocol, requestCode, attach), kControlRequestTag);
}

void ControlProtocol::sendResponse(int result, const ControlPacket& request,
                                   const ControlPacket::ResponseData& data) {
    write(ControlPacket::response(locaIpByte(), result, request, data), kControlResponseTag);
}

void ControlProtocol::sendOkResonseFor(const ControlPacket& request,
                                       const ControlPacket::ResponseData& data) {
    sendResponse(1, request, data);
}

void ControlProtocol::sendFailedResponseFor(const ControlPacket& request,
                                            const ControlPacket::ResponseData& data) {
    sendResponse(0, request, data);
}

void ControlProtocol::sendHeartBeatRequest() {
    sendControlData(kControlProtocolByte, kRequestHeartBeat);
}

void ControlProtocol::requestMirrorStart() {
    sysLog("requestMirrorStart");
    sendControlData(kControlProtocolByte, kRequestMirrorStart);
}

void ControlProtocol::requestMirrorStop() {
    sysLog("requestMirrorStop");
    sendControlData(kControlProtocolByte, kRequestMirrorStop);
}

void ControlProtocol::requestGetReceiverStatus() {
    ControlPacket::Attach attach{};
    attach[0] = 1;
    sendControlData(kControlProtocolByte, kRequestGetReceiverStatus, attach);
}

void ControlProtocol::requestReceiverVersion() {
    sendControlData(kControlProtocolByte, kRequestReceiverVersion);
}

void ControlProtocol::requestGetReceiverVersion() {
    requestReceiverVersion();
}

void ControlProtocol::setSenderName(const std::string& name) {
    sysLog("setSenderName==%s", name.c_str());
    const std::vector<char32_t> cps = utf8::decode(name);
    constexpr size_t kMaxUnits = 11;
    constexpr size_t kMaxBytes = ControlPacket::Attach{}.size();
    size_t pos = 0;
    bool first = true;
    while (pos < cps.size()) {
        // Whole characters up to 11 UTF-16 units; a pair of surrogates is never cut.
        size_t end = pos;
        size_t units = 0;
        size_t bytes = 0;
        while (end < cps.size() && units + utf8::utf16Length(cps[end]) <= kMaxUnits) {
            units += utf8::utf16Length(cps[end]);
            bytes += utf8::utf8Length(cps[end]);
            ++end;
        }
        // Then shorter until the UTF-8 form fits the attach. One character always fits (at most 4 bytes).
        while (bytes > kMaxBytes) {
            --end;
            bytes -= utf8::utf8Length(cps[end]);
        }
        std::string chunk;
        for (size_t i = pos; i < end; ++i)
            utf8::append(chunk, cps[i]);
        ControlPacket::Attach attach{};
        for (size_t i = 0; i < chunk.size(); ++i)
            attach[i] = static_cast<uint8_t>(chunk[i]);
        sendControlData(kControlProtocolByte, first ? kRequestSenderNameFirst : kRequestSenderNameNext,
                        attach);
        first = false;
        pos = end;
    }
}

void ControlProtocol::requestSyncClientType() {
    ControlPacket::Attach attach{};
    attach[0] = 3;
    attach[1] = 5;
    sendControlData(kControlProtocolByte, kRequestSyncClientType, attach);
}

void ControlProtocol::requestGetAuthentication() {
    sendControlData(kControlProtocolByte, kRequestGetAuthentication);
}

void ControlProtocol::requestMouseAlone(bool alone) {
    ControlPacket::Attach attach{};
    attach[0] = alone ? 1 : 0;
    sendControlData(kControlProtocolByte, kRequestMouseAlone, attach);
}

void ControlProtocol::requestMouseEvent(const MouseEvent& event) {
    ControlPacket::Attach attach{};
    attach[0] = event.type;
    attach[1] = event.action;
    attach[2] = static_cast<uint8_t>((event.x >> 8) & 0xFF);
    attach[3] = static_cast<uint8_t>(event.x & 0xFF);
    attach[4] = static_cast<uint8_t>((event.y >> 8) & 0xFF);
    attach[5] = static_cast<uint8_t>(event.y & 0xFF);
    sendControlData(kControlProtocolByte, kRequestMouseEvent, attach);
}

bool ControlProtocol::requestAuthenPinCode(const std::string& pin) {
    ControlPacket::Attach attach{};
    if (pin.size() > attach.size() - 1) {
        sysLog("requestAuthenPinCode: pin of %zu bytes does not fit, not sent", pin.size());
        return false;
    }
    attach[0] = static_cast<uint8_t>(pin.size());
    for (size_t i = 0; i < pin.size(); ++i)
        attach[1 + i] = static_cast<uint8_t>(pin[i]);
    sendControlData(kControlProtocolByte, kRequestAuthenPinCode, attach);
    return true;
}

// ---- Receiving ----

void ControlProtocol::handleControlData(std::span<const uint8_t, kControlPacketSize> scrambled) {
    ControlPacket packet(scrambled);
    packet.encode();
    handleControlPacket(packet);
}

void ControlProtocol::handleControlPacket(const ControlPacket& packet) {
    switch (packet.kind()) {
        case kControlKindRequest:
            handleControlRequest(packet);
            break;
        case kControlKindResponse:
            handleControlResponse(packet);
            break;
        case kControlKindCallback:
            handleControlCallback(packet);
            break;
        default:
            break;
    }
}

void ControlProtocol::handleControlRequest(const ControlPacket& packet) {
    switch (packet.code()) {
        case kRequestHeartBeat:
            sendOkResonseFor(packet);
            break;
        case kRequestMirrorStart:
            delegate_.onServerRequestMirrorOn();
            break;
        case kRequestMirrorStop:
            delegate_.onServerRequestMirrorOff();
            break;
        case kRequestKeyFrame:
            delegate_.onServerRequestKeyFrame();
            break;
        case kRequestUpdateFrameRate:
            delegate_.onServerRequsstUpdateFrameRate(packet[4]);
            break;
        default:
            break;
    }
}

void ControlProtocol::handleControlResponse(const ControlPacket& packet) {
    sysLog("handleControlResponse");
    switch (packet[6]) {
        case kRequestMirrorStart:
            handleResponseMirrorStart(packet);
            break;
        case kRequestMirrorStop:
            handleResponseMirrorStop(packet);
            break;
        case kRequestGetReceiverStatus:
            handleResponseGetReceiverStatus(packet);
            break;
        case kRequestReceiverVersion:
            handleResponseGetReceiverVersion(packet);
            break;
        case kRequestGetAuthentication:
            handleResponseGetAuthenticateType(packet);
            break;
        case kRequestAuthenticate:
            handleResponseAuthenticate(packet);
            break;
        default:
            break;
    }
}

void ControlProtocol::handleControlCallback(const ControlPacket& packet) {
    sysLog("handleControlCallback:%d", packet.code());
    switch (packet.code()) {
        case kCallbackSetDeviceStatus:
            sysLog("COMMAND_SET_DEVICE_STATUS");
            delegate_.onServerRequestDeviceStatus(packet[5]);
            break;
        case kCallbackSetKeyStatus:
            sysLog("COMMAND_SET_KEY_STATUS");
            delegate_.onServerRequestKeyStatus();
            break;
        default:
            break;
    }
}

void ControlProtocol::handleResponseMirrorStart(const ControlPacket& packet) {
    if (packet.code() == 1) {
        delegate_.onRequestMirrorStartSuccess();
    } else {
        requestGetReceiverStatus();
    }
}

void ControlProtocol::handleResponseMirrorStop(const ControlPacket&) {
    delegate_.onRequestMirrorStopSuccess();
}

void ControlProtocol::handleResponseGetReceiverStatus(const ControlPacket& packet) {
    switch (packet[10]) {
        case 0:
            requestMirrorStart();
            break;
        case 1:
            // The receiver already shows a sender; when it is this one, mirroring is on.
            if (packet[11] == locaIpByte()) {
                delegate_.onRequestMirrorStartSuccess();
            } else {
                requestMirrorStart();
            }
            break;
        case 2:
            delegate_.onRequestMirrorStartFailed(-1);
            break;
        case 3:
            delegate_.onRequestMirrorStartFailed(-2);
            break;
        default:
            break;
    }
}

void ControlProtocol::handleResponseGetReceiverVersion(const ControlPacket& packet) {
    if (packet.code() != 1) return;
    size_t len = 0;
    while (len < 8 && packet[8 + len] != 0)
        ++len;
    const std::string raw(reinterpret_cast<const char*>(packet.bytes.data() + 8), len);
    delegate_.onServerResponseVersion(utf8::sanitize(raw));
}

void ControlProtocol::handleResponseGetAuthenticateType(const ControlPacket& packet) {
    if (packet.code() == 1 && packet[8] == 1) delegate_.onServerResponseAuthenticateType();
}

}  // namespace quill
