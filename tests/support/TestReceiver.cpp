#include "support/TestReceiver.h"
#include "platform/foundation/ThreadName.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace quill::testing {

void scrambleControl(std::array<uint8_t, 16>& packet) {
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] ^= static_cast<uint8_t>(kControlKey[i % 13]);
}

int VideoRecord::nalType() const {
    size_t off = 0;
    if (nal.size() >= 4 && nal[0] == 0 && nal[1] == 0 && nal[2] == 0 && nal[3] == 1) {
        off = 4;
    } else if (nal.size() >= 3 && nal[0] == 0 && nal[1] == 0 && nal[2] == 1) {
        off = 3;
    } else {
        return -1;
    }
    return off < nal.size() ? (nal[off] & 0x1F) : -1;
}

size_t mpeg1Layer3FrameLength(uint8_t headerByte2) {
    static constexpr int kKbps[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static constexpr int kRates[4] = {44100, 48000, 32000, 0};
    const int kbps = kKbps[headerByte2 >> 4];
    const int rate = kRates[(headerByte2 >> 2) & 3];
    if (kbps == 0 || rate == 0) return 0;
    return size_t(144 * kbps * 1000 / rate + ((headerByte2 >> 1) & 1));
}

struct TestReceiver::PortState {
    explicit PortState(uint16_t port) : listener(port) {}
    Listener listener;
    int fd = -1;  // the current connection, guarded by the receiver's writeMutex_ for writes
    int connections = 0;
    bool peerClosed = false;
    std::atomic<bool> read{true};
    std::atomic<bool> refuse{false};
    std::atomic<bool> refused{false};
};

TestReceiver::TestReceiver() : TestReceiver(Options{}) {}

TestReceiver::TestReceiver(Options options) : options_(std::move(options)) {
    for (int i = 0; i < 4; ++i)
        ports_[i] = std::make_unique<PortState>(options_.ports[i]);
    for (int i = 0; i < 4; ++i)
        threads_.emplace_back([this, i] { serve(i); });
}

TestReceiver::~TestReceiver() {
    stop_ = true;
    for (auto& t : threads_)
        t.join();
}

uint16_t TestReceiver::port(ReceiverPort which) const {
    return ports_[int(which)]->listener.port();
}

void TestReceiver::setVersion(const std::string& version) {
    std::lock_guard lock(mutex_);
    version_ = version;
}
void TestReceiver::setAuthenticationType(uint8_t type) {
    std::lock_guard lock(mutex_);
    authType_ = type;
}
void TestReceiver::setMirrorStartResult(bool ok) {
    std::lock_guard lock(mutex_);
    mirrorStartOk_ = ok;
}
void TestReceiver::setStatus(uint8_t value, uint8_t addressByte) {
    std::lock_guard lock(mutex_);
    statusValue_ = value;
    statusAddress_ = addressByte;
}
void TestReceiver::setAnswerRequests(bool answer) {
    std::lock_guard lock(mutex_);
    answer_ = answer;
}
void TestReceiver::setSilent(bool silent) {
    silent_ = silent;
}
void TestReceiver::setReadMedia(ReceiverPort which, bool read) {
    ports_[int(which)]->read = read;
}

bool TestReceiver::refusePort(ReceiverPort which, double seconds) {
    PortState& st = *ports_[int(which)];
    st.refuse = true;
    // The serving thread owns the listener; wait until it has stopped listening.
    return waitFor([&st] { return st.refused.load(); }, seconds);
}

void TestReceiver::closeControl() {
    std::lock_guard lock(writeMutex_);
    int fd = ports_[int(ReceiverPort::Control)]->fd;
    // The serving thread sees the end of stream and closes the descriptor itself.
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

std::array<uint8_t, 16> TestReceiver::makePacket(uint8_t kind, uint8_t code) const {
    std::array<uint8_t, 16> p{};
    p[0] = options_.addressByte;
    p[1] = 4;
    p[2] = kind;
    p[3] = code;
    return p;
}

bool TestReceiver::writeControl(std::array<uint8_t, 16> packet) {
    scrambleControl(packet);
    std::lock_guard lock(writeMutex_);
    int fd = ports_[int(ReceiverPort::Control)]->fd;
    return fd >= 0 && writeAll(fd, packet);
}

bool TestReceiver::sendRequest(uint8_t code, uint8_t byte4) {
    auto p = makePacket(1, code);
    p[4] = byte4;
    return writeControl(p);
}

bool TestReceiver::sendCallback(uint8_t code, uint8_t status) {
    auto p = makePacket(3, code);
    p[5] = status;
    return writeControl(p);
}

bool TestReceiver::sendControl(const std::array<uint8_t, 16>& plain) {
    return writeControl(plain);
}

bool TestReceiver::sendRawControl(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(writeMutex_);
    int fd = ports_[int(ReceiverPort::Control)]->fd;
    return fd >= 0 && writeAll(fd, bytes);
}

void TestReceiver::serve(int index) {
    // Named, so that measurements can tell the receiver's threads from the sender's.
    platform::foundation::setCurrentThreadName("test-receiver");
    PortState& st = *ports_[index];
    const bool isControl = index == int(ReceiverPort::Control);
    std::vector<uint8_t> buf;
    while (!stop_) {
        if (st.refuse && st.listener.isOpen()) {
            st.listener.close();
            st.refused = true;
            changed_.notify_all();
        }
        if (!st.listener.isOpen()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        int c = st.listener.accept(20);
        if (c < 0) continue;
        {
            std::lock_guard w(writeMutex_);
            std::lock_guard lock(mutex_);
            st.fd = c;
            st.connections++;
            st.peerClosed = false;
        }
        changed_.notify_all();
        std::vector<uint8_t> controlPending;
        LengthPrefixedFramer framer;
        bool reportedBroken = false;
        auto period = std::chrono::duration<double>(options_.heartbeatSeconds);
        auto nextBeat = std::chrono::steady_clock::now() + period;
        while (!stop_) {
            long n;
            if (!isControl && !st.read) {
                // Not reading, so the sender's data piles up; a close is still noticed.
                n = peerHungUp(c, 10) ? -1 : 0;
            } else {
                n = readSome(c, buf, 64 * 1024, 10);
            }
            if (n < 0) {
                {
                    std::lock_guard lock(mutex_);
                    st.peerClosed = true;
                }
                changed_.notify_all();
                break;
            }
            if (n > 0) {
                switch (ReceiverPort(index)) {
                    case ReceiverPort::Control:
                        handleControlBytes(buf, controlPending);
                        break;
                    case ReceiverPort::Video:
                    case ReceiverPort::Audio:
                        framer.feed(buf);
                        while (auto frame = framer.next()) {
                            if (index == int(ReceiverPort::Video)) {
                                handleVideoFrame(*frame);
                            } else {
                                handleAudioFrame(*frame);
                            }
                        }
                        if (framer.broken() && !reportedBroken) {
                            reportedBroken = true;
                            std::lock_guard lock(mutex_);
                            problems_.push_back("media length word out of range on port " +
                                                std::to_string(index));
                        }
                        break;
                    case ReceiverPort::Touch: {
                        std::lock_guard lock(mutex_);
                        touchBytes_ += size_t(n);
                        break;
                    }
                }
            }
            if (isControl && options_.heartbeatSeconds > 0 && std::chrono::steady_clock::now() >= nextBeat) {
                nextBeat += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
                if (!silent_) sendRequest(0);
            }
        }
        {
            std::lock_guard w(writeMutex_);
            st.fd = -1;
        }
        ::close(c);
    }
}

void TestReceiver::handleControlBytes(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& pending) {
    pending.insert(pending.end(), bytes.begin(), bytes.end());
    size_t off = 0;
    while (pending.size() - off >= 16) {
        std::array<uint8_t, 16> p;
        std::copy_n(pending.begin() + static_cast<std::ptrdiff_t>(off), 16, p.begin());
        off += 16;
        scrambleControl(p);
        handleControlPacket(p);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(off));
}

void TestReceiver::handleControlPacket(const std::array<uint8_t, 16>& packet) {
    ControlRecord rec{packet, std::chrono::steady_clock::now()};
    bool answer;
    std::array<uint8_t, 16> resp{};
    {
        std::lock_guard lock(mutex_);
        control_.push_back(rec);
        answer = answer_ && !silent_ && rec.kind() == 1;
        if (answer) {
            resp = makePacket(2, 1);
            resp[4] = packet[1];
            resp[5] = packet[0];
            resp[6] = packet[3];
            switch (rec.code()) {
                case 1:
                    resp[3] = mirrorStartOk_ ? 1 : 0;
                    break;
                case 9:
                    resp[10] = statusValue_;
                    resp[11] = statusAddress_;
                    break;
                case 14:
                    std::memcpy(resp.data() + 8, version_.data(), std::min<size_t>(8, version_.size()));
                    break;
                case 25:
                    resp[8] = authType_;
                    break;
                default:
                    break;
            }
        }
    }
    changed_.notify_all();
    if (options_.onControl) options_.onControl(rec);
    if (answer) writeControl(resp);
}

void TestReceiver::handleVideoFrame(const std::vector<uint8_t>& frame) {
    VideoRecord rec;
    rec.at = std::chrono::steady_clock::now();
    std::string problem;
    if (frame.size() < 24 + 3) {
        problem = "video packet too short: " + std::to_string(frame.size());
    } else {
        for (int i = 0; i < 5; ++i) {
            if (readBE32(frame.data() + 4 * i) != 1)
                problem = "video packet word " + std::to_string(i) + " is not 1";
        }
        rec.stamp = readBE32(frame.data() + 20);
        rec.nal.assign(frame.begin() + 24, frame.end());
        if (rec.nalType() < 0) problem = "video packet without a start code";
    }
    if (problem.empty() && options_.onVideo) options_.onVideo(rec);
    {
        std::lock_guard lock(mutex_);
        if (!problem.empty()) {
            problems_.push_back(problem);
        } else if (options_.keepMedia) {
            video_.push_back(std::move(rec));
        }
    }
    changed_.notify_all();
}

void TestReceiver::handleAudioFrame(const std::vector<uint8_t>& frame) {
    AudioRecord rec;
    rec.at = std::chrono::steady_clock::now();
    std::string problem;
    if (frame.size() < 4 + 4) {
        problem = "audio packet too short: " + std::to_string(frame.size());
    } else {
        rec.stamp = readBE32(frame.data());
        rec.frame.assign(frame.begin() + 4, frame.end());
        const auto& f = rec.frame;
        size_t len = f.size();
        if (len != 417 && len != 418) {
            problem = "audio frame of " + std::to_string(len) + " bytes";
        } else if (f[0] != 0xFF || (f[1] & 0xE0) != 0xE0) {
            problem = "audio frame without a frame sync";
        } else if ((f[1] & 0x1E) != 0x1A) {
            problem = "audio frame is not MPEG-1 Layer III";
        } else if (size_t expected = mpeg1Layer3FrameLength(f[2]); expected == 0) {
            problem = "audio frame with a bad bit rate or sample rate";
        } else if (expected != len) {
            problem = "audio frame length disagrees with its padding bit";
        }
    }
    if (problem.empty() && options_.onAudio) options_.onAudio(rec);
    {
        std::lock_guard lock(mutex_);
        if (!problem.empty()) {
            problems_.push_back(problem);
        } else if (options_.keepMedia) {
            audio_.push_back(std::move(rec));
        }
    }
    changed_.notify_all();
}

std::vector<ControlRecord> TestReceiver::control() const {
    std::lock_guard lock(mutex_);
    return control_;
}

std::vector<ControlRecord> TestReceiver::requests(uint8_t code) const {
    std::lock_guard lock(mutex_);
    std::vector<ControlRecord> out;
    for (const auto& r : control_) {
        if (r.kind() == 1 && r.code() == code) out.push_back(r);
    }
    return out;
}

std::vector<ControlRecord> TestReceiver::responses(uint8_t requestCode) const {
    std::lock_guard lock(mutex_);
    std::vector<ControlRecord> out;
    for (const auto& r : control_) {
        if (r.kind() == 2 && r.bytes[6] == requestCode) out.push_back(r);
    }
    return out;
}

std::vector<VideoRecord> TestReceiver::video() const {
    std::lock_guard lock(mutex_);
    return video_;
}

std::vector<AudioRecord> TestReceiver::audio() const {
    std::lock_guard lock(mutex_);
    return audio_;
}

size_t TestReceiver::touchBytes() const {
    std::lock_guard lock(mutex_);
    return touchBytes_;
}

int TestReceiver::connections(ReceiverPort which) const {
    std::lock_guard lock(mutex_);
    return ports_[int(which)]->connections;
}

bool TestReceiver::peerClosed(ReceiverPort which) const {
    std::lock_guard lock(mutex_);
    return ports_[int(which)]->peerClosed;
}

std::vector<std::string> TestReceiver::problems() const {
    std::lock_guard lock(mutex_);
    return problems_;
}

bool TestReceiver::waitFor(std::function<bool()> pred, double seconds) {
    // Predicates take the lock themselves through the getters, so poll them in short steps.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (true) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
}

bool TestReceiver::waitForConnections(int perPort, double seconds) {
    return waitFor(
        [&] {
            for (int i = 0; i < 4; ++i) {
                if (connections(ReceiverPort(i)) < perPort) return false;
            }
            return true;
        },
        seconds);
}

bool TestReceiver::waitForRequests(uint8_t code, size_t count, double seconds) {
    return waitFor([&] { return requests(code).size() >= count; }, seconds);
}

bool TestReceiver::waitForControl(std::function<bool(const std::vector<ControlRecord>&)> pred,
                                  double seconds) {
    return waitFor([&] { return pred(control()); }, seconds);
}

bool TestReceiver::waitForVideo(size_t count, double seconds) {
    return waitFor([&] { return video().size() >= count; }, seconds);
}

bool TestReceiver::waitForAudio(size_t count, double seconds) {
    return waitFor([&] { return audio().size() >= count; }, seconds);
}

bool TestReceiver::waitForAllClosed(double seconds) {
    return waitFor(
        [&] {
            for (int i = 0; i < 4; ++i) {
                if (connections(ReceiverPort(i)) > 0 && !peerClosed(ReceiverPort(i))) return false;
            }
            return true;
        },
        seconds);
}

void TestReceiver::clearRecords() {
    std::lock_guard lock(mutex_);
    control_.clear();
    video_.clear();
    audio_.clear();
    problems_.clear();
    touchBytes_ = 0;
}

bool TestReceiver::writeH264(const std::string& path) const {
    std::ofstream out(path, std::ios::binary);
    for (const auto& v : video())
        out.write(reinterpret_cast<const char*>(v.nal.data()), std::streamsize(v.nal.size()));
    return bool(out);
}

bool TestReceiver::writeMp3(const std::string& path) const {
    std::ofstream out(path, std::ios::binary);
    for (const auto& a : audio())
        out.write(reinterpret_cast<const char*>(a.frame.data()), std::streamsize(a.frame.size()));
    return bool(out);
}

}  // namespace quill::testing
