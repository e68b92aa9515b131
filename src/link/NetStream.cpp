#include "link/NetStream.h"

#include <algorithm>
#include <condition_variable>
#include <thread>
#include <utility>

#include "media/NoDataQueue.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/SysLog.h"
#include "platform/foundation/ThreadName.h"

namespace quill {

namespace dispatch = platform::dispatch;
using net::TcpSocket;

// The silence watch reads the steady clock, so that it does not jump with the wall clock.
using platform::foundation::durationFromSeconds;
using platform::foundation::steadyMilliseconds;

// The heartbeat thread of one connection and its stop switch.
struct NetStream::Heartbeat {
    std::mutex mutex;
    std::condition_variable cv;
    bool running = true;
    std::atomic<bool> finished{false};
    std::thread thread;
};

// One connect(): its four sockets, their write credits and what happened to it.
struct NetStream::Connection {
    uint64_t id = 0;
    std::shared_ptr<TcpSocket> sockets[4];
    std::shared_ptr<NoDataQueue> videoCredits = NoDataQueue::create(kMediaCredits);
    std::shared_ptr<NoDataQueue> audioCredits = NoDataQueue::create(kMediaCredits);
    // Guarded by the link's mutex.
    bool closed = false;           // disconnect() was called for it
    bool failureReported = false;  // onConnectFailed was sent for it
    std::shared_ptr<Heartbeat> heartbeat;
    Reassembly reassembly;
    // When bytes last arrived on its control connection (monotonic milliseconds).
    std::atomic<int64_t> lastTimeReceiverActive{0};

    TcpSocket& socket(Role r) const { return *sockets[int(r)]; }
};

std::shared_ptr<NetStream> NetStream::create() {
    return create(Options{});
}

std::shared_ptr<NetStream> NetStream::create(Options options) {
    return std::shared_ptr<NetStream>(new NetStream(std::move(options)));
}

NetStream::NetStream(Options options) : options_(std::move(options)), protocol_(*this) {}

NetStream::~NetStream() {
    std::shared_ptr<Connection> conn;
    std::vector<std::shared_ptr<Heartbeat>> heartbeats;
    {
        std::lock_guard lock(mutex_);
        conn = std::move(conn_);
        heartbeats.swap(heartbeats_);
        if (conn) conn->closed = true;
    }
    if (conn) {
        conn->videoCredits->stopBlocking();
        conn->audioCredits->stopBlocking();
        for (auto& s : conn->sockets)
            s->disconnect();
    }
    for (auto& hb : heartbeats) {
        stopPingThread(hb);
        // The last reference can be dropped by the heartbeat thread itself; it touches nothing of this
        // object after that, so it is let go instead of joined.
        if (hb->thread.get_id() == std::this_thread::get_id()) {
            hb->thread.detach();
        } else if (hb->thread.joinable()) {
            hb->thread.join();
        }
    }
}

// ---- Delegate ----

std::shared_ptr<NetStreamDelegate> NetStream::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void NetStream::setDelegate(std::weak_ptr<NetStreamDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

template <class F>
void NetStream::withDelegate(F&& f) {
    if (auto d = delegate()) f(*d);
}

bool NetStream::isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

// ---- Connecting and disconnecting ----

void NetStream::connect(const std::string& host) {
    std::lock_guard op(opMutex_);
    sysLog("receiver addr = %s, last byte=%d", host.c_str(), int(locaIpByte()));

    // The sockets are made before the connection is published, so that whoever finds it finds it whole.
    auto self = shared_from_this();
    std::weak_ptr<net::TcpSocketDelegate> asDelegate =
        std::shared_ptr<net::TcpSocketDelegate>(self, static_cast<net::TcpSocketDelegate*>(self.get()));
    auto queue = dispatch::Queue::global(dispatch::Priority::High);
    const uint16_t ports[4] = {options_.controlPort, options_.videoPort, options_.audioPort,
                               options_.touchPort};
    auto conn = std::make_shared<Connection>();
    for (int i = 0; i < 4; ++i) {
        conn->sockets[i] = TcpSocket::create(asDelegate, queue);
        conn->sockets[i]->setUserData(std::make_shared<SocketTag>(SocketTag{Role(i), conn}));
    }

    std::shared_ptr<Connection> previous;
    std::shared_ptr<Heartbeat> previousHeartbeat;
    {
        std::lock_guard lock(mutex_);
        if (connected_) return;
        conn->id = nextConnectionId_++;
        previous = conn_;
        if (previous) {
            previous->closed = true;
            previousHeartbeat = previous->heartbeat;
        }
        conn_ = conn;
        connected_ = true;
    }
    // A connection that failed is still open in part (media sockets, the heartbeat after a silence): it
    // goes before the new one starts.
    if (previous) {
        if (previousHeartbeat) stopPingThread(previousHeartbeat);
        previous->videoCredits->stopBlocking();
        previous->audioCredits->stopBlocking();
        for (auto& s : previous->sockets)
            s->disconnect();
    }

    for (int i = 0; i < 4; ++i) {
        Error error;
        if (conn->sockets[i]->connectToHost(host, ports[i], options_.connectTimeout, &error)) continue;
        sysLog("connectToHost %s:%u failed: %s", host.c_str(), unsigned(ports[i]),
               error.description().c_str());
        if (Role(i) == Role::Control) {
            // Nothing will ever arrive from this socket: report the failure like any other, on the socket
            // callback queue and never inside this call.
            {
                std::lock_guard lock(mutex_);
                if (conn_ == conn) connected_ = false;
            }
            std::weak_ptr<NetStream> weak = self;
            queue->async([weak, conn] {
                if (auto s = weak.lock()) s->reportFailure(conn);
            });
        }
    }
}

void NetStream::disconnect() {
    std::lock_guard op(opMutex_);
    std::shared_ptr<Connection> conn;
    std::shared_ptr<Heartbeat> hb;
    {
        std::lock_guard lock(mutex_);
        connected_ = false;
        conn = conn_;
        if (!conn) return;
        conn->closed = true;
        hb = conn->heartbeat;
    }
    if (hb) stopPingThread(hb);
    conn->videoCredits->stopBlocking();
    conn->audioCredits->stopBlocking();
    for (Role r : {Role::Control, Role::Video, Role::Audio, Role::Touch})
        conn->socket(r).disconnect();
}

bool NetStream::isLive(const std::shared_ptr<Connection>& conn) const {
    return conn && conn == conn_ && !conn->closed;
}

void NetStream::reportFailure(const std::shared_ptr<Connection>& conn) {
    {
        std::lock_guard lock(mutex_);
        if (conn != conn_ || conn->closed || conn->failureReported) return;
        conn->failureReported = true;
    }
    withDelegate([](NetStreamDelegate& d) { d.onConnectFailed(); });
}

std::shared_ptr<NetStream::Connection> NetStream::currentConnectionOf(const TcpSocket& sock,
                                                                      Role* role) const {
    auto tag = std::static_pointer_cast<SocketTag>(sock.userData());
    if (!tag) return nullptr;
    if (role) *role = tag->role;
    auto conn = tag->connection.lock();
    std::lock_guard lock(mutex_);
    return conn && conn == conn_ ? conn : nullptr;
}

// ---- Socket callbacks ----

void NetStream::socketDidConnectToHost(TcpSocket& sock, const std::string& host, uint16_t port) {
    sysLog("didConnectToHost:%s:%d", host.c_str(), int(port));
    Role role = Role::Touch;
    auto conn = currentConnectionOf(sock, &role);
    switch (role) {
        case Role::Touch:
            sysLog("touch socket connect to server");
            break;
        case Role::Control:
            sysLog("control socket connect to server");
            if (conn) onControlSocketConnected(conn, sock);
            break;
        case Role::Audio:
            sysLog("audio socket connect to server");
            break;
        case Role::Video:
            sysLog("video socket connect to server");
            onVideoSocketCOnnected();
            break;
    }
}

void NetStream::onControlSocketConnected(const std::shared_ptr<Connection>& conn, TcpSocket& sock) {
    {
        std::lock_guard lock(mutex_);
        // Closed in the meantime, or reported once already.
        if (!isLive(conn) || conn->heartbeat) return;
    }
    if (!startPingThread(conn)) return;
    withDelegate([](NetStreamDelegate& d) { d.onConnectSuccess(); });
    sock.readDataWithTimeout(-1, 0);
}

void NetStream::socketDidReadData(TcpSocket& sock, const Bytes& data, long) {
    Role role = Role::Touch;
    auto conn = currentConnectionOf(sock, &role);
    if (!conn || role != Role::Control) return;
    conn->lastTimeReceiverActive.store(steadyMilliseconds(), std::memory_order_relaxed);
    receiveControlData(conn, data);
    sock.readDataWithTimeout(-1, 0);
}

void NetStream::socketDidDisconnect(TcpSocket* sock, const std::optional<Error>& err) {
    sysLog("socketDidDisconnect: %s", err ? err->description().c_str() : "(null)");
    if (!sock) {
        sysLog("unknown socket disconnected.");
        return;
    }
    Role role = Role::Touch;
    auto tag = std::static_pointer_cast<SocketTag>(sock->userData());
    if (!tag) {
        sysLog("unknown socket disconnected.");
        return;
    }
    role = tag->role;
    switch (role) {
        case Role::Control: {
            sysLog("control socket disconnected");
            auto conn = tag->connection.lock();
            if (!conn) break;
            std::shared_ptr<Heartbeat> hb;
            bool failed = false;
            {
                std::lock_guard lock(mutex_);
                hb = conn->heartbeat;
                if (err && conn == conn_ && !conn->closed) {
                    connected_ = false;
                    failed = true;
                }
            }
            if (hb) stopPingThread(hb);
            if (failed) reportFailure(conn);
            break;
        }
        case Role::Video:
            sysLog("video socket disconnect");
            break;
        case Role::Audio:
            sysLog("audio socket disconnect");
            break;
        case Role::Touch:
            sysLog("touch socket disconnected");
            break;
    }
}

void NetStream::socketDidWriteDataWithTag(TcpSocket& sock, long tag) {
    if (tag != kVideoDataTag && tag != kAudioDataTag) return;
    if (tag == kAudioDataTag) sysLog("didWriteDataWithTag audioooooooo:%ld", tag);
    // Credits of an earlier connection go back to its own pool, which nobody draws from any more.
    auto t = std::static_pointer_cast<SocketTag>(sock.userData());
    auto conn = t ? t->connection.lock() : nullptr;
    if (!conn) return;
    if (tag == kVideoDataTag) {
        conn->videoCredits->take(0.1);
    } else {
        conn->audioCredits->take(0.1);
    }
}

void NetStream::socketDidWritePartialDataOfLength(TcpSocket&, size_t partialLength, long tag) {
    sysLog("didWritePartialDataOfLength:len=%lu, tag=%ld", static_cast<unsigned long>(partialLength), tag);
}

double NetStream::socketShouldTimeoutWriteWithTag(TcpSocket&, long tag, double elapsed, size_t bytesDone) {
    sysLog("shouldTimeoutWriteWithTag, tag=%ld, elapsed=%f, bytesDone=%lu", tag, elapsed,
           static_cast<unsigned long>(bytesDone));
    return kWriteTimeoutExtension;
}

// ---- Heartbeat ----

bool NetStream::startPingThread(const std::shared_ptr<Connection>& conn) {
    auto hb = std::make_shared<Heartbeat>();
    std::vector<std::shared_ptr<Heartbeat>> done;
    {
        std::lock_guard lock(mutex_);
        // One heartbeat per connection, and none for a connection closed in the meantime.
        if (conn->heartbeat || conn->closed || conn != conn_) return false;
        conn->heartbeat = hb;
        // Threads that have ended are joined here, so that reconnecting never piles them up.
        auto it = std::stable_partition(heartbeats_.begin(), heartbeats_.end(),
                                        [](const auto& h) { return !h->finished.load(); });
        done.assign(std::make_move_iterator(it), std::make_move_iterator(heartbeats_.end()));
        heartbeats_.erase(it, heartbeats_.end());
        conn->lastTimeReceiverActive.store(steadyMilliseconds(), std::memory_order_relaxed);
        hb->thread = std::thread(&NetStream::sendHeartBeat, weak_from_this(), conn, hb);
        heartbeats_.push_back(hb);
    }
    for (auto& h : done) {
        if (h->thread.joinable()) h->thread.join();
    }
    return true;
}

void NetStream::stopPingThread(const std::shared_ptr<Heartbeat>& heartbeat) {
    {
        std::lock_guard lock(heartbeat->mutex);
        heartbeat->running = false;
    }
    heartbeat->cv.notify_all();
}

void NetStream::sendHeartBeat(std::weak_ptr<NetStream> weakSelf, std::shared_ptr<Connection> conn,
                              std::shared_ptr<Heartbeat> hb) {
    platform::foundation::setCurrentThreadName("heartbeat");
    double period = 0.3;
    int64_t limitMs = 5001;
    if (auto self = weakSelf.lock()) {
        period = self->options_.heartbeatPeriod;
        limitMs = static_cast<int64_t>(self->options_.silenceLimit * 1000.0 + 0.5);
    }
    auto stopped = [&] {
        std::lock_guard lock(hb->mutex);
        return !hb->running;
    };
    bool timedOut = false;
    while (true) {
        if (stopped()) break;
        {
            auto self = weakSelf.lock();
            if (!self) break;
            self->protocol_.sendHeartBeatRequest();
        }
        {
            std::unique_lock lock(hb->mutex);
            hb->cv.wait_for(lock, durationFromSeconds(period), [&] { return !hb->running; });
        }
        // A stamp written after the clock was read counts as no time elapsed.
        const int64_t elapsed = std::max<int64_t>(
            0, steadyMilliseconds() - conn->lastTimeReceiverActive.load(std::memory_order_relaxed));
        if (elapsed >= limitMs) {
            timedOut = !stopped();
            break;
        }
    }
    if (timedOut) {
        sysLog("receiver timeout. going to disconnect.");
        if (auto self = weakSelf.lock()) self->reportFailure(conn);
    }
    sysLog("sendHeartBeat exit.");
    hb->finished.store(true);
}

// ---- Control packets ----

void NetStream::Reassembly::feed(const Bytes& data,
                                 std::vector<std::array<uint8_t, kControlPacketSize>>& packets) {
    size_t pos = 0;
    while (len + (data.size() - pos) >= kControlPacketSize) {
        const size_t need = kControlPacketSize - len;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(pos), need,
                    buf.begin() + static_cast<std::ptrdiff_t>(len));
        pos += need;
        packets.push_back(buf);
        len = 0;
    }
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end(),
              buf.begin() + static_cast<std::ptrdiff_t>(len));
    len += data.size() - pos;
}

void NetStream::onReceiveControlData(const Bytes& data) {
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard lock(mutex_);
        conn = conn_;
    }
    receiveControlData(conn, data);
}

void NetStream::receiveControlData(const std::shared_ptr<Connection>& conn, const Bytes& data) {
    std::vector<std::array<uint8_t, kControlPacketSize>> packets;
    {
        std::lock_guard lock(mutex_);
        // A read that finishes after its connection was closed or replaced belongs to nobody.
        if (conn && !isLive(conn)) return;
        (conn ? conn->reassembly : unconnectedReassembly_).feed(data, packets);
    }
    // Dispatched in order and outside the lock, since handlers call the delegate and write answers; a
    // disconnect() while an earlier packet of the same read is handled drops the rest.
    for (const auto& p : packets) {
        if (conn) {
            std::lock_guard lock(mutex_);
            if (!isLive(conn)) {
                sysLog("control packets read before the disconnect are dropped.");
                return;
            }
        }
        protocol_.handleControlData(p);
    }
}

void NetStream::writeControlPacket(const ControlPacket& scrambled, long tag) {
    std::shared_ptr<TcpSocket> sock;
    {
        std::lock_guard lock(mutex_);
        if (conn_ && !conn_->closed) sock = conn_->sockets[int(Role::Control)];
    }
    if (!sock) return;
    sock->writeData(Bytes(scrambled.bytes.begin(), scrambled.bytes.end()), kControlWriteTimeout, tag);
}

void NetStream::onServerRequestMirrorOn() {
    withDelegate([](NetStreamDelegate& d) { d.onServerRequestMirrorOn(); });
}
void NetStream::onServerRequestMirrorOff() {
    withDelegate([](NetStreamDelegate& d) { d.onServerRequestMirrorOff(); });
}
void NetStream::onServerRequestKeyFrame() {
    withDelegate([](NetStreamDelegate& d) { d.onServerRequestKeyFrame(); });
}
void NetStream::onServerRequsstUpdateFrameRate(int frameRate) {
    withDelegate([frameRate](NetStreamDelegate& d) { d.onServerRequsstUpdateFrameRate(frameRate); });
}
void NetStream::onRequestMirrorStartSuccess() {
    withDelegate([](NetStreamDelegate& d) { d.onRequestMirrorStartSuccess(); });
}
void NetStream::onRequestMirrorStartFailed(int code) {
    withDelegate([code](NetStreamDelegate& d) { d.onRequestMirrorStartFailed(code); });
}
void NetStream::onRequestMirrorStopSuccess() {
    withDelegate([](NetStreamDelegate& d) { d.onRequestMirrorStopSuccess(); });
}
void NetStream::onServerResponseVersion(const std::string& version) {
    withDelegate([&version](NetStreamDelegate& d) { d.onServerResponseVersion(version); });
}
void NetStream::onServerResponseAuthenticateType() {
    withDelegate([](NetStreamDelegate& d) { d.onServerResponseAuthenticateType(); });
}
void NetStream::onServerRequestDeviceStatus(int status) {
    withDelegate([status](NetStreamDelegate& d) { d.onServerRequestDeviceStatus(status); });
}
void NetStream::onServerRequestKeyStatus() {
    withDelegate([](NetStreamDelegate& d) { d.onServerRequestKeyStatus(); });
}

// ---- Media ----

bool NetStream::sendVideoData(const uint8_t* data, size_t length, const std::atomic<bool>* cancel) {
    return sendMediaData(data, length, Role::Video, cancel);
}

bool NetStream::sendAudioData(const uint8_t* data, size_t length, const std::atomic<bool>* cancel) {
    sysLog("sendAudioData:%d", static_cast<int>(length));
    return sendMediaData(data, length, Role::Audio, cancel);
}

bool NetStream::sendMediaData(const uint8_t* data, size_t length, Role role,
                              const std::atomic<bool>* cancel) {
    // An empty write completes never and would keep its credit for good.
    if (!data || length == 0) return false;
    const bool video = role == Role::Video;
    std::shared_ptr<TcpSocket> sock;
    std::shared_ptr<NoDataQueue> credits;
    {
        std::lock_guard lock(mutex_);
        if (!conn_ || conn_->closed) return false;
        sock = conn_->sockets[int(role)];
        credits = video ? conn_->videoCredits : conn_->audioCredits;
    }
    switch (credits->acquire(video ? options_.videoCreditWait : options_.audioCreditWait, cancel)) {
        case WaitResult::Acquired:
            break;
        case WaitResult::TimedOut:
            // The receiver does not keep up.
            sysLog(video ? "unable to send video data." : "unable to send audio data========");
            return false;
        case WaitResult::Stopped:
            // Not back-pressure: the link or the caller is going away.
            if (cancel && cancel->load()) {
                sysLog(video ? "video packet dropped: sending stopped."
                             : "audio packet dropped: sending stopped.");
            } else {
                sysLog(video ? "video packet dropped: the link was closed."
                             : "audio packet dropped: the link was closed.");
            }
            return false;
    }
    sock->writeData(Bytes(data, data + length), kMediaWriteTimeout, video ? kVideoDataTag : kAudioDataTag);
    return true;
}

}  // namespace quill
