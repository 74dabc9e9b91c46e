#pragma once
// A PipeWire server of the test's own, headless: a private D-Bus session bus,
// PipeWire, WirePlumber (its session manager) and pipewire-pulse (PipeWire's
// PulseAudio protocol), all with a private runtime folder and home. Its null
// sink "qmsink" runs at 20 000 Hz mono s16le, its monitor is the default
// source, and ALSA's default PCM and control are routed to it through the
// pulse plugin (ALSA_CONFIG_PATH), the way a PipeWire desktop serves ALSA
// programs. The process's environment points every client at it. Every
// process dies with the test process and is stopped by its process id.
//
// Debian 12 packages: pipewire, pipewire-pulse, wireplumber, dbus.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "alsa/PulseServer.h"

namespace quellmarin::testing {

class TPipeWireServer {
public:
  explicit TPipeWireServer(const std::string& Extra = "") {
    char templ[] = "/tmp/qm-pipewire-XXXXXX";
    FDir = mkdtemp(templ);
    namespace fs = std::filesystem;
    fs::create_directories(FDir + "/home");
    fs::create_directories(FDir + "/run");
    fs::permissions(FDir + "/run", fs::perms::owner_all);
    const std::string bus = FDir + "/bus";
    const std::string socket = FDir + "/run/pulse/native";
    std::ofstream(FDir + "/client.conf") << "autospawn = no\n";
    setenv("HOME", (FDir + "/home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (FDir + "/run").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (FDir + "/home/.config").c_str(), 1);
    setenv("XDG_STATE_HOME", (FDir + "/home/.state").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (FDir + "/client.conf").c_str(), 1);
    unsetenv("PULSE_RUNTIME_PATH");
    unsetenv("PULSE_STATE_PATH");
    std::ofstream(FDir + "/asound.conf") << "pcm.!default { type pulse server \"unix:" << socket << "\" }\n"
                                         << "ctl.!default { type pulse server \"unix:" << socket << "\" }\n"
                                         << Extra;
    setenv("ALSA_CONFIG_PATH", (FDir + "/asound.conf").c_str(), 1);

    if (!Start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + bus}, "dbus") ||
        !WaitFor([&] { return fs::exists(bus); }, "the D-Bus session bus did not open its socket"))
      return;
    if (!Start({"pipewire"}, "pipewire") ||
        !WaitFor([&] { return fs::exists(FDir + "/run/pipewire-0"); }, "PipeWire did not open its socket"))
      return;
    if (!Start({"wireplumber"}, "wireplumber") || !Start({"pipewire-pulse"}, "pipewire-pulse") ||
        !WaitFor([&] { return Shell("pactl info").find("on PipeWire") != std::string::npos; },
                 "pipewire-pulse did not answer"))
      return;
    Shell("pactl load-module module-null-sink sink_name=qmsink rate=20000 channels=1 format=s16le norewinds=1");
    // WirePlumber may still be choosing its defaults: insist until they hold.
    const bool defaults = WaitFor(
        [&] {
          Shell("pactl set-default-sink qmsink");
          Shell("pactl set-default-source qmsink.monitor");
          const std::string info = Shell("pactl info");
          return info.find("Default Sink: qmsink\n") != std::string::npos &&
                 info.find("Default Source: qmsink.monitor") != std::string::npos;
        },
        "the null sink did not become the default");
    FReady = defaults;
  }
  ~TPipeWireServer() {
    // In reverse order of starting: the clients before the server, the bus last.
    for (auto it = FPids.rbegin(); it != FPids.rend(); ++it) {
      const pid_t pid = *it;
      kill(pid, SIGTERM);
      for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) != pid; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (kill(pid, 0) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  TPipeWireServer(const TPipeWireServer&) = delete;
  TPipeWireServer& operator=(const TPipeWireServer&) = delete;

  bool Ready() const { return FReady; }
  const std::string& Why() const { return FWhy; }

private:
  // Starts a process of the server with its output in <Log>.log.
  bool Start(std::vector<std::string> Args, const std::string& Log) {
    std::vector<char*> argv;
    for (auto& a : Args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = FDir + "/" + Log + ".log";
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int null = open("/dev/null", O_RDONLY);
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(null, 0);
      dup2(out, 1);
      dup2(out, 2);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    if (pid < 0) {
      FWhy = Args[0] + " could not be started";
      return false;
    }
    FPids.push_back(pid);
    FLogs.push_back(log);
    return true;
  }
  // Waits up to 15 s for Done; otherwise says why, with the servers' logs.
  template <class F>
  bool WaitFor(F Done, const std::string& Failure) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
      if (Done()) return true;
      for (size_t i = 0; i < FPids.size(); ++i)
        if (waitpid(FPids[i], nullptr, WNOHANG) == FPids[i]) {
          FWhy = Failure + ": " + FLogs[i] + " ended: " + ReadLogs();
          FPids.erase(FPids.begin() + static_cast<long>(i));
          return false;
        }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FWhy = Failure + ": " + ReadLogs();
    return false;
  }
  std::string ReadLogs() const {
    std::string text;
    for (const auto& l : FLogs) {
      std::ifstream f(l);
      text += "\n--- " + l + "\n" + std::string(std::istreambuf_iterator<char>(f), {});
    }
    return text;
  }

  std::string FDir;
  std::vector<pid_t> FPids;
  std::vector<std::string> FLogs;
  bool FReady = false;
  std::string FWhy;
};

}  // namespace quellmarin::testing
