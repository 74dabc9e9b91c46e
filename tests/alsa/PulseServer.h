#pragma once
// A PulseAudio server of the test's own: a null sink at 20 000 Hz mono s16le
// without rewinds, its monitor as the default source, private socket, runtime
// and home folders, no shared memory; ALSA's default PCM and control are
// routed to it through the pulse plugin (ALSA_CONFIG_PATH). The process's
// environment points every client at it. The server dies with the test
// process and is stopped by its process id.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace quellmarin::testing {

// Runs a shell command; its output and error output.
inline std::string Shell(const std::string& Command) {
  std::string out;
  if (FILE* p = popen((Command + " 2>&1").c_str(), "r")) {
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// A PulseAudio server of the test's own, stopped by its process id.
class TPulseServer {
public:
  // Extra: more ALSA configuration, after the default PCM and control.
  explicit TPulseServer(const std::string& Extra = "") {
    char templ[] = "/tmp/qm-pulse-XXXXXX";
    FDir = mkdtemp(templ);
    std::filesystem::create_directories(FDir + "/home");
    std::filesystem::create_directories(FDir + "/run");
    std::filesystem::permissions(FDir + "/run", std::filesystem::perms::owner_all);
    const std::string socket = FDir + "/native";
    std::ofstream(FDir + "/client.conf") << "autospawn = no\n";
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (FDir + "/client.conf").c_str(), 1);
    setenv("HOME", (FDir + "/home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (FDir + "/run").c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (FDir + "/run").c_str(), 1);
    setenv("PULSE_STATE_PATH", (FDir + "/home").c_str(), 1);
    std::ofstream(FDir + "/asound.conf") << "pcm.!default { type pulse server \"unix:" << socket << "\" }\n"
                                         << "ctl.!default { type pulse server \"unix:" << socket << "\" }\n"
                                         << Extra;
    setenv("ALSA_CONFIG_PATH", (FDir + "/asound.conf").c_str(), 1);

    // Running as root needs --system=false to stay a per-user server; the
    // server must not exit when idle, nor use shared memory (a container may
    // not offer it), nor load the default script's hardware modules.
    std::vector<std::string> args = {
        "pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1", "--disable-shm=yes",
        "--use-pid-file=no", "--log-target=file:" + FDir + "/log", "--log-level=notice",
        "-L", "module-null-sink sink_name=qmsink rate=20000 channels=1 format=s16le norewinds=1",
        "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The server dies with the test process, and holds none of its output.
    FPid = fork();
    if (FPid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      execvp("pulseaudio", argv.data());
      _exit(127);
    }
    if (FPid < 0) {
      FPid = 0;
      FWhy = "pulseaudio could not be run";
      return;
    }
    const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < End) {
      if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
        FPid = 0;
        break;
      }
      if (std::filesystem::exists(socket) && Shell("pactl info").find("Default Sink: qmsink") != std::string::npos) {
        Shell("pactl set-default-source qmsink.monitor");
        FReady = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::ifstream log(FDir + "/log");
    FWhy = "PulseAudio did not start: " + std::string(std::istreambuf_iterator<char>(log), {});
  }
  ~TPulseServer() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      for (int i = 0; i < 100 && waitpid(FPid, nullptr, WNOHANG) != FPid; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (kill(FPid, 0) == 0) {
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  bool Ready() const { return FReady; }
  const std::string& Why() const { return FWhy; }

private:
  std::string FDir;
  pid_t FPid = 0;
  bool FReady = false;
  std::string FWhy;
};

}  // namespace quellmarin::testing
