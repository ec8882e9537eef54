#include "bridge/mqtt/MqttClient.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/Log.h"

namespace Mqtt {
namespace {

using BridgeLog::Log;

// MQTT 5 connects closed without an answer in a row before auto takes 3.1.1: a broker that is
// stopping or starting closes one so too, and one such moment must not decide the version.
constexpr int SilencesBefore311 = 3;
// How often a message the broker refused for a full quota is sent again before it is given up.
constexpr int ResendLimit = 100;
constexpr int ReceiveMaximum = 20;

std::string Text(const void* data, std::size_t length, std::size_t limit) {
  return data == nullptr ? std::string()
                         : std::string(static_cast<const char*>(data), std::min(length, limit));
}

// A wait in seconds with one decimal, for the log.
std::string Seconds(std::chrono::milliseconds wait) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(wait.count()) / 1000.0);
  return text;
}

}  // namespace

Client::Client(Settings settings)
    : Settings_(std::move(settings)),
      Version5_(Settings_.Brokers.size(), Settings_.Version != BridgeConfig::Protocol::V311),
      Spoke5_(Settings_.Brokers.size(), false),
      Took311_(Settings_.Brokers.size(), false),
      Current_(Settings_.Brokers.empty() ? 0 : Settings_.BrokerHash % Settings_.Brokers.size()),
      Stride_(Stride(Settings_.BrokerHash, Settings_.Brokers.size())),
      Backoff_(Settings_.Brokers.size()),
      Random_(std::random_device{}()) {}

Client::~Client() {
  Stop();
  if (Handle_ != nullptr) {
    mosquitto_destroy(Handle_);
  }
}

bool Client::Start(std::string& error) {
  mosquitto_lib_init();
  // A persistent session: what the broker takes for this client while it is away waits for it.
  Handle_ = mosquitto_new(Settings_.ClientId.c_str(), false, this);
  if (Handle_ == nullptr || !Wakeup_.Valid() || Settings_.Brokers.empty()) {
    error = "cannot make an MQTT client";
    return false;
  }
  // Publishes come from the caller's thread; the connection thread sends them.
  mosquitto_threaded_set(Handle_, true);
  // No more messages in flight to this client than a broker restores after its own restart
  // (Mosquitto 2.0.11: max_inflight_messages, 20 by default): those beyond it it sends again as
  // new messages, which a command would run twice from. QoS 2 messages are handed over at their
  // PUBLISH and held by the caller, so libmosquitto counts none of them against this maximum,
  // and a broker that miscounts its messages in flight cannot make it drop the connection.
  mosquitto_int_option(Handle_, MOSQ_OPT_RECEIVE_MAXIMUM, ReceiveMaximum);
  // Commands and results are small packets in QoS 2 exchanges: each waits for the last, so
  // Nagle's algorithm would hold every one back for a delayed acknowledgement.
  mosquitto_int_option(Handle_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_v5_callback_set(Handle_, OnConnect);
  mosquitto_subscribe_v5_callback_set(Handle_, OnSubscribe);
  mosquitto_publish_v5_callback_set(Handle_, OnPublish);
  mosquitto_message_v5_callback_set(Handle_, OnMessage);
  mosquitto_qos2_callbacks_set(Handle_, OnQos2Publish, OnQos2Release);
  mosquitto_read_batch_callback_set(Handle_, OnBatch);
  // libmosquitto says why a TLS connection failed (the certificate's check, say) only here.
  mosquitto_log_callback_set(Handle_, [](mosquitto*, void* self, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr) {
      auto* client = static_cast<Client*>(self);
      std::lock_guard<std::mutex> guard(client->Lock_);  // any thread that calls in may log
      client->LastError_ = text;
    }
  });
  int rc = MOSQ_ERR_SUCCESS;
  if (!Settings_.Username.empty()) {
    rc = mosquitto_username_pw_set(
        Handle_, Settings_.Username.c_str(),
        Settings_.Password.empty() ? nullptr : Settings_.Password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && Settings_.Tls) {
    // Certificates are always checked, host name included: there is no way to turn that off.
    if (Settings_.CaFile.empty()) {
      mosquitto_int_option(Handle_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }
    const auto optional = [](const std::string& text) {
      return text.empty() ? nullptr : text.c_str();
    };
    rc = mosquitto_tls_set(Handle_, optional(Settings_.CaFile), nullptr,
                           optional(Settings_.CertFile), optional(Settings_.KeyFile), nullptr);
    if (rc == MOSQ_ERR_SUCCESS) {
      rc = mosquitto_tls_opts_set(Handle_, 1, nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
      rc = mosquitto_tls_insecure_set(Handle_, false);
    }
  }
  if (rc == MOSQ_ERR_SUCCESS && !Settings_.WillTopic.empty()) {
    rc = mosquitto_will_set(Handle_, Settings_.WillTopic.c_str(),
                            static_cast<int>(Settings_.WillPayload.size()),
                            Settings_.WillPayload.data(), 1, true);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    error = std::string("MQTT settings: ") + mosquitto_strerror(rc);
    return false;
  }
  Thread_ = std::thread([this] { Run(); });
  return true;
}

void Client::Stop(bool withWill) {
  {
    std::lock_guard<std::mutex> guard(Lock_);
    if (Stopping_ || !Thread_.joinable()) {
      Stopping_ = true;
      return;
    }
    Stopping_ = true;
  }
  Wake_.notify_all();
  Room_.notify_all();
  if (withWill) {
    // A connection that ends without a DISCONNECT is what makes a broker send the will.
    BridgeSystem::DropConnection(mosquitto_socket(Handle_));
  } else {
    // Queued behind everything published so far; its sending wakes the connection thread.
    mosquitto_disconnect(Handle_);
  }
  // A connect to a host that does not answer blocks for as long as TCP tries: the process may
  // end without waiting for it.
  std::unique_lock<std::mutex> guard(Lock_);
  if (Wake_.wait_for(guard, std::chrono::seconds(3), [this] { return Finished_; })) {
    guard.unlock();
    Thread_.join();
  } else {
    Thread_.detach();
    Handle_ = nullptr;  // still the thread's
  }
}

std::vector<Event> Client::TakeEvents() {
  Wakeup_.Clear();
  std::lock_guard<std::mutex> guard(Lock_);
  std::vector<Event> events(Events_.begin(), Events_.end());
  Events_.clear();
  Room_.notify_all();
  return events;
}

int Client::Send(const Waiting& message) {
  mosquitto_property* properties = nullptr;
  if (message.HasCorrelation && UsesVersion5()) {
    mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                  message.CorrelationData.data(),
                                  static_cast<std::uint16_t>(message.CorrelationData.size()));
  }
  int mid = 0;
  // The lock keeps the acknowledgement, which the connection thread may see at once, after the
  // message id is noted.
  std::lock_guard<std::mutex> guard(AckLock_);
  const int rc = mosquitto_publish_v5(
      Handle_, &mid, message.Topic.c_str(), static_cast<int>(message.Payload.size()),
      message.Payload.data(), message.Qos, message.Retain, properties);
  mosquitto_property_free_all(&properties);
  // Not connected: a QoS 0 message is dropped, the others wait for the connection.
  if (message.Qos > 0 && (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN)) {
    Unacknowledged_[mid] = message;
  }
  return rc;
}

std::string Client::Publish(const std::string& topic, const std::string& payload, int qos,
                            bool retain, const std::string* correlationData, bool* lasting,
                            std::uint64_t tag) {
  Waiting message;
  message.Topic = topic;
  message.Payload = payload;
  message.Qos = qos;
  message.Retain = retain;
  message.HasCorrelation = correlationData != nullptr;
  message.CorrelationData = correlationData != nullptr ? *correlationData : std::string();
  message.Tag = tag;
  const int rc = Send(message);
  if (rc == MOSQ_ERR_SUCCESS || (rc == MOSQ_ERR_NO_CONN && qos > 0)) {
    if (qos == 0 && tag != 0 && Settings_.Acknowledged) {
      Settings_.Acknowledged(tag);  // nothing more will come of it
    }
    return std::string();
  }
  if (lasting != nullptr) {
    *lasting = rc != MOSQ_ERR_NO_CONN && rc != MOSQ_ERR_QOS_NOT_SUPPORTED && rc != MOSQ_ERR_NOMEM;
  }
  return mosquitto_strerror(rc);
}

int Client::Subscribe(const std::string& pattern, int qos) {
  // MQTT 5 keeps the retain flag on messages forwarded live, so that a retained command is
  // told apart however it arrives.
  const int options = UsesVersion5() ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0;
  int mid = 0;
  return mosquitto_subscribe_v5(Handle_, &mid, pattern.c_str(), qos, options, nullptr) ==
                 MOSQ_ERR_SUCCESS
             ? mid
             : -1;
}

bool Client::UsesVersion5() const {
  std::lock_guard<std::mutex> guard(Lock_);
  return Version5_[Current_];
}

int Client::MaximumQos() const {
  std::lock_guard<std::mutex> guard(Lock_);
  return MaximumQos_;
}

std::size_t Client::Unacknowledged() const {
  std::lock_guard<std::mutex> guard(AckLock_);
  return Unacknowledged_.size();
}

void Client::OnConnect(mosquitto*, void* self, int reason, int flags,
                       const mosquitto_property* properties) {
  auto* client = static_cast<Client*>(self);
  client->Refusal_ = reason;
  if (reason == 0) {
    // No session: the broker has forgotten the QoS 2 messages it had not released, and sends
    // no PUBREL for them. Before any message of this connection is read.
    if ((flags & 1) == 0 && client->Settings_.Released) {
      client->Settings_.Released(0);
    }
    std::uint8_t maximum = 2;  // absent: all of them
    mosquitto_property_read_byte(properties, MQTT_PROP_MAXIMUM_QOS, &maximum, false);
    {
      std::lock_guard<std::mutex> guard(client->Lock_);
      client->Backoff_.Reset();
      client->Accepted_ = true;
      if (client->Version5_[client->Current_]) {
        client->Spoke5_[client->Current_] = true;
        client->Silences_ = 0;
      }
      client->MaximumQos_ = std::min<int>(maximum, 2);
    }
    Log("connected to " + client->Address(client->Current_) + " (MQTT " +
        (client->UsesVersion5() ? "5" : "3.1.1") + ")");
    Event event;
    event.Kind = Event::Connected;
    event.Broker = client->Address(client->Current_);
    {
      std::lock_guard<std::mutex> guard(client->Lock_);
      event.LostMs = client->LostMs_;
      event.LostReason = client->LostReason_;
    }
    client->Push(event);
  }
}

void Client::OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                         const mosquitto_property*) {
  Event event;
  event.Kind = Event::Subscribed;
  event.Mid = mid;
  event.GrantedQos = count > 0 && granted != nullptr ? granted[0] : 128;
  static_cast<Client*>(self)->Push(event);
}

void Client::OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
  auto* client = static_cast<Client*>(self);
  Waiting waiting;
  {
    std::lock_guard<std::mutex> guard(client->AckLock_);
    const auto found = client->Unacknowledged_.find(mid);
    if (found == client->Unacknowledged_.end()) {
      return;  // QoS 0
    }
    waiting = found->second;
    client->Unacknowledged_.erase(found);
  }
  const std::string& topic = waiting.Topic;
  // MQTT 5: the broker answered, and did not take it. Its quota of messages in flight was full
  // (Mosquitto 2.0.11 counts wrongly after a burst), or the message id still in use: sent again,
  // and only then lost for good.
  const bool again = reason == MQTT_RC_QUOTA_EXCEEDED || reason == MQTT_RC_PACKET_ID_IN_USE;
  if (again && waiting.Attempts < ResendLimit) {
    ++waiting.Attempts;
    const int rc = client->Send(waiting);
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
      return;
    }
  }
  // Refused or not, the broker has answered for it: no later connection sends it again.
  if (waiting.Tag != 0 && client->Settings_.Acknowledged) {
    client->Settings_.Acknowledged(waiting.Tag);
  }
  if (reason >= 0x80) {
    Log("the broker did not take the message to \"" + topic +
        "\": " + mosquitto_reason_string(reason) +
        (again ? " (" + std::to_string(waiting.Attempts) + " times)" : ""));
  }
}

void Client::OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                       const mosquitto_property* properties) {
  // libmosquitto has queued its acknowledgement (PUBACK) and sends it only once this returns.
  static_cast<Client*>(self)->Deliver(Event(), message, properties);
}

void Client::OnQos2Publish(mosquitto*, void* self, const mosquitto_message* message,
                           const mosquitto_property* properties, bool resent) {
  // The PUBREC goes once this returns.
  Event event;
  event.Mid = message->mid;
  event.Resent = resent;
  static_cast<Client*>(self)->Deliver(std::move(event), message, properties);
}

void Client::OnQos2Release(mosquitto*, void* self, int mid) {
  auto* client = static_cast<Client*>(self);
  if (client->Settings_.Released) {
    client->Settings_.Released(mid);  // the PUBCOMP goes once this returns
  }
}

void Client::OnBatch(mosquitto*, void* self, bool ends) {
  auto* client = static_cast<Client*>(self);
  const Settings& settings = client->Settings_;
  const auto& call = ends ? settings.BatchEnds : settings.BatchBegins;
  if (call) {
    call();
  }
  client->Reading_ = !ends;
  if (ends) {
    client->HandOver();
  }
}

void Client::Deliver(Event event, const mosquitto_message* message,
                     const mosquitto_property* properties) {
  const std::size_t limit = Settings_.FieldLimit + 1;
  event.Kind = Event::Message;
  event.Topic = Text(message->topic, std::strlen(message->topic), limit);
  event.Payload = Text(message->payload, static_cast<std::size_t>(message->payloadlen), limit);
  event.Retained = message->retain;
  void* correlation = nullptr;
  std::uint16_t length = 0;
  if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &length,
                                     false) != nullptr) {
    event.HasCorrelation = true;
    event.CorrelationData = Text(correlation, length, limit);
    std::free(correlation);
  }
  char* response = nullptr;
  if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &response, false) !=
      nullptr) {
    event.ResponseTopic = Text(response, std::strlen(response), limit);
    std::free(response);
  }
  std::uint32_t expiry = 0;
  if (mosquitto_property_read_int32(properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry,
                                    false) != nullptr) {
    event.ExpirySeconds = static_cast<long>(expiry);
  }
  if (Settings_.Taking) {
    event.Tag = Settings_.Taking(event);
    if (event.Tag == Resend) {
      return;  // taken before: acknowledged again, and nothing more
    }
  }
  Push(std::move(event));
}

void Client::Push(Event event) {
  if (Reading_) {
    Read_.push_back(std::move(event));
    return;
  }
  {
    std::unique_lock<std::mutex> guard(Lock_);
    // The network waits while the caller is behind: what the broker sends stays with it, and
    // its own limit on messages in flight holds the rest.
    Room_.wait(guard, [this] { return Events_.size() < Settings_.EventLimit || Stopping_; });
    if (Events_.size() >= Settings_.EventLimit) {
      return;  // stopping, and nobody takes them
    }
    Events_.push_back(std::move(event));
  }
  Wakeup_.Raise();
}

void Client::HandOver() {
  if (Read_.empty()) {
    return;
  }
  {
    std::unique_lock<std::mutex> guard(Lock_);
    for (Event& event : Read_) {
      if (Events_.size() >= Settings_.EventLimit) {
        guard.unlock();
        Wakeup_.Raise();  // the caller makes room only once woken
        guard.lock();
        Room_.wait(guard, [this] { return Events_.size() < Settings_.EventLimit || Stopping_; });
        if (Events_.size() >= Settings_.EventLimit) {
          break;  // stopping, and nobody takes them
        }
      }
      Events_.push_back(std::move(event));
    }
  }
  Read_.clear();
  Wakeup_.Raise();
}

std::string Client::Address(std::size_t broker) const {
  const BridgeConfig::Broker& entry = Settings_.Brokers[broker];
  const bool bracketed = entry.Host.find(':') != std::string::npos;
  return (bracketed ? "[" + entry.Host + "]" : entry.Host) + ":" + std::to_string(entry.Port);
}

std::string Client::Reason(int rc) {
  std::string reason = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
  // libmosquitto says why TLS failed (a certificate that does not check out) only in its log.
  const std::string detail = LastErrorText();
  return rc == MOSQ_ERR_TLS && !detail.empty() ? reason + " " + detail : reason;
}

std::string Client::TlsTrouble() {
  if (!Settings_.Tls) {
    return std::string();
  }
  const std::string error = LastErrorText();
  const auto says = [&](const char* text) { return error.find(text) != std::string::npos; };
  if (says("certificate required") || (says("handshake failure") && Settings_.CertFile.empty())) {
    return Settings_.CertFile.empty()
               ? "the broker asked for a client certificate and got none (set cert_file and "
                 "key_file)"
               : "the broker asked for a client certificate";
  }
  if (says("alert bad certificate") || says("alert unknown ca") ||
      says("alert certificate unknown") || says("alert certificate expired") ||
      says("alert certificate revoked") || says("alert unsupported certificate") ||
      says("alert access denied")) {
    return "the broker refused the client certificate in " + Settings_.CertFile + " (" + error +
           ")";
  }
  return says("SSL") ? error : std::string();
}

void Client::Pause(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(Lock_);
  Wake_.wait_for(guard, wait, [this] { return Stopping_; });
}

bool Client::Connect() {
  const BridgeConfig::Broker& broker = Settings_.Brokers[Current_];
  const bool version5 = UsesVersion5();
  mosquitto_int_option(Handle_, MOSQ_OPT_PROTOCOL_VERSION,
                       version5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
  int rc = MOSQ_ERR_SUCCESS;
  if (version5) {
    // An MQTT 5 session ends with the connection unless it is given a lifetime: none at all.
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 0xFFFFFFFFu);
    // No message of any size the network sends is held: a command is at most 64 bytes, and
    // one up to this size still gets its result.
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, 65536);
    rc = mosquitto_connect_bind_v5(Handle_, broker.Host.c_str(), broker.Port, Settings_.Keepalive,
                                   nullptr, properties);
    mosquitto_property_free_all(&properties);
  } else {
    rc = mosquitto_connect(Handle_, broker.Host.c_str(), broker.Port, Settings_.Keepalive);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    const std::string trouble = TlsTrouble();
    Log("cannot connect to " + Address(Current_) + ": " + (trouble.empty() ? Reason(rc) : trouble));
    return false;
  }
  return true;
}

bool Client::FallBack(bool refused, bool silent) {
  const std::size_t broker = Current_;
  const auto offer5 = [&](bool version5) {
    std::lock_guard<std::mutex> guard(Lock_);
    Version5_[broker] = version5;
  };
  if (!UsesVersion5()) {
    // 3.1.1 lasts one connection: the next round of the list offers MQTT 5 again.
    Took311_[broker] = Took311_[broker] || Accepted_;
    offer5(true);
    return false;
  }
  // A broker that does not speak MQTT 5 refuses it, or (RabbitMQ) closes the connection without
  // a word. One that is stopping does the same, so a silence says so only after several in a row,
  // or where 3.1.1 worked after one before, and never where MQTT 5 has worked.
  Silences_ += silent ? 1 : 0;
  const bool fall = refused || (silent && !Spoke5_[broker] &&
                                (Silences_ >= SilencesBefore311 || Took311_[broker]));
  if (fall) {
    offer5(false);
    Log(Address(broker) + " did not take an MQTT 5 connect: trying 3.1.1");
  }
  return fall;
}

std::string Client::LastErrorText() {
  std::lock_guard<std::mutex> guard(Lock_);
  return LastError_;
}

bool Client::IsStopping() {
  std::lock_guard<std::mutex> guard(Lock_);
  return Stopping_;
}

void Client::Run() {
  const bool several = Settings_.Brokers.size() > 1;
  while (!IsStopping()) {
    Refusal_ = 0;
    Accepted_ = false;
    {
      std::lock_guard<std::mutex> guard(Lock_);
      LastError_.clear();
    }
    if (Connect()) {
      if (IsStopping()) {
        mosquitto_disconnect(Handle_);  // Stop's came before there was a connection
      }
      int rc = MOSQ_ERR_SUCCESS;
      // Waits for traffic, or until the keep-alive needs a ping: no other wakeups.
      while (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop(Handle_, Settings_.Keepalive * 1000, 1);
      }
      if (IsStopping()) {
        break;
      }
      const std::string trouble = TlsTrouble();
      const std::string reason = Reason(rc);  // before a log line changes errno
      const bool refused = Refusal_ == CONNACK_REFUSED_PROTOCOL_VERSION ||
                           Refusal_ == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
      const bool silent = Refusal_ == 0 && !Accepted_ && trouble.empty() &&
                          (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_CONN_LOST);
      if (Settings_.Version == BridgeConfig::Protocol::Auto && FallBack(refused, silent)) {
        continue;
      }
      if (!trouble.empty()) {
        Log("connection to " + Address(Current_) + " failed: " + trouble);
      } else if (Refusal_ != 0) {
        Log("the broker at " + Address(Current_) + " refused the connection: " +
            (UsesVersion5() ? mosquitto_reason_string(Refusal_)
                            : mosquitto_connack_string(Refusal_)) +
            (Refusal_ == CONNACK_REFUSED_BAD_USERNAME_PASSWORD ||
                     Refusal_ == CONNACK_REFUSED_NOT_AUTHORIZED ||
                     Refusal_ == MQTT_RC_BAD_USERNAME_OR_PASSWORD ||
                     Refusal_ == MQTT_RC_NOT_AUTHORIZED
                 ? " (check username and password_file)"
                 : ""));
      } else {
        Log("connection to " + Address(Current_) + " ended (" + reason + ")");
      }
      if (Accepted_) {
        std::lock_guard<std::mutex> guard(Lock_);
        LostMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
        LostReason_ = !trouble.empty() ? trouble : reason;
      }
    }
    std::chrono::milliseconds wait{0};
    {
      std::lock_guard<std::mutex> guard(Lock_);
      Current_ = (Current_ + Stride_) % Settings_.Brokers.size();
      wait = std::chrono::milliseconds(
          Backoff_.Next(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count(),
                        Random_));
    }
    Log(several ? "trying " + Address(Current_) + " in " + Seconds(wait) + " s"
                : "retrying in " + Seconds(wait) + " s");
    Pause(wait);
  }
  std::lock_guard<std::mutex> guard(Lock_);
  Finished_ = true;
  Wake_.notify_all();
}

}  // namespace Mqtt
