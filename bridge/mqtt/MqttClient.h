// The one wrapper around libmosquitto: a connection kept on a thread of its own to the first of
// several brokers that answers, with reconnects at random moments of windows that grow per round
// of the list (5 s up to 60 s), MQTT 5 where the broker speaks it and 3.1.1 otherwise, a
// persistent session, and a last will. Connects, subscription grants and messages reach the
// caller as events, announced on a file descriptor its own poll loop watches.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridge/BridgeConfig.h"
#include "bridge/mqtt/Backoff.h"
#include "bridge/system/BridgeSystem.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace Mqtt {

struct Settings {
  std::vector<BridgeConfig::Broker> Brokers;  // tried in turn, round the list
  std::size_t BrokerHash = 0;  // where the first round starts, and the step round the list
  bool Tls = false;
  std::string CaFile;    // empty: the system's certificate authorities
  std::string CertFile;  // client certificate and key, both or neither
  std::string KeyFile;
  std::string Username;
  std::string Password;
  std::string ClientId;
  int Keepalive = 60;
  BridgeConfig::Protocol Version = BridgeConfig::Protocol::Auto;
  std::string WillTopic;  // published retained, QoS 1, when the connection is lost
  std::string WillPayload;
  // A received message's topic, payload, correlation data and response topic are kept up to
  // this many bytes, and one more, so that the caller can tell one was longer.
  std::size_t FieldLimit = 1024;
  std::size_t EventLimit = 256;  // events waiting for the caller; the network waits beyond
  // Called on the connection thread for each message before its acknowledgement leaves (at
  // QoS 2, when its PUBLISH arrives, before the PUBREC): what it returns is the event's Tag (a
  // command journal's entry); Resend for a QoS 2 message taken before (the event is dropped).
  std::function<std::uint64_t(const struct Event&)> Taking;
  // Called on the connection thread when the broker releases a QoS 2 message by its packet id
  // (its PUBREL), whether this process took it or an earlier one did, before the PUBCOMP leaves;
  // with 0 for all of them when the broker kept no session for the client.
  std::function<void(int mid)> Released;
  // Called on the connection thread when the broker has acknowledged a message published with a
  // tag (at QoS 0: once libmosquitto took it).
  std::function<void(std::uint64_t tag)> Acknowledged;
  // Called on the connection thread before it reads what the network brought, and after: once
  // every Taking, Released and Acknowledged call of that batch was made, before the
  // acknowledgements of its messages (PUBACK, PUBREC) leave, which wait for it. A batch ends at
  // 10 of them, so that the broker keeps sending meanwhile.
  std::function<void()> BatchBegins;
  std::function<void()> BatchEnds;
};

// What Settings::Taking returns for a QoS 2 message that it took before under the same packet id.
constexpr std::uint64_t Resend = ~std::uint64_t{0} - 1;

struct Event {
  enum KindType { Connected, Subscribed, Message };
  KindType Kind = Message;
  // Subscribed: the subscription's message id and the QoS the broker granted (128: refused).
  // Message: its packet id at QoS 2 (0 otherwise).
  int Mid = 0;
  int GrantedQos = 0;
  // Message:
  std::string Topic;
  std::string Payload;
  bool Retained = false;
  bool HasCorrelation = false;
  std::string CorrelationData;
  std::string ResponseTopic;
  long ExpirySeconds = -1;  // MQTT 5 message expiry interval left; -1: none
  bool Resent = false;      // the broker sent it before (the PUBLISH's dup flag)
  std::uint64_t Tag = 0;    // what Settings::Taking made of it
  // Connected: the broker's host:port, and when (milliseconds since 1970, UTC; 0: never) and why
  // the connection before this one ended.
  std::string Broker;
  std::int64_t LostMs = 0;
  std::string LostReason;
};

class Client {
 public:
  explicit Client(Settings settings);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Starts the connection thread; false with the reason when the settings cannot work.
  bool Start(std::string& error);
  // Ends the connection and the thread: with a DISCONNECT after what was published before, or,
  // withWill, by dropping the connection so that the broker publishes the will.
  void Stop(bool withWill = false);

  // Raised while events wait; TakeEvents empties them.
  const BridgeSystem::Wakeup& Events() const { return Wakeup_; }
  std::vector<Event> TakeEvents();

  // Queued for sending whether or not a connection is up; a QoS 1 or 2 message waits for the
  // next connection. With MQTT 5, correlation data goes along when given. Returns "" when
  // libmosquitto took it, otherwise why it did not, and in lasting whether no later connection
  // would take it either (too large for the broker, a topic that cannot be published to). A tag
  // other than 0 comes back through Settings::Acknowledged.
  std::string Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                      const std::string* correlationData = nullptr, bool* lasting = nullptr,
                      std::uint64_t tag = 0);
  // Returns the subscription's message id, or -1.
  int Subscribe(const std::string& pattern, int qos);
  bool UsesVersion5() const;
  // The highest QoS the broker takes on this connection: its CONNACK's Maximum QoS with MQTT 5,
  // 2 otherwise (3.1.1 says it only in a SUBACK).
  int MaximumQos() const;
  // QoS 1 and 2 messages published and not yet acknowledged by the broker.
  std::size_t Unacknowledged() const;

 private:
  static void OnConnect(mosquitto*, void* self, int reason, int flags,
                        const mosquitto_property* properties);
  static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                          const mosquitto_property*);
  static void OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                        const mosquitto_property* properties);
  static void OnQos2Publish(mosquitto*, void* self, const mosquitto_message* message,
                            const mosquitto_property* properties, bool resent);
  static void OnQos2Release(mosquitto*, void* self, int mid);
  static void OnBatch(mosquitto*, void* self, bool ends);
  void Deliver(Event event, const mosquitto_message* message, const mosquitto_property* properties);
  void Run();
  bool IsStopping();
  std::string LastErrorText();
  bool Connect();
  void Push(Event event);
  void HandOver();                                // what the read brought
  std::string Address(std::size_t broker) const;  // host:port, for the log
  // What a failed libmosquitto call returned, with OpenSSL's reason for a TLS failure.
  std::string Reason(int rc);
  // Why the last connection failed at the TLS level, as a user can act on it; "" otherwise.
  std::string TlsTrouble();
  void Pause(std::chrono::milliseconds wait);  // until then or until Stop

  Settings Settings_;
  mosquitto* Handle_ = nullptr;
  BridgeSystem::Wakeup Wakeup_;
  std::thread Thread_;
  mutable std::mutex Lock_;
  std::condition_variable Wake_;
  std::condition_variable Room_;  // the events have room again, or the client stops
  std::deque<Event> Events_;
  // The connection thread's alone: what a read of the network brought, handed over at its end
  // with one wakeup, once the journal has written it.
  bool Reading_ = false;
  std::vector<Event> Read_;
  bool Stopping_ = false;
  // Whether the next connect to the broker at hand goes at once with 3.1.1, from how the last
  // one ended: refused: its CONNACK refused the protocol version; silent: closed without one.
  bool FallBack(bool refused, bool silent);
  std::vector<bool> Version5_;  // per broker: the version its next connect offers
  std::vector<bool> Spoke5_;    // per broker: it accepted an MQTT 5 connect
  std::vector<bool> Took311_;   // per broker: it accepted 3.1.1 after MQTT 5 went unanswered
  int Silences_ = 0;            // MQTT 5 connects closed without an answer since one was accepted
  std::size_t Current_ = 0;     // the broker tried or connected now
  std::size_t Stride_ = 1;      // how far round the list the next attempt goes
  Backoff Backoff_;
  int MaximumQos_ = 2;
  // A message until the broker has it: a broker whose quota of messages in flight is full
  // refuses one (MQTT 5), which is then sent again.
  struct Waiting {
    std::string Topic;
    std::string Payload;
    int Qos = 1;
    bool Retain = false;
    bool HasCorrelation = false;
    std::string CorrelationData;
    std::uint64_t Tag = 0;
    int Attempts = 1;
  };
  // Hands the message to libmosquitto; its return code.
  int Send(const Waiting& message);
  mutable std::mutex AckLock_;             // for Unacknowledged_ alone
  std::map<int, Waiting> Unacknowledged_;  // by message id
  std::mt19937 Random_;
  int Refusal_ = 0;          // the broker's reason for refusing the last connect; 0: none
  bool Accepted_ = false;    // the broker accepted the last connect
  bool Finished_ = false;    // the thread has ended
  std::string LastError_;    // libmosquitto's last error message on this connection
  std::int64_t LostMs_ = 0;  // when and why the last accepted connection ended
  std::string LostReason_;
};

}  // namespace Mqtt
