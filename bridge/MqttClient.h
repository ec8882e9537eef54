// The one wrapper around libmosquitto: a connection kept on a thread of its own, with
// reconnects on a doubling backoff (1 s up to 60 s), MQTT 5 where the broker offers it and
// 3.1.1 otherwise, a persistent session, and a last will. Connects and messages reach the
// caller as events, announced on a file descriptor its own poll loop watches.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/BridgeConfig.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace Mqtt {

struct Settings {
  std::string Host;
  int Port = 1883;
  bool Tls = false;
  std::string CaFile;  // empty: the system's certificate authorities
  std::string Username;
  std::string Password;
  std::string ClientId;
  int Keepalive = 60;
  BridgeConfig::Protocol Version = BridgeConfig::Protocol::Auto;
  std::string WillTopic;  // published retained, QoS 1, when the connection is lost
  std::string WillPayload;
};

struct Event {
  enum KindType { Connected, Message };
  KindType Kind = Message;
  std::string Topic;
  std::string Payload;
  bool Retained = false;
  bool HasCorrelation = false;
  std::string CorrelationData;
  std::string ResponseTopic;
};

class Client {
 public:
  explicit Client(Settings settings);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Starts the connection thread; false with the reason when the settings cannot work.
  bool Start(std::string& error);
  // Disconnects cleanly (what was published before goes out first) and ends the thread.
  void Stop();

  // Readable while events wait; TakeEvents empties it.
  int EventFd() const { return EventFd_; }
  std::vector<Event> TakeEvents();

  // Queued for sending whether or not a connection is up; a QoS 1 or 2 message waits for the
  // next connection. With MQTT 5, correlation data goes along when given.
  bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
               const std::string* correlationData = nullptr);
  bool Subscribe(const std::string& pattern, int qos);
  bool UsesVersion5() const;

 private:
  static void OnConnect(mosquitto*, void* self, int reason, int flags, const mosquitto_property*);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                        const mosquitto_property* properties);
  void Run();
  bool IsStopping();
  std::string LastErrorText();
  bool Connect();
  void Push(Event event);
  std::string Address() const;  // host:port, for the log
  // What a failed libmosquitto call returned, with OpenSSL's reason for a TLS failure.
  std::string Reason(int rc);
  void Pause(int seconds);  // until then or until Stop

  Settings Settings_;
  mosquitto* Handle_ = nullptr;
  int EventFd_ = -1;
  std::thread Thread_;
  mutable std::mutex Lock_;
  std::condition_variable Wake_;
  std::deque<Event> Events_;
  bool Stopping_ = false;
  bool Version5_ = true;
  int Backoff_ = 1;
  int Refusal_ = 0;        // the broker's reason for refusing the last connect; 0: none
  bool Accepted_ = false;  // the broker accepted the last connect
  bool Finished_ = false;  // the thread has ended
  std::string LastError_;  // libmosquitto's last error message on this connection
};

}  // namespace Mqtt
