// Drives the device program (UhidDevice.cpp) for the rigs that run it: the scenario runner and
// the bridge's real-stack test. It starts the program, waits for its "ready", asks it to log
// every report taken so far ("sync"), and ends it (which destroys its devices).
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

struct DeviceProgram {
  pid_t Pid = -1;
  int Input = -1;  // closing it ends the program
  int Output = -1;

  // Starts program LOG DEVICE... and returns what it said up to its "ready" line, by when every
  // device's node exists. Throws when it cannot.
  std::string Start(const std::string& program, const std::string& log,
                    const std::vector<std::string>& devices) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    std::vector<std::string> words = {program, log};
    words.insert(words.end(), devices.begin(), devices.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
      argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    Pid = fork();
    if (Pid == 0) {
      dup2(input[0], STDIN_FILENO);
      dup2(output[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(input[0]);
    close(output[1]);
    Input = input[1];
    Output = output[0];
    return ReadUntil("ready\n");
  }

  // Until the program has logged every report the kernel took so far: its log lines wait in
  // memory until then.
  void Sync() const {
    if (write(Input, "sync\n", 5) != 5) {
      throw std::runtime_error("the device program is gone");
    }
    ReadUntil("synced\n");
  }

  void Stop() {
    if (Pid > 0) {
      close(Input);
      close(Output);
      waitpid(Pid, nullptr, 0);
      Pid = -1;
    }
  }

 private:
  // What the program says up to and including the line given.
  std::string ReadUntil(const std::string& line) const {
    std::string text;
    char byte = 0;
    while (text.size() < line.size() ||
           text.compare(text.size() - line.size(), line.size(), line) != 0) {
      if (read(Output, &byte, 1) != 1) {
        throw std::runtime_error("the device program ended early");
      }
      text += byte;
    }
    return text;
  }
};
