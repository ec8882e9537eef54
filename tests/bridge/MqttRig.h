// The bridge's test rig: a real Mosquitto broker started on loopback with a random port, a
// password file, an ACL and persistence; a peer that publishes commands and collects what the
// bridge publishes; and the unmodified zendrocast-mqtt in the emulated hidraw namespace.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/emulated/HidrawEmulator.h"
#include "tests/realstack/DeviceProgram.h"

struct mosquitto;

namespace MqttRig {

// Why this machine cannot run the rig (not root, no FUSE where the boxes are emulated, no
// mosquitto); "" when it can.
std::string Unavailable(bool emulatedBoxes = true);

struct Broker {
  std::string Folder;  // configuration, password file, ACL, certificates, persistence
  int Port = 0;
  bool Tls = false;  // a TLS listener whose certificate a CA of the folder signed
  int MaxQos = 2;    // what it takes: 1 is what AWS IoT Core, Azure and RabbitMQ take
  // A second listener on TlsPort that takes only clients with a certificate the folder's CA
  // signed (client.pem and client.key, for the user "bridge"), whom it knows by it alone.
  bool ClientCertificates = false;
  int TlsPort = 0;
  // A listener on WebSocketPort for MQTT over WebSockets that also serves this folder's files.
  std::string HttpDir;
  int WebSocketPort = 0;
  bool Verbose = false;  // logs every packet and every save of its persistence
  // Saves its persistence at every change (a broker killed outright keeps what it accepted), and
  // keeps at most Mosquitto's 1,000 messages queued per client. false: as Mosquitto does by
  // default (every 30 minutes and at its stop), and no limit on a queue, so that a flood's cost
  // is the bridge's and not that of the broker writing thousands of queued messages at each one.
  bool SavesEveryChange = true;
  pid_t Pid = -1;
  // Users, with the bridge reference's ACLs taken from doc/bridge.md itself: "zendrocast-pi1"
  // (password "bridge-secret"), the bridge of node pi1; "fleet-page" ("page-secret") and
  // "home-assistant"
  // ("home-secret"). Besides: "bridge" ("bridge-secret"), with the bridge's ACL for any node, and
  // "peer" ("peer-secret"), who may read and write everything.
  void Start();
  void Stop(int signal);  // SIGTERM saves the persistence file, SIGKILL does not
  // Verbose: waits until it has saved its persistence after its last exchange with the client.
  bool WaitForSave(const std::string& client, int seconds) const;
};

// RabbitMQ with its MQTT plugin (3.1.1 only, QoS 1 at most) and its MQTT over WebSockets, a node
// of its own with its own folder and ports, run as the rabbitmq user. Users: "bridge" (password
// "bridge-secret"). A node of a cluster shares the cluster's epmd and cookie, and keeps each
// MQTT session's queue as a quorum queue, replicated over the cluster.
struct RabbitBroker {
  std::string Folder;
  std::string Name;  // its node name, NAME@localhost
  int Port = 0;      // MQTT
  int WebPort = 0;   // MQTT over WebSockets: ws://127.0.0.1:WebPort/ws
  int EpmdPort = 0;  // a cluster's; 0: an epmd of its own
  pid_t Pid = -1;
  void Start(bool wait = true);     // waits until MQTT is served
  void Stop(int signal = SIGKILL);  // SIGTERM: a clean shutdown, its queues saved
  // rabbitmqctl on this node; false when it fails (its output in Folder/ctl.log).
  bool Control(const std::string& arguments) const;
  std::string ControlOutput(const std::string& arguments) const;  // its output; empty on failure
};

// Three RabbitMQ nodes on loopback, one cluster.
struct RabbitCluster {
  ~RabbitCluster() { Stop(); }
  RabbitBroker Nodes[3];
  pid_t Epmd = -1;
  // The three at once, then the second and the third join the first. Its users: "bridge"
  // (password "bridge-secret", all rights), and as the bridge reference gives them,
  // "zendrocast-pi1" (the bridge of node pi1, password "bridge-secret"), "fleet-page" (password
  // "page-secret") and "home-assistant" (password "home-secret").
  void Start();
  void Stop();
  std::string Hosts() const;  // the nodes' MQTT listeners, as the bridge's host key takes them
};

// A TCP proxy on loopback between clients and a broker that reads the MQTT packets going each way
// and can hold back one kind: the client's PUBRECs or PUBCOMPs, the broker's PUBRELs, or its
// CONNACK, which it answers by closing the connection (as a broker that stops during a connect).
class Proxy {
 public:
  enum Kind { Nothing, Pubrec, Pubcomp, Pubrel, Connack };
  ~Proxy() { Stop(); }
  void Start(int brokerPort);  // clients then connect to Port
  void Stop();
  // The next count packets of that kind are dropped, never forwarded.
  void Hold(Kind kind, int count);
  int Held() const;  // dropped so far
  void CloseAll();   // ends every connection through it, as a network that fails
  int Port = 0;

 private:
  void Run();
  int Target_ = 0;
  int Listener_ = -1;
  int Wake_[2] = {-1, -1};
  std::thread Thread_;
  mutable std::mutex Lock_;
  Kind Kind_ = Nothing;
  int Left_ = 0;
  int Held_ = 0;
  bool Closing_ = false;
  bool Stopping_ = false;
};

// A static web server on loopback (Python's http.server), as any would serve the fleet page.
struct StaticServer {
  int Port = 0;
  pid_t Pid = -1;
  void Start(const std::string& folder);  // waits until it serves
  void Stop();
};

struct Received {
  std::chrono::steady_clock::time_point At;  // when the peer had it
  std::string Topic;
  std::string Payload;
  bool Retained = false;
  std::string CorrelationData;
};

// A client of the broker as the user "peer", with MQTT 5 (or 3.1.1).
class Peer {
 public:
  explicit Peer(int port, const std::string& clientId = "zendrocast-test-peer",
                const std::string& user = "peer", const std::string& password = "peer-secret",
                bool version5 = true);
  ~Peer();
  // Returns once the broker has granted it.
  void Subscribe(const std::string& pattern);
  // QoS 2 (or qos); with MQTT 5 properties when given. Returns its message id.
  int Publish(const std::string& topic, const std::string& payload, bool retain = false,
              const std::string& correlationData = "", const std::string& responseTopic = "",
              int qos = 2);
  // Whether the broker has acknowledged the message with that id (PUBACK or PUBCOMP).
  bool Acknowledged(int mid);
  std::vector<Received> Messages(const std::string& topic);
  // Waits until test(messages on topic) holds; false after the timeout.
  bool WaitFor(const std::string& topic,
               const std::function<bool(const std::vector<Received>&)>& test, int seconds);
  // Waits until the last message on topic is payload; false after the timeout.
  bool WaitForLast(const std::string& topic, const std::string& payload, int seconds);

 private:
  static void OnMessage(mosquitto*, void* self, const void* message, const void* properties);
  mosquitto* Handle_ = nullptr;
  std::mutex Lock_;
  std::condition_variable Arrived_;
  std::vector<Received> Messages_;
  std::set<int> Granted_;       // subscriptions the broker answered, by message id
  std::set<int> Acknowledged_;  // messages it acknowledged, by message id
  bool Disconnected_ = false;   // the connection ended (and was perhaps taken up again)
};

// zendrocast-mqtt running in a namespace whose only hidraw nodes are the emulator's.
struct Bridge {
  ~Bridge() { Stop(SIGKILL); }
  std::string Root;  // the emulated system's root (EmulatedSystem::MakeRoot)
  std::string
      Config;  // the configuration file's text (with a journal in Folder, unless it names one)
  std::string Folder;    // where its configuration and log are
  std::string Launcher;  // Wine's loader, for the Windows bridge; it reads Z:\ paths
  pid_t Pid = -1;
  void Start(const std::vector<HidrawEmulator::Node>& nodes);
  int Stop(int signal);   // returns the exit status
  int Wait(int seconds);  // for its own exit: the exit status, or -1 while it still runs
  std::string Log() const;
  // Waits until the log holds text (count times); false after the timeout.
  bool WaitForLog(const std::string& text, int seconds, int count = 1) const;
  // Waits until its journal holds count commands whose results the broker has not yet
  // acknowledged (a kill before then may give an answered command's result once more at the
  // next start, as the bridge reference says), and, withHeld, those kept only until the broker
  // releases their QoS 2 packet ids. false after the timeout.
  bool WaitForJournal(std::size_t count, int seconds, bool withHeld = false) const;
  int CountInLog(const std::string& text) const;
};

// The uhid device program (tests/realstack) making real HID devices, for the kernel VM.
struct UhidDevices {
  DeviceProgram Program;
  std::string Log;
  // Starts it with devices NAME,VVVV:PPPP,DESCRIPTOR[,setting...] and waits until it is ready.
  void Start(const std::string& program, const std::vector<std::string>& devices);
  // The reports each device took so far (each "LENGTH HEX..."), by device name.
  std::vector<std::string> Reports(const std::string& name);
  void Stop() { Program.Stop(); }  // destroys the devices: an unplug, as the kernel sees it
};

// The index of the cluster's node whose MQTT port the bridge's last connect names; -1: none.
int NodeOf(const Bridge& bridge, const RabbitCluster& cluster);

// The configuration for a bridge that connects to the broker as "bridge"; drive comes before
// the rig's paths ("Z:" for the Windows bridge under Wine).
std::string BridgeConfig(const Broker& broker, const std::string& extra = "",
                         const std::string& drive = "");

// The value of a key of a flat JSON object: a string's content or a number's text.
std::string Field(const std::string& json, const std::string& key);

// A box controller node with a serial and a USB port path.
HidrawEmulator::Node Box(const std::string& name, const std::string& serial,
                         const std::string& port);

}  // namespace MqttRig
