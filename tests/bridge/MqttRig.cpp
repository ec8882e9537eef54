#include "tests/bridge/MqttRig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bridge/Journal.h"
#include "tests/emulated/EmulatedSystem.h"

namespace MqttRig {
namespace {

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    throw std::runtime_error("failed: " + command);
  }
}

// A port nothing listens on, and that this process has not handed out before: the kernel may give
// one port twice to binds in a row, and a cluster takes a dozen before its nodes listen.
int FreePort() {
  static std::set<int> given;
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    if (given.insert(ntohs(address.sin_port)).second) {
      return ntohs(address.sin_port);
    }
  }
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return accepted;
}

// A broker that does not come up fails the test here, not later as a missing message.
void WaitUntilServed(int port, int seconds, const std::string& log) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!Accepts(port)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error("nothing serves port " + std::to_string(port) + " after " +
                               std::to_string(seconds) + " s; see " + log);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string MakeFolder(const char* pattern) {
  std::string folder = pattern;
  if (mkdtemp(&folder[0]) == nullptr) {
    throw std::runtime_error("mkdtemp");
  }
  return folder;
}

void Write(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
}

// A CA and a certificate for localhost signed by it; "other-ca.pem" signs nothing here.
void MakeCertificates(const std::string& folder) {
  const std::string at = "cd " + folder + " && ";
  const std::string quiet = " >/dev/null 2>&1";
  Run(at +
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=zendrocast-test-ca "
      "-keyout ca.key -out ca.pem" +
      quiet);
  Run(at +
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other-ca "
      "-keyout other-ca.key -out other-ca.pem" +
      quiet);
  Run(at +
      "openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key "
      "-out server.csr" +
      quiet);
  Write(folder + "/san.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
  Run(at +
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
      "-extfile san.ext -out server.pem" +
      quiet);
  // The bridge's own, for a broker that knows its clients by their certificates.
  Run(at +
      "openssl req -newkey rsa:2048 -nodes -subj /CN=bridge -keyout client.key -out client.csr" +
      quiet);
  Run(at +
      "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
      "-out client.pem" +
      quiet);
  chmod((folder + "/client.key").c_str(), 0600);
}

// The bridge's reference (doc/bridge.md), whose users, ACLs and permissions the brokers here
// take, so that what it documents is what is tested (the kernel VM's copy, where the build's path
// is not at hand).
std::string BridgeDoc() {
  const char* path = std::getenv("ZENDROCAST_BRIDGE_DOC");
  std::ifstream file(path != nullptr ? path : ZENDROCAST_BRIDGE_DOC);
  std::stringstream text;
  text << file.rdbuf();
  if (text.str().empty()) {
    throw std::runtime_error(std::string("cannot read ") + (path ? path : ZENDROCAST_BRIDGE_DOC));
  }
  return text.str();
}

// The bridge reference's indented block whose first line is first: its lines, without their indent,
// each ending in a newline.
std::vector<std::string> ReferenceBlock(const std::string& first) {
  std::istringstream readme(BridgeDoc());
  std::vector<std::string> block;
  for (std::string line; std::getline(readme, line);) {
    const bool indented = line.rfind("    ", 0) == 0;
    if (block.empty() ? line == "    " + first : indented) {
      block.push_back(line.substr(4) + "\n");
    } else if (!block.empty()) {
      break;
    }
  }
  if (block.empty()) {
    throw std::runtime_error("the bridge reference has no block that starts with " + first);
  }
  return block;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
  }
  return text;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

// The bridge reference's users, and the passwords the tests give them.
const std::vector<std::pair<std::string, std::string>> DocumentedUsers = {
    {"zendrocast-pi1", "bridge-secret"},
    {"fleet-page", "page-secret"},
    {"home-assistant", "home-secret"}};

}  // namespace

std::string Unavailable(bool emulatedBoxes) {
  if (geteuid() != 0) {
    return "not running as root";
  }
  if (emulatedBoxes && access("/dev/fuse", R_OK | W_OK) != 0) {
    return "no usable /dev/fuse";
  }
  if (std::system("command -v mosquitto >/dev/null && command -v mosquitto_passwd >/dev/null && "
                  "command -v openssl >/dev/null") != 0) {
    return "no mosquitto, mosquitto_passwd or openssl";
  }
  return std::string();
}

void Broker::Start() {
  if (Folder.empty()) {
    Folder = MakeFolder("/tmp/zendrocast-broker-XXXXXX");
    Port = FreePort();
    Run("mosquitto_passwd -b -c " + Folder + "/passwd bridge bridge-secret >/dev/null 2>&1");
    Run("mosquitto_passwd -b " + Folder + "/passwd peer peer-secret >/dev/null 2>&1");
    std::string acl;
    for (const auto& [user, password] : DocumentedUsers) {
      Run("mosquitto_passwd -b " + Folder + "/passwd " + user + " " + password +
          " >/dev/null 2>&1");
      acl += Joined(ReferenceBlock("user " + user)) + "\n";
    }
    // The bridge reference's ACL for the bridge of pi1 is that of "bridge" too, for the bridge of
    // any node.
    acl += Replaced(Replaced(Joined(ReferenceBlock("user zendrocast-pi1")), "/pi1/", "/+/"),
                    "user zendrocast-pi1", "user bridge");
    Write(Folder + "/bridge.password", "bridge-secret\n", 0600);
    Write(Folder + "/wrong.password", "not-the-secret\n", 0600);
    Write(Folder + "/acl", acl + "\nuser peer\ntopic readwrite #\n");
    chmod((Folder + "/passwd").c_str(), 0600);
    if (Tls || ClientCertificates) {
      MakeCertificates(Folder);
      TlsPort = FreePort();
    }
  }
  // Written at every start, so that a test may change the settings between two.
  {
    std::string listener = "listener " + std::to_string(Port) + " 127.0.0.1\n";
    const std::string certificates = "cafile " + Folder + "/ca.pem\ncertfile " + Folder +
                                     "/server.pem\nkeyfile " + Folder + "/server.key\n";
    if (Tls) {
      listener += certificates;
    }
    listener += "max_qos " + std::to_string(MaxQos) + "\n";
    if (ClientCertificates) {
      listener += "listener " + std::to_string(TlsPort) + " 127.0.0.1\n" + certificates +
                  "require_certificate true\nuse_identity_as_username true\n";
    }
    if (!HttpDir.empty()) {
      WebSocketPort = WebSocketPort != 0 ? WebSocketPort : FreePort();
      listener += "listener " + std::to_string(WebSocketPort) +
                  " 127.0.0.1\nprotocol websockets\nhttp_dir " + HttpDir + "\n";
      // The bridge reference's queue for a page that gets a fleet's retained state at once.
      for (const std::string& line : ReferenceBlock("# mosquitto.conf, for the fleet page")) {
        listener += line.rfind("max_queued_messages", 0) == 0 ? line : "";
      }
    }
    // Persistence saved at every change: a broker killed outright keeps what it accepted.
    Write(Folder + "/mosquitto.conf",
          listener + "allow_anonymous false\npassword_file " + Folder + "/passwd\nacl_file " +
              Folder + "/acl\npersistence true\npersistence_location " + Folder + "/\n" +
              (SavesEveryChange ? "autosave_interval 1\nautosave_on_changes true\n"
                                : "max_queued_messages 0\n") +
              "log_dest file " + Folder + "/broker.log\n" + (Verbose ? "log_type all\n" : "") +
              // The tests run as root; the broker keeps to their private folder.
              "user root\n"
              // As the bridge reference advises for commands: no Nagle delay on small packets.
              "set_tcp_nodelay true\n");
  }
  const std::string config = Folder + "/mosquitto.conf";  // a forked child may not allocate
  Pid = fork();
  if (Pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execlp("mosquitto", "mosquitto", "-c", config.c_str(), nullptr);
    _exit(127);
  }
  WaitUntilServed(Port, 60, Folder + "/broker.log");
}

// Runs the command line as the rabbitmq user in a process group of its own, its output to log.
pid_t AsRabbit(const std::vector<std::string>& command, const std::string& log) {
  // Made before the fork: a forked child may not allocate.
  std::vector<const char*> argv = {"setpriv", "--reuid=rabbitmq", "--regid=rabbitmq",
                                   "--init-groups"};
  for (const std::string& word : command) {
    argv.push_back(word.c_str());
  }
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    execvp("setpriv", const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return pid;
}

void RabbitBroker::Start(bool wait) {
  if (Folder.empty()) {
    Folder = MakeFolder("/tmp/zendrocast-rabbit-XXXXXX");
    Port = FreePort();
    WebPort = FreePort();
    Name = "zendrocast-test-" + std::to_string(Port) + "@localhost";
    const bool clustered = EpmdPort != 0;
    Write(Folder + "/rabbitmq.conf",
          "listeners.tcp.default = 127.0.0.1:" + std::to_string(FreePort()) +
              "\nmqtt.listeners.tcp.default = 127.0.0.1:" + std::to_string(Port) +
              "\nweb_mqtt.tcp.ip = 127.0.0.1\nweb_mqtt.tcp.port = " + std::to_string(WebPort) +
              "\nmqtt.allow_anonymous = false\ndefault_user = bridge\ndefault_pass = "
              "bridge-secret\nloopback_users = none\n" +
              (clustered ? "mqtt.durable_queue_type = quorum\n" : ""));
    Write(Folder + "/enabled_plugins", "[rabbitmq_mqtt,rabbitmq_web_mqtt].\n");
    // One cookie for every node here, so that the nodes of a cluster, and rabbitmqctl, may talk.
    Write(Folder + "/.erlang.cookie", "ZENDROCASTTESTCOOKIE", 0400);
    // Its own node, on ports of its own; it runs as the rabbitmq user, who must reach all this.
    const std::string environment =
        "export HOME=" + Folder + " RABBITMQ_CONFIG_FILE=" + Folder +
        "/rabbitmq.conf RABBITMQ_ENABLED_PLUGINS_FILE=" + Folder +
        "/enabled_plugins RABBITMQ_MNESIA_BASE=" + Folder + "/mnesia RABBITMQ_LOG_BASE=" + Folder +
        "/log RABBITMQ_NODENAME=" + Name + " RABBITMQ_DIST_PORT=" + std::to_string(FreePort()) +
        " ERL_EPMD_PORT=" + std::to_string(clustered ? EpmdPort : FreePort()) +
        " ERL_EPMD_ADDRESS=127.0.0.1 RABBITMQ_PID_FILE=" + Folder +
        "/pid RABBITMQ_PLUGINS_EXPAND_DIR=" + Folder +
        "/plugins RABBITMQ_GENERATED_CONFIG_DIR=" + Folder +
        "/generated RABBITMQ_ADVANCED_CONFIG_FILE=" + Folder +
        "/advanced.config RABBITMQ_FEATURE_FLAGS_FILE=" + Folder + "/feature_flags\n";
    Write(Folder + "/run.sh",
          environment + (clustered ? "" : "epmd -port $ERL_EPMD_PORT -address 127.0.0.1 &\n") +
              "exec /usr/lib/rabbitmq/bin/rabbitmq-server\n");
    Write(Folder + "/ctl.sh",
          environment + "exec /usr/lib/rabbitmq/bin/rabbitmqctl -n " + Name + " \"$@\"\n");
    Run("chown -R rabbitmq: " + Folder);
  }
  // One group with its epmd, if it has one of its own, so that a stop ends both.
  Pid = AsRabbit({"sh", Folder + "/run.sh"}, Folder + "/server.log");
  if (wait) {
    WaitUntilServed(Port, 120, Folder + "/server.log");  // about 15 s here
  }
}

namespace {

// rabbitmqctl on the node as the rabbitmq user, its output appended (">>") or written (">") to
// the file after redirect, its errors to the node's ctl.log.
bool RunControl(const std::string& folder, const std::string& arguments,
                const std::string& redirect) {
  return std::system(("setpriv --reuid=rabbitmq --regid=rabbitmq --init-groups sh " + folder +
                      "/ctl.sh " + arguments + " " + redirect + " 2>>" + folder + "/ctl.log")
                         .c_str()) == 0;
}

}  // namespace

bool RabbitBroker::Control(const std::string& arguments) const {
  return RunControl(Folder, arguments, ">>" + Folder + "/ctl.log");
}

std::string RabbitBroker::ControlOutput(const std::string& arguments) const {
  const std::string output = Folder + "/ctl.out";
  if (!RunControl(Folder, arguments, ">" + output)) {
    return "";
  }
  std::ifstream file(output);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void RabbitCluster::Start() {
  const int epmdPort = FreePort();
  Epmd =
      AsRabbit({"epmd", "-port", std::to_string(epmdPort), "-address", "127.0.0.1"}, "/dev/null");
  for (RabbitBroker& node : Nodes) {
    node.EpmdPort = epmdPort;
    node.Start(false);
  }
  for (RabbitBroker& node : Nodes) {
    WaitUntilServed(node.Port, 180, node.Folder + "/server.log");
  }
  for (RabbitBroker* node : {&Nodes[1], &Nodes[2]}) {
    if (!node->Control("stop_app") || !node->Control("join_cluster " + Nodes[0].Name) ||
        !node->Control("start_app")) {
      throw std::runtime_error(node->Name + " did not join the cluster; see " + node->Folder +
                               "/ctl.log");
    }
  }
  // The bridge reference's users and permissions, as its commands give them, with the tests'
  // passwords.
  std::string commands = Replaced(
      Joined(ReferenceBlock(
          "# one user per bridge: its node's topics, its discovery, the request, response topics")),
      "\\\n", "");
  for (const auto& [user, password] : DocumentedUsers) {
    commands =
        Replaced(commands, "add_user " + user + " 'PASSWORD'", "add_user " + user + " " + password);
  }
  std::istringstream lines(commands);
  for (std::string line; std::getline(lines, line);) {
    const std::string command = "rabbitmqctl ";
    if (line.rfind(command, 0) == 0 && !Nodes[0].Control(line.substr(command.size()))) {
      throw std::runtime_error(line + " failed; see " + Nodes[0].Folder + "/ctl.log");
    }
  }
}

void RabbitCluster::Stop() {
  for (RabbitBroker& node : Nodes) {
    node.Stop(SIGKILL);
  }
  if (Epmd > 0) {
    kill(-Epmd, SIGKILL);
    waitpid(Epmd, nullptr, 0);
    Epmd = -1;
  }
}

void Proxy::Start(int brokerPort) {
  Target_ = brokerPort;
  Port = FreePort();
  Listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(Port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int on = 1;
  setsockopt(Listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(Listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(Listener_, 16) != 0 || pipe(Wake_) != 0) {
    throw std::runtime_error("the proxy cannot listen");
  }
  Thread_ = std::thread([this] { Run(); });
}

void Proxy::Stop() {
  if (!Thread_.joinable()) {
    return;
  }
  {
    std::lock_guard<std::mutex> guard(Lock_);
    Stopping_ = true;
  }
  const char byte = 0;
  (void)!write(Wake_[1], &byte, 1);
  Thread_.join();
  for (int fd : {Listener_, Wake_[0], Wake_[1]}) {
    close(fd);
  }
}

void Proxy::Hold(Kind kind, int count) {
  std::lock_guard<std::mutex> guard(Lock_);
  Kind_ = kind;
  Left_ = count;
}

int Proxy::Held() const {
  std::lock_guard<std::mutex> guard(Lock_);
  return Held_;
}

void Proxy::CloseAll() {
  {
    std::lock_guard<std::mutex> guard(Lock_);
    Closing_ = true;
  }
  const char byte = 0;
  (void)!write(Wake_[1], &byte, 1);
}

void Proxy::Run() {
  // A connection: the client's side and the broker's, and what each has sent that is not yet a
  // whole packet.
  struct Pair {
    int Fd[2];
    std::string Pending[2];
  };
  std::vector<Pair> pairs;
  const auto finish = [](Pair& pair) {
    close(pair.Fd[0]);
    close(pair.Fd[1]);
  };
  for (;;) {
    std::vector<pollfd> polled = {{Listener_, POLLIN, 0}, {Wake_[0], POLLIN, 0}};
    for (const Pair& pair : pairs) {
      polled.push_back({pair.Fd[0], POLLIN, 0});
      polled.push_back({pair.Fd[1], POLLIN, 0});
    }
    poll(polled.data(), polled.size(), -1);
    {
      std::lock_guard<std::mutex> guard(Lock_);
      if (Stopping_ || Closing_) {
        for (Pair& pair : pairs) {
          finish(pair);
        }
        pairs.clear();
        Closing_ = false;
        if (Stopping_) {
          return;
        }
      }
    }
    if ((polled[1].revents & POLLIN) != 0) {
      char drained[16];
      (void)!read(Wake_[0], drained, sizeof drained);
      continue;  // the pairs may be gone
    }
    // Only the pairs this poll watched; one accepted now is watched from the next.
    const std::size_t watched = pairs.size();
    if ((polled[0].revents & POLLIN) != 0) {
      Pair pair;
      pair.Fd[0] = accept4(Listener_, nullptr, nullptr, SOCK_CLOEXEC);
      pair.Fd[1] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(Target_));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (pair.Fd[0] >= 0 &&
          connect(pair.Fd[1], reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        pairs.push_back(pair);
      } else {
        finish(pair);
      }
    }
    for (std::size_t p = 0; p < watched; ++p) {
      bool ended = false;
      for (int side = 0; side < 2 && !ended; ++side) {
        if ((polled[2 + 2 * p + static_cast<std::size_t>(side)].revents & (POLLIN | POLLHUP)) ==
            0) {
          continue;
        }
        char buffer[65536];
        const ssize_t got = read(pairs[p].Fd[side], buffer, sizeof buffer);
        if (got <= 0) {
          ended = true;
          break;
        }
        std::string& pending = pairs[p].Pending[side];
        pending.append(buffer, static_cast<std::size_t>(got));
        // Whole packets: a fixed header byte, the remaining length (1 to 4 bytes), the rest.
        for (;;) {
          std::size_t length = 0;
          std::size_t at = 1;
          int shift = 0;
          bool known = false;
          while (at < pending.size() && at <= 4) {
            const auto byte = static_cast<unsigned char>(pending[at++]);
            length |= static_cast<std::size_t>(byte & 0x7F) << shift;
            shift += 7;
            if ((byte & 0x80) == 0) {
              known = true;
              break;
            }
          }
          if (!known || pending.size() < at + length) {
            break;
          }
          const std::string packet = pending.substr(0, at + length);
          pending.erase(0, at + length);
          const int type = static_cast<unsigned char>(packet[0]) >> 4;
          Kind kind = Nothing;
          if (side == 0) {
            kind = type == 5 ? Pubrec : type == 7 ? Pubcomp : Nothing;
          } else {
            kind = type == 6 ? Pubrel : type == 2 ? Connack : Nothing;
          }
          bool hold = false;
          {
            std::lock_guard<std::mutex> guard(Lock_);
            hold = kind != Nothing && kind == Kind_ && Left_ > 0;
            if (hold) {
              --Left_;
              ++Held_;
            }
          }
          if (hold && kind == Connack) {
            ended = true;
            break;
          }
          if (!hold) {
            std::size_t done = 0;
            while (done < packet.size()) {
              const ssize_t wrote =
                  write(pairs[p].Fd[1 - side], packet.data() + done, packet.size() - done);
              if (wrote <= 0) {
                break;
              }
              done += static_cast<std::size_t>(wrote);
            }
          }
        }
      }
      if (ended) {
        finish(pairs[p]);
        pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(p));
        break;  // the poll's order no longer matches
      }
    }
  }
}

void StaticServer::Start(const std::string& folder) {
  Port = FreePort();
  const std::string port = std::to_string(Port);  // a forked child may not allocate
  Pid = fork();
  if (Pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execlp("python3", "python3", "-m", "http.server", port.c_str(), "--bind", "127.0.0.1",
           "--directory", folder.c_str(), nullptr);
    _exit(127);
  }
  WaitUntilServed(Port, 60, "python3 -m http.server");
}

void StaticServer::Stop() {
  if (Pid > 0) {
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    Pid = -1;
  }
}

int NodeOf(const Bridge& bridge, const RabbitCluster& cluster) {
  const std::string log = bridge.Log();
  const std::string connected = "connected to 127.0.0.1:";
  const std::size_t at = log.rfind(connected);
  for (int i = 0; i < 3 && at != std::string::npos; ++i) {
    const std::string port = std::to_string(cluster.Nodes[i].Port) + " ";
    if (log.compare(at + connected.size(), port.size(), port) == 0) {
      return i;
    }
  }
  return -1;
}

std::string RabbitCluster::Hosts() const {
  std::string hosts;
  for (const RabbitBroker& node : Nodes) {
    hosts += (hosts.empty() ? "" : ",") + std::string("127.0.0.1:") + std::to_string(node.Port);
  }
  return hosts;
}

void RabbitBroker::Stop(int signal) {
  if (Pid > 0) {
    kill(-Pid, signal);
    waitpid(Pid, nullptr, 0);
    kill(-Pid, SIGKILL);  // its epmd, and whatever else is left of the group
    Pid = -1;
  }
}

bool Broker::WaitForSave(const std::string& client, int seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    std::ifstream file(Folder + "/broker.log");
    const std::string log((std::istreambuf_iterator<char>(file)), {});
    const std::size_t last = log.rfind(client);
    if (last != std::string::npos &&
        log.find("Saving in-memory database", last) != std::string::npos) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Broker::Stop(int signal) {
  if (Pid > 0) {
    kill(Pid, signal);
    waitpid(Pid, nullptr, 0);
    Pid = -1;
  }
}

Peer::Peer(int port, const std::string& clientId, const std::string& user,
           const std::string& password, bool version5) {
  mosquitto_lib_init();
  // A persistent session: its subscriptions and the messages it sent outlive a broker restart.
  Handle_ = mosquitto_new(clientId.c_str(), false, this);
  mosquitto_int_option(Handle_, MOSQ_OPT_PROTOCOL_VERSION,
                       version5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
  mosquitto_int_option(Handle_, MOSQ_OPT_RECEIVE_MAXIMUM, 65535);  // as the bridge does
  mosquitto_int_option(Handle_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_username_pw_set(Handle_, user.c_str(), password.c_str());
  mosquitto_message_v5_callback_set(
      Handle_, [](mosquitto*, void* self, const mosquitto_message* message,
                  const mosquitto_property* properties) {
        auto* peer = static_cast<Peer*>(self);
        Received received;
        received.At = std::chrono::steady_clock::now();
        received.Topic = message->topic;
        received.Payload.assign(static_cast<const char*>(message->payload),
                                static_cast<std::size_t>(message->payloadlen));
        received.Retained = message->retain;
        void* data = nullptr;
        std::uint16_t length = 0;
        if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                           false) != nullptr) {
          received.CorrelationData.assign(static_cast<const char*>(data), length);
          std::free(data);
        }
        std::lock_guard<std::mutex> guard(peer->Lock_);
        peer->Messages_.push_back(received);
        peer->Arrived_.notify_all();
      });
  mosquitto_subscribe_callback_set(Handle_, [](mosquitto*, void* self, int mid, int, const int*) {
    auto* peer = static_cast<Peer*>(self);
    std::lock_guard<std::mutex> guard(peer->Lock_);
    peer->Granted_.insert(mid);
    peer->Arrived_.notify_all();
  });
  mosquitto_publish_callback_set(Handle_, [](mosquitto*, void* self, int mid) {
    auto* peer = static_cast<Peer*>(self);
    std::lock_guard<std::mutex> guard(peer->Lock_);
    peer->Acknowledged_.insert(mid);
  });
  mosquitto_disconnect_callback_set(Handle_, [](mosquitto*, void* self, int) {
    auto* peer = static_cast<Peer*>(self);
    std::lock_guard<std::mutex> guard(peer->Lock_);
    peer->Disconnected_ = true;
    peer->Arrived_.notify_all();
  });
  mosquitto_reconnect_delay_set(Handle_, 1, 1, false);

  mosquitto_property* session = nullptr;  // MQTT 5 sessions end with the connection by default
  if (version5) {
    mosquitto_property_add_int32(&session, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
  }
  const int rc = mosquitto_connect_bind_v5(Handle_, "127.0.0.1", port, 30, nullptr, session);
  mosquitto_property_free_all(&session);
  if (rc != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("the peer cannot connect");
  }
  mosquitto_loop_start(Handle_);
}

Peer::~Peer() {
  // The network thread ends by itself once it sees the disconnect: forced, it would be cancelled
  // wherever it is, in the middle of a message it has just allocated (the will a test's last kill
  // makes the broker send), which then leaks. A reconnect under way may undo one disconnect, so
  // it is asked again until the thread has seen one.
  {
    std::lock_guard<std::mutex> guard(Lock_);
    Disconnected_ = false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (mosquitto_disconnect(Handle_) == MOSQ_ERR_NO_CONN) {
      break;  // no connection: the thread's next look finds the disconnect
    }
    std::unique_lock<std::mutex> guard(Lock_);
    if (Arrived_.wait_for(guard, std::chrono::milliseconds(100),
                          [this] { return Disconnected_; })) {
      break;
    }
  }
  mosquitto_loop_stop(Handle_, false);
  mosquitto_destroy(Handle_);
}

void Peer::Subscribe(const std::string& pattern) {
  int mid = 0;
  if (mosquitto_subscribe(Handle_, &mid, pattern.c_str(), 2) != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("the peer cannot subscribe to " + pattern);
  }
  // Retained messages come after the SUBACK: a test that waits for them needs the grant first.
  std::unique_lock<std::mutex> guard(Lock_);
  if (!Arrived_.wait_for(guard, std::chrono::seconds(60),
                         [&] { return Granted_.count(mid) != 0; })) {
    throw std::runtime_error("no SUBACK for " + pattern + " within 60 s");
  }
}

int Peer::Publish(const std::string& topic, const std::string& payload, bool retain,
                  const std::string& correlationData, const std::string& responseTopic, int qos) {
  mosquitto_property* properties = nullptr;
  if (!correlationData.empty()) {
    mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlationData.data(),
                                  static_cast<std::uint16_t>(correlationData.size()));
  }
  if (!responseTopic.empty()) {
    mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
  }
  int mid = 0;
  {
    // Held until the id is known, so that its acknowledgement is not taken for an older one's.
    std::lock_guard<std::mutex> guard(Lock_);
    mosquitto_publish_v5(Handle_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                         payload.data(), qos, retain, properties);
    Acknowledged_.erase(mid);
  }
  mosquitto_property_free_all(&properties);
  return mid;
}

bool Peer::Acknowledged(int mid) {
  std::lock_guard<std::mutex> guard(Lock_);
  return Acknowledged_.count(mid) != 0;
}

std::vector<Received> Peer::Messages(const std::string& topic) {
  std::lock_guard<std::mutex> guard(Lock_);
  std::vector<Received> matching;
  for (const Received& message : Messages_) {
    if (topic.empty() || message.Topic == topic) {
      matching.push_back(message);
    }
  }
  return matching;
}

bool Peer::WaitFor(const std::string& topic,
                   const std::function<bool(const std::vector<Received>&)>& test, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  // Gathered as they arrive, each looked at once: a wait through a flood of thousands of messages
  // must not take the processor from the bridge and the broker it measures.
  std::vector<Received> matching;
  std::size_t seen = 0;
  std::unique_lock<std::mutex> guard(Lock_);
  for (;;) {
    for (; seen < Messages_.size(); ++seen) {
      if (topic.empty() || Messages_[seen].Topic == topic) {
        matching.push_back(Messages_[seen]);
      }
    }
    guard.unlock();
    if (test(matching)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    guard.lock();
    Arrived_.wait_until(guard, std::min(deadline, std::chrono::steady_clock::now() +
                                                      std::chrono::milliseconds(50)));
  }
}

bool Peer::WaitForLast(const std::string& topic, const std::string& payload, int seconds) {
  return WaitFor(
      topic,
      [&](const std::vector<Received>& messages) {
        return !messages.empty() && messages.back().Payload == payload;
      },
      seconds);
}

void Bridge::Start(const std::vector<HidrawEmulator::Node>& nodes) {
  if (Folder.empty()) {
    Folder = MakeFolder("/tmp/zendrocast-bridge-XXXXXX");
  }
  // A command journal of its own, kept across its restarts.
  const std::string journal =
      Config.find("journal =") == std::string::npos
          ? "journal = " + std::string(Launcher.empty() ? "" : "Z:") + Folder + "/journal\n"
          : std::string();
  Write(Folder + "/mqtt.conf", journal + Config);  // before any [box ID] section
  const std::string log = Folder + "/bridge.log";
  // Everything the child needs, made before the fork: it may not allocate.
  const EmulatedSystem::Namespace plan =
      EmulatedSystem::PrepareNamespace(nodes, Root, EmulatedSystem::Layout{});
  const std::string config = (Launcher.empty() ? "" : "Z:") + Folder + "/mqtt.conf";
  // The build's, unless told another (the kernel VM runs a copy: its /tmp is its own).
  const char* binary = std::getenv("ZENDROCAST_MQTT");
  binary = binary != nullptr ? binary : ZENDROCAST_MQTT_BINARY;
  Pid = fork();
  if (Pid == 0) {
    if (!Root.empty()) {
      EmulatedSystem::EnterNamespace(plan);
    }
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, STDERR_FILENO);
    if (!Launcher.empty()) {
      execl(Launcher.c_str(), Launcher.c_str(), binary, "--config", config.c_str(), nullptr);
    }
    execl(binary, binary, "--config", config.c_str(), nullptr);
    _exit(127);
  }
}

int Bridge::Stop(int signal) {
  if (Pid <= 0) {
    return -1;
  }
  kill(Pid, signal);
  int status = 0;
  waitpid(Pid, &status, 0);
  Pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Bridge::Wait(int seconds) {
  if (Pid <= 0) {
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (Pid > 0 && waitpid(Pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Bridge::Log() const {
  std::ifstream file(Folder + "/bridge.log");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

int Bridge::CountInLog(const std::string& text) const {
  const std::string log = Log();
  int count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
    ++count;
  }
  return count;
}

bool Bridge::WaitForJournal(std::size_t count, int seconds, bool withHeld) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    std::ifstream file(Folder + "/journal", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    std::string note;
    const std::vector<Journal::Entry> entries = Journal::Decode(bytes, note);
    if (static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), [&](const auto& e) {
          return withHeld || !e.Acknowledged;
        })) == count) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool Bridge::WaitForLog(const std::string& text, int seconds, int count) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (CountInLog(text) < count) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

void UhidDevices::Start(const std::string& program, const std::vector<std::string>& devices) {
  Log = MakeFolder("/tmp/zendrocast-uhid-XXXXXX") + "/devices.log";
  Program.Start(program, Log, devices);
}

std::vector<std::string> UhidDevices::Reports(const std::string& name) {
  Program.Sync();
  std::ifstream file(Log);
  std::vector<std::string> reports;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(name + " ", 0) == 0 && line.find("unplugged") == std::string::npos) {
      reports.push_back(line.substr(name.size() + 1));
    }
  }
  return reports;
}

std::string BridgeConfig(const Broker& broker, const std::string& extra, const std::string& drive) {
  // The bridge reference's user for the bridge of pi1; "bridge", with the same ACL, for any other
  // node.
  const bool pi1 = extra.find("node_name") == std::string::npos;
  return "host = " + std::string(broker.Tls ? "localhost" : "127.0.0.1") +
         "\nport = " + std::to_string(broker.Port) +
         "\nusername = " + (pi1 ? "zendrocast-pi1" : "bridge") + "\npassword_file = " + drive +
         broker.Folder + "/bridge.password\nnode_name = pi1\nkeepalive = 10\n" + extra;
}

std::string Field(const std::string& json, const std::string& key) {
  const std::string name = "\"" + key + "\":";
  const std::size_t at = json.find(name);
  if (at == std::string::npos) {
    return std::string();
  }
  std::size_t start = at + name.size();
  if (json[start] == '"') {
    ++start;
    std::string value;
    for (std::size_t i = start; i < json.size() && json[i] != '"'; ++i) {
      value += json[i] == '\\' ? json[++i] : json[i];
    }
    return value;
  }
  return json.substr(start, json.find_first_of(",}]", start) - start);
}

HidrawEmulator::Node Box(const std::string& name, const std::string& serial,
                         const std::string& port) {
  HidrawEmulator::Node node = EmulatedSystem::Target(name);
  node.Serial = serial;
  node.Phys = port;
  return node;
}

}  // namespace MqttRig
