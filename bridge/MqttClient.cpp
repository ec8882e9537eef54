#include "bridge/MqttClient.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "bridge/Log.h"

namespace Mqtt {
namespace {

using BridgeLog::Log;

constexpr int LongestBackoff = 60;

std::string Text(const void* data, std::size_t length) {
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), length);
}

}  // namespace

Client::Client(Settings settings) : Settings_(std::move(settings)) {
  Version5_ = Settings_.Version != BridgeConfig::Protocol::V311;
}

Client::~Client() {
  Stop();
  if (Handle_ != nullptr) {
    mosquitto_destroy(Handle_);
  }
  if (EventFd_ >= 0) {
    close(EventFd_);
  }
}

bool Client::Start(std::string& error) {
  mosquitto_lib_init();
  // A persistent session: what the broker takes for this client while it is away waits for it.
  Handle_ = mosquitto_new(Settings_.ClientId.c_str(), false, this);
  EventFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (Handle_ == nullptr || EventFd_ < 0) {
    error = "cannot make an MQTT client";
    return false;
  }
  // Publishes come from the caller's thread; the connection thread sends them.
  mosquitto_threaded_set(Handle_, true);
  // Brokers that miscount their messages in flight (Mosquitto 2.0.11, Debian 12's) can send an
  // MQTT 5 client more than its receive maximum, which libmosquitto answers by dropping the
  // connection: under load, every few commands. A maximum no broker reaches avoids that; the
  // broker's own limit on messages in flight still applies.
  mosquitto_int_option(Handle_, MOSQ_OPT_RECEIVE_MAXIMUM, 65535);
  // Commands and results are small packets in QoS 2 exchanges: each waits for the last, so
  // Nagle's algorithm would hold every one back for a delayed acknowledgement.
  mosquitto_int_option(Handle_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_v5_callback_set(Handle_, OnConnect);
  mosquitto_message_v5_callback_set(Handle_, OnMessage);
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
    rc = mosquitto_tls_set(Handle_, Settings_.CaFile.empty() ? nullptr : Settings_.CaFile.c_str(),
                           nullptr, nullptr, nullptr, nullptr);
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

void Client::Stop() {
  {
    std::lock_guard<std::mutex> guard(Lock_);
    if (Stopping_ || !Thread_.joinable()) {
      Stopping_ = true;
      return;
    }
    Stopping_ = true;
  }
  Wake_.notify_all();
  // Queued behind everything published so far; its sending wakes the connection thread.
  mosquitto_disconnect(Handle_);
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
  std::uint64_t count = 0;
  (void)!read(EventFd_, &count, sizeof count);
  std::lock_guard<std::mutex> guard(Lock_);
  std::vector<Event> events(Events_.begin(), Events_.end());
  Events_.clear();
  return events;
}

bool Client::Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                     const std::string* correlationData) {
  mosquitto_property* properties = nullptr;
  if (correlationData != nullptr && UsesVersion5()) {
    mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlationData->data(),
                                  static_cast<std::uint16_t>(correlationData->size()));
  }
  const int rc =
      mosquitto_publish_v5(Handle_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), qos, retain, properties);
  mosquitto_property_free_all(&properties);
  // Not connected: a QoS 0 message is dropped, the others wait for the connection.
  return rc == MOSQ_ERR_SUCCESS || (rc == MOSQ_ERR_NO_CONN && qos > 0);
}

bool Client::Subscribe(const std::string& pattern, int qos) {
  // MQTT 5 keeps the retain flag on messages forwarded live, so that a retained command is
  // told apart however it arrives.
  const int options = UsesVersion5() ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0;
  return mosquitto_subscribe_v5(Handle_, nullptr, pattern.c_str(), qos, options, nullptr) ==
         MOSQ_ERR_SUCCESS;
}

bool Client::UsesVersion5() const {
  std::lock_guard<std::mutex> guard(Lock_);
  return Version5_;
}

void Client::OnConnect(mosquitto*, void* self, int reason, int /*flags*/,
                       const mosquitto_property*) {
  auto* client = static_cast<Client*>(self);
  client->Refusal_ = reason;
  if (reason == 0) {
    client->Backoff_ = 1;
    client->Accepted_ = true;
    Log("connected to " + client->Address() + " (MQTT " + (client->UsesVersion5() ? "5" : "3.1.1") +
        ")");
    Event event;
    event.Kind = Event::Connected;
    client->Push(event);
  }
}

void Client::OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                       const mosquitto_property* properties) {
  Event event;
  event.Kind = Event::Message;
  event.Topic = message->topic;
  event.Payload = Text(message->payload, static_cast<std::size_t>(message->payloadlen));
  event.Retained = message->retain;
  void* correlation = nullptr;
  std::uint16_t length = 0;
  if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &length,
                                     false) != nullptr) {
    event.HasCorrelation = true;
    event.CorrelationData = Text(correlation, length);
    std::free(correlation);
  }
  char* response = nullptr;
  if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &response, false) !=
      nullptr) {
    event.ResponseTopic = response;
    std::free(response);
  }
  static_cast<Client*>(self)->Push(std::move(event));
}

void Client::Push(Event event) {
  {
    std::lock_guard<std::mutex> guard(Lock_);
    Events_.push_back(std::move(event));
  }
  const std::uint64_t one = 1;
  (void)!write(EventFd_, &one, sizeof one);
}

std::string Client::Address() const {
  return Settings_.Host + ":" + std::to_string(Settings_.Port);
}

std::string Client::Reason(int rc) {
  std::string reason = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
  // libmosquitto says why TLS failed (a certificate that does not check out) only in its log.
  const std::string detail = LastErrorText();
  return rc == MOSQ_ERR_TLS && !detail.empty() ? reason + " " + detail : reason;
}

void Client::Pause(int seconds) {
  std::unique_lock<std::mutex> guard(Lock_);
  Wake_.wait_for(guard, std::chrono::seconds(seconds), [this] { return Stopping_; });
}

bool Client::Connect() {
  mosquitto_int_option(Handle_, MOSQ_OPT_PROTOCOL_VERSION,
                       UsesVersion5() ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
  int rc = MOSQ_ERR_SUCCESS;
  if (UsesVersion5()) {
    // An MQTT 5 session ends with the connection unless it is given a lifetime: none at all.
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 0xFFFFFFFFu);
    // No message of any size the network sends is held: a command is at most 64 bytes, and
    // one up to this size still gets its result.
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, 65536);
    rc = mosquitto_connect_bind_v5(Handle_, Settings_.Host.c_str(), Settings_.Port,
                                   Settings_.Keepalive, nullptr, properties);
    mosquitto_property_free_all(&properties);
  } else {
    rc = mosquitto_connect(Handle_, Settings_.Host.c_str(), Settings_.Port, Settings_.Keepalive);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    Log("cannot connect to " + Address() + ": " + Reason(rc) + "; retrying in " +
        std::to_string(Backoff_) + " s");
    return false;
  }
  return true;
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
      const bool protocolRefused = Refusal_ == CONNACK_REFUSED_PROTOCOL_VERSION ||
                                   Refusal_ == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                                   (Refusal_ == 0 && rc == MOSQ_ERR_PROTOCOL && !Accepted_);
      if (protocolRefused && Settings_.Version == BridgeConfig::Protocol::Auto && UsesVersion5()) {
        Log("the broker does not speak MQTT 5: using 3.1.1");
        std::lock_guard<std::mutex> guard(Lock_);
        Version5_ = false;
        continue;
      }
      if (Refusal_ != 0) {
        Log("the broker at " + Address() + " refused the connection: " +
            (UsesVersion5() ? mosquitto_reason_string(Refusal_)
                            : mosquitto_connack_string(Refusal_)) +
            (Refusal_ == CONNACK_REFUSED_BAD_USERNAME_PASSWORD ||
                     Refusal_ == CONNACK_REFUSED_NOT_AUTHORIZED ||
                     Refusal_ == MQTT_RC_BAD_USERNAME_OR_PASSWORD ||
                     Refusal_ == MQTT_RC_NOT_AUTHORIZED
                 ? " (check username and password_file)"
                 : "") +
            "; retrying in " + std::to_string(Backoff_) + " s");
      } else {
        Log("connection to " + Address() + " ended (" + Reason(rc) + "); retrying in " +
            std::to_string(Backoff_) + " s");
      }
    }
    Pause(Backoff_);
    Backoff_ = std::min(Backoff_ * 2, LongestBackoff);
  }
  std::lock_guard<std::mutex> guard(Lock_);
  Finished_ = true;
  Wake_.notify_all();
}

}  // namespace Mqtt
