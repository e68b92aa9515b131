#pragma once
// The sender's link to one receiver: four TCP connections (control, video, audio, touch), the 16-byte
// control protocol on the control connection with a heartbeat that also watches for a silent receiver,
// and the writing of media packets with at most ten writes in flight per media connection.
//
// Threads: socket callbacks arrive on the global high-priority queue, which is concurrent, so callbacks of
// the four sockets may run at the same time; the heartbeat runs on a thread of its own per connection;
// media writes come from the session's send thread. All shared state is guarded by one mutex, and no lock
// is held while the delegate is called. Delegate calls therefore arrive on the socket callback queue or on
// the heartbeat thread, never on the caller's thread inside connect() or disconnect().
//
// Every connect() opens four fresh sockets with fresh write credits and a fresh reassembly buffer, so
// nothing of an earlier connection (late callbacks, credits lost with dropped writes, a partial control
// packet) reaches a later one; control bytes of a connection that disconnect() closed are not dispatched.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/ControlPacket.h"
#include "link/ControlProtocol.h"
#include "link/MouseEvent.h"
#include "net/TcpSocket.h"
#include "platform/foundation/Bytes.h"

namespace quill {

// Write tags of the media connections (control writes use kControlRequestTag and kControlResponseTag).
inline constexpr long kVideoDataTag = 3;
inline constexpr long kAudioDataTag = 4;

// What the link reports, implemented by the session controller. Calls arrive on the socket callback queue
// or the heartbeat thread.
class NetStreamDelegate {
  public:
    virtual ~NetStreamDelegate() = default;

    // The control connection is up; the heartbeat runs.
    virtual void onConnectSuccess() = 0;
    // The link failed: the control connection could not be made or was lost with an error, or the
    // receiver stayed silent too long. Sent at most once per connect().
    virtual void onConnectFailed() = 0;
    // Part of the protocol; the link never sends it.
    virtual void onServerTimeout() = 0;
    virtual void onRequestMirrorStartSuccess() = 0;
    // -1: the receiver is busy with another sender; -2: it refuses (status 2 and 3 of a status answer).
    virtual void onRequestMirrorStartFailed(int code) = 0;
    virtual void onRequestMirrorStopSuccess() = 0;
    virtual void onServerRequestMirrorOn() = 0;
    virtual void onServerRequestMirrorOff() = 0;
    virtual void onServerRequsstUpdateFrameRate(int frameRate) = 0;
    virtual void onServerRequestKeyFrame() = 0;
    virtual void onServerRequestKeyStatus() = 0;
    virtual void onServerRequestDeviceStatus(int status) = 0;
    virtual void onServerResponseAuthenticateType() = 0;
    virtual void onServerResponseVersion(const std::string& version) = 0;
};

class NetStream : public std::enable_shared_from_this<NetStream>,
                  private net::TcpSocketDelegate,
                  private ControlProtocolDelegate {
  public:
    struct Options {
        uint16_t controlPort = 11102;
        uint16_t videoPort = 11104;
        uint16_t audioPort = 11103;
        uint16_t touchPort = 11101;
        // Seconds between two heartbeat requests.
        double heartbeatPeriod = 0.3;
        // Seconds without any byte from the receiver on the control connection after which the link
        // reports a failure (checked after every heartbeat).
        double silenceLimit = 5.001;
        // Connect time-out of each of the four connections, seconds.
        double connectTimeout = 2.0;
        // How long a media write waits for a write credit before its packet is dropped, seconds.
        double videoCreditWait = 3.0;
        double audioCreditWait = 10.0;
    };

    // Seconds a media write may take before the link is asked whether to extend it, and the extension.
    static constexpr double kMediaWriteTimeout = 5.0;
    static constexpr double kWriteTimeoutExtension = 10.0;
    // Write credits per media connection.
    static constexpr int64_t kMediaCredits = 10;

    static std::shared_ptr<NetStream> create();
    static std::shared_ptr<NetStream> create(Options options);
    ~NetStream() override;
    NetStream(const NetStream&) = delete;
    NetStream& operator=(const NetStream&) = delete;

    const Options& options() const { return options_; }

    // Opens the four connections to the receiver's address, in the order control, video, audio, touch.
    // Does nothing but log while a connection is already under way or up (until disconnect(), or until
    // the control connection is lost with an error). The outcome arrives as onConnectSuccess or
    // onConnectFailed; a control connect that fails at once (an empty or bad host) is reported too.
    void connect(const std::string& host);
    // Stops the heartbeat and closes all four connections, whatever state the link is in. No failure is
    // reported for this connection afterwards. A media write waiting for a credit gives up at once.
    void disconnect();
    // Set from connect() until disconnect() or the loss of the control connection with an error.
    bool isConnected() const;

    // Byte 0 of every control packet written: the last octet of this computer's address; 1 until set.
    uint8_t locaIpByte() const { return protocol_.locaIpByte(); }
    void setLocaIpByte(uint8_t b) { protocol_.setLocaIpByte(b); }

    // The delegate is held weakly.
    std::shared_ptr<NetStreamDelegate> delegate() const;
    void setDelegate(std::weak_ptr<NetStreamDelegate> delegate);

    // ---- Control requests (written on the control connection; dropped when there is none) ----
    void sendControlData(int protocol, int requestCode, const ControlPacket::Attach& attach = {}) {
        protocol_.sendControlData(protocol, requestCode, attach);
    }
    void sendResponse(int result, const ControlPacket& request,
                      const ControlPacket::ResponseData& data = {}) {
        protocol_.sendResponse(result, request, data);
    }
    void sendOkResonseFor(const ControlPacket& request, const ControlPacket::ResponseData& data = {}) {
        protocol_.sendOkResonseFor(request, data);
    }
    void sendFailedResponseFor(const ControlPacket& request, const ControlPacket::ResponseData& data = {}) {
        protocol_.sendFailedResponseFor(request, data);
    }
    void requestMirrorStart() { protocol_.requestMirrorStart(); }
    void requestMirrorStop() { protocol_.requestMirrorStop(); }
    void requestGetReceiverStatus() { protocol_.requestGetReceiverStatus(); }
    void requestReceiverVersion() { protocol_.requestReceiverVersion(); }
    void requestGetReceiverVersion() { protocol_.requestGetReceiverVersion(); }
    void setSenderName(const std::string& name) { protocol_.setSenderName(name); }
    void requestSyncClientType() { protocol_.requestSyncClientType(); }
    void requestGetAuthentication() { protocol_.requestGetAuthentication(); }
    void requestMouseAlone(bool alone) { protocol_.requestMouseAlone(alone); }
    void requestMouseEvent(const MouseEvent& event) { protocol_.requestMouseEvent(event); }
    // False (and nothing sent) for a pin longer than 11 bytes.
    bool requestAuthenPinCode(const std::string& pin) { return protocol_.requestAuthenPinCode(pin); }
    // Requests the link offers that send nothing.
    void requestAuthenticate(const std::string& s) { protocol_.requestAuthenticate(s); }
    void requestSyncClientCode() { protocol_.requestSyncClientCode(); }
    void setTouchMode(int mode) { protocol_.setTouchMode(mode); }
    void requestGetRotationDegree() { protocol_.requestGetRotationDegree(); }
    void setTouchScreenEnabled(bool enabled) { protocol_.setTouchScreenEnabled(enabled); }
    void requestSyncClientVersion(const std::string& v) { protocol_.requestSyncClientVersion(v); }
    void requestGetReceiverName() { protocol_.requestGetReceiverName(); }
    void onVideoSocketCOnnected() {}

    // ---- Media (from the session's send thread) ----
    // Writes the wire bytes of one video or audio packet (copied before returning) once a write credit is
    // free; waits for one up to videoCreditWait / audioCreditWait seconds and otherwise drops the packet
    // with its log line. The wait ends at once, dropping the packet, when the link is disconnected or
    // when `cancel` (the caller's stop switch) is set. True when the packet was queued for writing. Empty
    // data and calls without a connection are dropped at once without taking a credit.
    bool sendVideoData(const uint8_t* data, size_t length, const std::atomic<bool>* cancel = nullptr);
    bool sendVideoData(std::span<const uint8_t> wire, const std::atomic<bool>* cancel = nullptr) {
        return sendVideoData(wire.data(), wire.size(), cancel);
    }
    bool sendAudioData(const uint8_t* data, size_t length, const std::atomic<bool>* cancel = nullptr);
    bool sendAudioData(std::span<const uint8_t> wire, const std::atomic<bool>* cancel = nullptr) {
        return sendAudioData(wire.data(), wire.size(), cancel);
    }

    // ---- Receiving ----
    // Reassembles bytes read from the control connection into 16-byte packets, carrying a partial packet
    // over to the next call, and dispatches every complete one in order. The bytes belong to the current
    // connection and are dropped once disconnect() has closed it; on a link that never connected they go
    // through a buffer of the link's own. Public so that the reassembly can be driven alone; the control
    // socket's reads take the same path for their own connection.
    void onReceiveControlData(const Bytes& data);

  private:
    enum class Role : int { Control, Video, Audio, Touch };
    struct Heartbeat;
    struct Connection;
    // A partial control packet carried from one read to the next.
    struct Reassembly {
        std::array<uint8_t, kControlPacketSize> buf{};
        size_t len = 0;
        // Appends data, moving every packet it completes to `packets`.
        void feed(const Bytes& data, std::vector<std::array<uint8_t, kControlPacketSize>>& packets);
    };
    struct SocketTag {
        Role role;
        std::weak_ptr<Connection> connection;
    };

    explicit NetStream(Options options);

    // TcpSocketDelegate
    void socketDidConnectToHost(net::TcpSocket& sock, const std::string& host, uint16_t port) override;
    void socketDidReadData(net::TcpSocket& sock, const Bytes& data, long tag) override;
    void socketDidWriteDataWithTag(net::TcpSocket& sock, long tag) override;
    void socketDidWritePartialDataOfLength(net::TcpSocket& sock, size_t partialLength, long tag) override;
    double socketShouldTimeoutWriteWithTag(net::TcpSocket& sock, long tag, double elapsed,
                                           size_t bytesDone) override;
    void socketDidDisconnect(net::TcpSocket* sock, const std::optional<Error>& err) override;

    // ControlProtocolDelegate: writes go to the current control socket, the rest to our delegate.
    void writeControlPacket(const ControlPacket& scrambled, long tag) override;
    void onServerRequestMirrorOn() override;
    void onServerRequestMirrorOff() override;
    void onServerRequestKeyFrame() override;
    void onServerRequsstUpdateFrameRate(int frameRate) override;
    void onRequestMirrorStartSuccess() override;
    void onRequestMirrorStartFailed(int code) override;
    void onRequestMirrorStopSuccess() override;
    void onServerResponseVersion(const std::string& version) override;
    void onServerResponseAuthenticateType() override;
    void onServerRequestDeviceStatus(int status) override;
    void onServerRequestKeyStatus() override;

    // The connection a socket belongs to when it is the current one, else null.
    std::shared_ptr<Connection> currentConnectionOf(const net::TcpSocket& sock, Role* role) const;
    void onControlSocketConnected(const std::shared_ptr<Connection>& conn, net::TcpSocket& sock);
    // False when the connection already has one or is no longer current.
    bool startPingThread(const std::shared_ptr<Connection>& conn);
    static void stopPingThread(const std::shared_ptr<Heartbeat>& heartbeat);
    static void sendHeartBeat(std::weak_ptr<NetStream> weakSelf, std::shared_ptr<Connection> conn,
                              std::shared_ptr<Heartbeat> heartbeat);
    // Reports onConnectFailed for conn unless it is no longer current, was closed, or already reported.
    void reportFailure(const std::shared_ptr<Connection>& conn);
    // Runs f with the delegate, if there is one, without holding any lock.
    template <class F>
    void withDelegate(F&& f);
    bool sendMediaData(const uint8_t* data, size_t length, Role role, const std::atomic<bool>* cancel);
    // Reassembles and dispatches bytes read on conn's control connection (null: the link's own buffer),
    // while conn is the current connection and not closed.
    void receiveControlData(const std::shared_ptr<Connection>& conn, const Bytes& data);
    // Under mutex_.
    bool isLive(const std::shared_ptr<Connection>& conn) const;

    const Options options_;
    ControlProtocol protocol_;

    // Serialises connect() and disconnect() as wholes, so their socket calls never interleave. Taken
    // before mutex_, never while a delegate runs.
    std::mutex opMutex_;
    mutable std::mutex mutex_;
    std::weak_ptr<NetStreamDelegate> delegate_;
    std::shared_ptr<Connection> conn_;  // the latest connection, kept after disconnect() until the next
    bool connected_ = false;
    uint64_t nextConnectionId_ = 1;
    // Bytes handed to onReceiveControlData() before any connection existed.
    Reassembly unconnectedReassembly_;
    // Every heartbeat thread started and not yet joined.
    std::vector<std::shared_ptr<Heartbeat>> heartbeats_;
};

}  // namespace quill
