// Runs a command in a namespace whose NODES hidraw nodes are emulated: mice from hidraw0 on, the
// last one the box controller (none at all for 0). The benchmark runs the tool and its C
// counterpart in it.
// Usage: zendrocast_emulated_shell NODES COMMAND [ARGUMENT...]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/emulated/EmulatedSystem.h"
#include "tests/emulated/HidrawEmulator.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s NODES COMMAND [ARGUMENT...]\n", argv[0]);
    return 2;
  }
  const int count = std::atoi(argv[1]);
  std::vector<HidrawEmulator::Node> nodes;
  for (int i = 0; i < count; ++i) {
    const std::string name = "hidraw" + std::to_string(i);
    nodes.push_back(i + 1 < count ? EmulatedSystem::Mouse(name) : EmulatedSystem::Target(name));
  }

  // Before the emulator's thread starts: its mount must be seen by this process's children only.
  const std::string unavailable = EmulatedSystem::PrivateMounts();
  if (!unavailable.empty()) {
    std::fprintf(stderr, "emulated shell: %s\n", unavailable.c_str());
    return 2;
  }
  const std::string root = EmulatedSystem::MakeRoot();
  std::string error;
  if (root.empty() || !HidrawEmulator::Start(nodes, root + "/fuse", error)) {
    std::fprintf(stderr, "emulated shell: %s\n", error.c_str());
    return 2;
  }
  // Made before the fork: the child of a process with threads may not allocate.
  const EmulatedSystem::Namespace plan =
      EmulatedSystem::PrepareNamespace(nodes, root, EmulatedSystem::Layout{});
  const pid_t child = fork();
  if (child == 0) {
    EmulatedSystem::EnterNamespace(plan);
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  HidrawEmulator::Stop();
  EmulatedSystem::RemoveRoot(root);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
