#pragma once
// The session controller: the one object through which the application drives a mirroring session with
// one receiver. It connects the receiver link, sends the set-up requests, starts and stops the media
// pipeline when the receiver agrees or asks, switches the system sound to the loopback device for the
// time of mirroring, keeps the display awake while mirroring, and runs the thread that moves encoded
// packets from the pipeline to the link.
//
// Threads: the delegate hears from the link's callback queue (concurrent) or from the heartbeat thread,
// never on the main thread; a delegate that touches a user interface hands its work over itself.
// Starting, stopping and disconnecting are serialised by one lock that is never held while the delegate
// runs, so a start, a stop and a disconnect from different threads never interleave. After disconnect()
// no start of mirroring happens until the next connect(), and no report of the ended connection reaches
// the delegate.
//
// Stopping never waits: a stopped run's send thread gives up any write credit it waits for at once and
// ends by itself. Its thread is joined by disconnect() and the destructor, and never on a thread of the
// link's callbacks (there it is only reaped once it has ended).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/NetStream.h"

namespace quill {

namespace platform::display {
class DisplayService;
}

class SWAppConfig;
class SWMediaHandler;
class SoundflowerManager;
class AudioDeviceManager;
namespace platform::power {
class PowerManager;
}

// What the session controller reports, implemented by the session view. Calls arrive on the link's
// callback queue or the heartbeat thread.
class MirrorChannelDelegate {
  public:
    virtual ~MirrorChannelDelegate() = default;

    // The control connection to the receiver is up; the set-up requests follow.
    virtual void onConnectToReceiverSuccess() = 0;
    // -1: the control connection could not be made or was lost, or the receiver fell silent.
    // -2: the receiver timed out (never sent).
    virtual void onConnectToReceiverFailed(int code) = 0;
    // Mirroring starts (at the user's request or the receiver's); heard before the pipeline starts.
    virtual void onRequestMirrorOnSuccess() = 0;
    // Never sent: a refused start is not reported.
    virtual void onRequestMirrorOnFailed(int code) = 0;
    // Mirroring stopped (also sent for the receiver's answer to a stop request when nothing mirrored).
    virtual void onRequestMirrorOffSuccess() = 0;
    virtual void onRequestReceiverVersionSuccess(const std::string& version) = 0;
};

// The parts a session controller works with; the defaults are the process's own.
struct MirrorChannelParts {
    // Receiver ports, heartbeat and time-outs of the link.
    NetStream::Options link;
    // The process's singletons when null. The audio device manager defaults to the sound-flower
    // manager's.
    SoundflowerManager* soundflowerManager = nullptr;
    AudioDeviceManager* audioDeviceManager = nullptr;
    platform::power::PowerManager* powerManager = nullptr;
    SWAppConfig* config = nullptr;
    // Where the user's sound devices are saved while mirroring; empty: the settings' ".soundflower".
    std::string soundflowerSettingFile;
    // Makes the media handler of each start of mirroring; empty: a handler over the process's screen
    // and sound capture and the managers above.
    std::function<std::shared_ptr<SWMediaHandler>()> makeMediaHandler;
    // Where the cursor loop reads the main display and the pointer; null: the process's display service.
    std::shared_ptr<platform::display::DisplayService> display;
    // Pause of the send loop after every pass, seconds.
    double sendLoopPause = 0.01;
};

class MirrorChannel : public std::enable_shared_from_this<MirrorChannel> {
  public:
    // The display-sleep assertion taken while mirroring.
    static constexpr const char* kAssertionName = "Screen Mirroring";

    static std::shared_ptr<MirrorChannel> create();
    static std::shared_ptr<MirrorChannel> create(MirrorChannelParts parts);
    // Ends mirroring and closes the link as disconnect() does.
    ~MirrorChannel();
    MirrorChannel(const MirrorChannel&) = delete;
    MirrorChannel& operator=(const MirrorChannel&) = delete;

    // The delegate is held strongly.
    std::shared_ptr<MirrorChannelDelegate> delegate() const;
    void setDelegate(std::shared_ptr<MirrorChannelDelegate> delegate);

    // This computer's IPv4 address in dotted form; its last part becomes the link's address byte.
    std::string localIP() const;
    void setLocalIP(const std::string& localIP);

    // Connects the link to the receiver's IPv4 address; the pin is sent with the set-up requests. The
    // outcome arrives as onConnectToReceiverSuccess or onConnectToReceiverFailed.
    void connect(const std::string& address, const std::string& pin);
    // True when the loopback driver is loaded. Otherwise starts installing it in the background (which
    // may ask for administrator rights) and answers whether that started; blocks only while the
    // detection command runs.
    bool installSoundPlugin();
    // Ask the receiver to start or stop mirroring; mirroring itself starts and stops on its answer.
    void requestMirrorOn();
    void requestMirrorOff();
    // Ends mirroring if it is on (pipeline stopped, display assertion released), closes the link, turns
    // the sound guard off and puts the user's sound devices back. Reports of this connection that come
    // later are not passed on. Waits for the stopped send threads to end, unless called from one of the
    // link's callbacks (a delegate call), where they are left to end by themselves.
    void disconnect();

    // The cursor loop: a thread of its own, at the highest priority the process may set, that tells the
    // receiver the pointer position (request 33 with flag 1, then request 34 every 0.05 s while this run
    // of mirroring lasts, then request 33 with flag 0). Started while not mirroring it sends the two
    // flags at once. Nothing in the system starts it.
    void startSendMouseEventThread();
    // Does nothing: the loop ends with mirroring.
    void stopSendMouseEventThread() {}

    bool isMirroring() const;
    std::string pinCode() const;
    NetStream& netStream() { return *netStream_; }

  private:
    class LinkListener;
    struct SendRun;
    struct Worker;
    friend class LinkListener;
    // A delegate call waiting for delivery. One with a link epoch reports the link and is dropped when
    // the link has been connected or disconnected again since.
    struct Event {
        std::function<void(MirrorChannelDelegate&)> call;
        uint64_t linkEpoch = 0;  // 0: not tied to a connection
    };

    explicit MirrorChannel(MirrorChannelParts parts);
    void init();
    SoundflowerManager& soundflowerManager();
    AudioDeviceManager& audioDeviceManager();
    platform::power::PowerManager& powerManager();
    std::string soundflowerSettingFile() const;

    // NetStreamDelegate, through the listener.
    void onConnectSuccess();
    void onConnectFailed();
    void onServerTimeout();
    void onRequestMirrorStartSuccess();
    void onRequestMirrorStopSuccess();
    void onServerRequestMirrorOn();
    void onServerRequestMirrorOff();
    void onServerRequestKeyFrame();
    void onServerRequestKeyStatus();
    void onServerRequestDeviceStatus(int status);
    void onServerResponseVersion(const std::string& version);

    void syncSettings();
    // Starts mirroring unless it is on or starts are not allowed; the view hears
    // onRequestMirrorOnSuccess first, then the pipeline starts. Takes opMutex_.
    void startFromTrigger();
    // Stops mirroring if it is on (or about to start); the view hears onRequestMirrorOffSuccess when it
    // was, or always when reportAlways is set. Takes opMutex_.
    void stopFromTrigger(bool reportAlways);
    // Under opMutex_.
    void startMirrorOn();
    bool stopMirroOn();
    void enableAudio();
    void restoreAudio();
    void tearDown();
    // Joins the worker threads that have ended; with wait, first waits for all of them to end.
    void settleWorkers(bool wait);
    void addWorker(std::shared_ptr<Worker> worker);
    static void sendMediaData(std::shared_ptr<NetStream> link, std::shared_ptr<SendRun> run,
                              std::shared_ptr<Worker> worker);
    static void sendMouseEventLoop(std::shared_ptr<NetStream> link,
                                   std::shared_ptr<platform::display::DisplayService> display,
                                   std::shared_ptr<SendRun> run, std::shared_ptr<Worker> worker);

    // Delegate calls are queued in the order of the changes they report and delivered by whichever
    // thread finds the queue idle, with no lock held, so that the view may call back into this object.
    // post() returns the event's number in that order.
    uint64_t post(Event event);
    void deliverEvents();
    // Delivers, then waits until event number `seq` has been delivered (by another thread, when one was
    // delivering); at most a few seconds.
    void deliverThrough(uint64_t seq);
    // A report of the link as it is now: tagged with the current link epoch.
    void postLinkReport(std::function<void(MirrorChannelDelegate&)> call);

    MirrorChannelParts parts_;
    std::shared_ptr<NetStream> netStream_;
    std::shared_ptr<LinkListener> listener_;

    // Serialises start, stop and disconnect as wholes. Never held while the delegate runs.
    std::mutex opMutex_;
    // Guards the fields below it; never held while calling out.
    mutable std::mutex mutex_;
    std::shared_ptr<MirrorChannelDelegate> delegate_;
    std::string localIP_;
    std::string pinCode_;
    bool mirroring_ = false;
    bool starting_ = false;   // a start was announced to the delegate; the pipeline is not up yet
    bool accepting_ = false;  // starts allowed: from connect() until disconnect()
    bool everConnected_ = false;
    bool autoShare_ = false;
    uint64_t linkEpoch_ = 1;  // counts connect() and disconnect() calls
    std::shared_ptr<SWMediaHandler> mediaHandler_;
    std::shared_ptr<SendRun> sendRun_;  // the run of the current mirroring
    std::deque<std::pair<uint64_t, Event>> events_;
    uint64_t postedEvents_ = 0;
    uint64_t deliveredEvents_ = 0;
    bool delivering_ = false;
    std::condition_variable eventsDelivered_;

    // Send and cursor threads not yet joined.
    std::mutex workersMutex_;
    std::vector<std::shared_ptr<Worker>> workers_;
    std::shared_ptr<Worker> sendMouseEventThread_;

    // Under opMutex_.
    uint32_t assertionID_ = 0;
};

}  // namespace quill
