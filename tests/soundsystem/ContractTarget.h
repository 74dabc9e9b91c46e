#pragma once
// The contract suite's view of one sound-system implementation, and the
// fixture its tests share. An implementation's test file includes
// ContractSuite.h (which defines the tests; once per test executable) or, in
// a second file of the same executable, only this header, and instantiates:
//
//   INSTANTIATE_TEST_SUITE_P(Alsa, SoundSystemContract,
//       ::testing::Values(TContractParam{"Alsa", [] { return std::make_unique<MyTarget>(); }}),
//       ContractParamName);
//
// A parameter whose name contains "Live" marks a real-time run (CTest label).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soundsystem/SoundSystem.h"

namespace quellmarin::testing {

// One implementation with its devices: wave input and output device 0 and
// mixer 0 must exist.
class TContractTarget {
public:
  virtual ~TContractTarget() = default;
  virtual TSoundSystem& System() = 0;
  // Lets the devices make progress while a test waits: a manual clock fills
  // one held input buffer and finishes one output buffer; a real clock may
  // simply let a little time pass.
  virtual void Advance() = 0;
  // Whether the mixer can change a volume (some sound servers offer none).
  virtual bool MixerVolumeSettable() const { return true; }
};

struct TContractParam {
  std::string Name;
  std::function<std::unique_ptr<TContractTarget>()> Create;
};

inline std::string ContractParamName(const ::testing::TestParamInfo<TContractParam>& Info) {
  return Info.param.Name;
}

// Everything one device's callback saw, in order.
struct TCallbackLog {
  struct TEntry {
    uint32_t Msg;
    uintptr_t Param1;
    uintptr_t Param2;
    std::thread::id Thread;
  };
  mutable std::mutex Lock;
  std::vector<TEntry> Entries;
  std::atomic<bool> Closed{false};        // set by the test once close returned
  std::atomic<int> AfterClose{0};         // callbacks that came after that

  static void Callback(uintptr_t, uint32_t Msg, uintptr_t Instance, uintptr_t Param1, uintptr_t Param2) {
    auto* Log = reinterpret_cast<TCallbackLog*>(Instance);
    if (Log == nullptr) return;  // a device nobody watches
    if (Log->Closed) ++Log->AfterClose;
    std::lock_guard<std::mutex> g(Log->Lock);
    Log->Entries.push_back({Msg, Param1, Param2, std::this_thread::get_id()});
  }
  int Count(uint32_t Msg) const {
    std::lock_guard<std::mutex> g(Lock);
    int n = 0;
    for (auto& e : Entries) n += e.Msg == Msg;
    return n;
  }
  std::vector<TEntry> Snapshot() const {
    std::lock_guard<std::mutex> g(Lock);
    return Entries;
  }
  std::vector<uintptr_t> Headers(uint32_t Msg) const {
    std::vector<uintptr_t> r;
    for (auto& e : Snapshot())
      if (e.Msg == Msg) r.push_back(e.Param1);
    return r;
  }
};

// A set of wave buffers with their headers.
struct TBuffers {
  std::vector<std::vector<char>> Data;
  std::vector<WAVEHDR> Headers;
  TBuffers(int Count, uint32_t Bytes) : Data(static_cast<size_t>(Count)), Headers(static_cast<size_t>(Count)) {
    for (int i = 0; i < Count; ++i) {
      Data[static_cast<size_t>(i)].assign(Bytes, 0);
      Headers[static_cast<size_t>(i)].lpData = Data[static_cast<size_t>(i)].data();
      Headers[static_cast<size_t>(i)].dwBufferLength = Bytes;
    }
  }
  WAVEHDR* operator[](int i) { return &Headers[static_cast<size_t>(i)]; }
  uintptr_t Address(int i) { return reinterpret_cast<uintptr_t>(&Headers[static_cast<size_t>(i)]); }
};

inline WAVEFORMATEX PcmFormat(uint16_t Channels = 1, uint16_t Bits = 16, uint32_t Rate = 20000) {
  WAVEFORMATEX f;
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = Channels;
  f.nSamplesPerSec = Rate;
  f.nBlockAlign = static_cast<uint16_t>(Channels * Bits / 8);
  f.nAvgBytesPerSec = Rate * f.nBlockAlign;
  f.wBitsPerSample = Bits;
  return f;
}

class SoundSystemContract : public ::testing::TestWithParam<TContractParam> {
protected:
  void SetUp() override { Target = GetParam().Create(); }
  void TearDown() override { Target.reset(); }
  TSoundSystem& S() { return Target->System(); }

  // Advances the devices until Done holds; false after the time limit.
  bool WaitFor(const std::function<bool()>& Done, std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (!Done()) {
      if (std::chrono::steady_clock::now() > End) return false;
      Target->Advance();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  std::string ErrorText(MMRESULT Code) {
    char Text[MAXERRORLENGTH] = {};
    S().waveInGetErrorTextA(Code, Text, sizeof Text);
    return Text;
  }

  std::unique_ptr<TContractTarget> Target;
};

}  // namespace quellmarin::testing
