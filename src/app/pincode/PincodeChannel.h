#pragma once
// The look-up client: turns a 6-digit pin code into a receiver by asking the look-up server. For each pin
// it opens one TCP connection, writes one request (a 4-byte big-endian length, then a CastCommand holding
// a RequestCmd and a QueryServerRequestData with the pin), reads one reply framed the same way, reports
// the outcome to its PincodeDelegate and closes the connection.
//
// Every look-up ends in exactly one delegate report (besides onConnectServerSuccess, which comes first
// when the connection is up):
//   onFindReceiverSuccess   the server returned a receiver with at least one address;
//   onUnableToFindReceiver  the server answered that no receiver has this pin, or its reply was unusable;
//   onConnectServerFailed   no connection, a failed write, the server closed before replying, no reply
//                           within the reply time-out, or the request could not be made.
// Once a reply was handled, a later close with an error (a server that hangs up right after its reply)
// is only logged.
//
// Threads: findReceiverByPincode may be called from any thread (the pin view calls it on the main
// thread). All delegate calls run on the client's serial queue "com.kelpa.orvellomac.socketqueue", one at
// a time; the delegate moves user-interface work to the main thread itself.

#include <chrono>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/pincode/ReceiverObject.h"
#include "net/TcpSocket.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bytes.h"

namespace quill {

// What the look-up client reports. Calls run on the client's socket queue.
class PincodeDelegate {
  public:
    virtual ~PincodeDelegate() = default;

    // The connection to the look-up server failed or broke, or the server did not answer in time.
    virtual void onConnectServerFailed() = 0;
    // The connection is up; the request is about to be written.
    virtual void onConnectServerSuccess() = 0;
    // The server answered that no receiver has this pin (or answered nothing usable).
    virtual void onUnableToFindReceiver() = 0;
    // The server returned the receiver.
    virtual void onFindReceiverSuccess(const ReceiverObject& receiver) = 0;
};

// The look-up server's host: QUILLARAN_LOOKUP_HOST when set and not empty, else "localhost".
std::string lookupHostFromEnvironment();
// The look-up server's port: QUILLARAN_LOOKUP_PORT when it holds a decimal number 1 to 65535, else
// 10022 (an unusable value is logged).
uint16_t lookupPortFromEnvironment();
// The same rules over a given value (null: unset).
std::string lookupHostFrom(const char* value);
uint16_t lookupPortFrom(const char* value);

class PincodeChannel : public std::enable_shared_from_this<PincodeChannel>, private net::TcpSocketDelegate {
  public:
    static constexpr uint16_t kDefaultLookupPort = 10022;
    static constexpr double kConnectTimeout = 3.0;
    static constexpr double kWriteTimeout = 1.0;
    // How long the client waits for the server's whole reply once the request is written.
    static constexpr double kReplyTimeout = 10.0;
    // The longest reply message the client accepts; a longer announced length makes the reply unusable.
    static constexpr uint32_t kMaxReplyLength = 64 * 1024;

    // A client of the look-up server named by the environment (see above), printing to standard output.
    static std::shared_ptr<PincodeChannel> create();
    // A client of the server at host:port that prints its plain lines to out (which must outlive it),
    // giving up on a reply after replyTimeout seconds.
    static std::shared_ptr<PincodeChannel> create(std::string host, uint16_t port, std::ostream& out,
                                                  double replyTimeout = kReplyTimeout);
    ~PincodeChannel() override;
    PincodeChannel(const PincodeChannel&) = delete;
    PincodeChannel& operator=(const PincodeChannel&) = delete;

    // The delegate is held weakly: whoever owns it keeps it alive while look-ups run.
    void setPincodeDelegate(std::weak_ptr<PincodeDelegate> delegate);
    std::shared_ptr<PincodeDelegate> pincodeDelegate() const;

    // Starts a look-up of pin; its outcome arrives through the delegate. A look-up asked for while the
    // connection of an earlier one is still open starts once that connection has closed, so that each
    // look-up reports its own outcome.
    void findReceiverByPincode(const std::string& pin);

    // The pin of the latest look-up; kept after it ends, replaced by the next.
    std::optional<std::string> pincode() const;
    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }
    const platform::dispatch::QueuePtr& socketQueue() const { return socketQueue_; }

    // The request for a pin: the 4-byte big-endian length of the message, then the message.
    // Throws FlatBuildError when the message cannot be built.
    static Bytes makeRequest(const std::optional<std::string>& pin);

    // What the bytes received so far (the header, then the message) say.
    struct Reply {
        enum class Kind {
            // The header, or the message it announces, has not all arrived: wait for more.
            incomplete,
            // A receiver with at least one address.
            found,
            // No receiver has the pin: a failing status, or a reply that cannot be used.
            unableToFind,
        };
        Kind kind = Kind::incomplete;
        std::optional<ReceiverObject> receiver;
    };
    // Reads a reply from received (logging as it goes); a found receiver carries pincode. The first 4
    // bytes are the header; the message is exactly the length it announces (at most kMaxReplyLength),
    // and bytes after it are ignored.
    static Reply readReply(const Bytes& received, const std::string& pincode);

  private:
    struct Private {};

  public:
    PincodeChannel(Private, std::string host, uint16_t port, std::ostream& out, double replyTimeout);

  private:
    void startLookup(const std::string& pin);
    std::shared_ptr<PincodeDelegate> delegateForReport();
    // Reports one outcome of the current look-up, unless it already has one.
    void reportFailed();
    void reportReply(const Reply& reply);
    void printLine(const std::string& line);

    void socketDidConnectToHost(net::TcpSocket& sock, const std::string& host, uint16_t port) override;
    void socketDidReadData(net::TcpSocket& sock, const Bytes& data, long tag) override;
    void socketDidCloseReadStream(net::TcpSocket& sock) override;
    void socketDidDisconnect(net::TcpSocket* sock, const std::optional<Error>& err) override;

    const std::string host_;
    const uint16_t port_;
    std::ostream& out_;
    const double replyTimeout_;
    platform::dispatch::QueuePtr socketQueue_;
    std::shared_ptr<net::TcpSocket> pincodeSocket_;

    mutable std::mutex mutex_;
    std::optional<std::string> pincode_;
    std::weak_ptr<PincodeDelegate> pincodeDelegate_;

    // Socket-queue state of the current look-up.
    Bytes received_;
    bool outcomeReported_ = false;
    // From an accepted connect until the socket reports its close.
    bool connectionOpen_ = false;
    std::deque<std::string> pendingPins_;
    // When the whole reply must have arrived; each read that gathers more of it gets what is left.
    std::chrono::steady_clock::time_point replyDeadline_{};
};

}  // namespace quill
