#pragma once
// A private ALSA world for one test: a temporary folder holding an ALSA
// configuration of our own (ALSA_CONFIG_PATH points at it, the system's is
// not loaded), the raw input file its capture devices read and the files its
// playback devices write.
//
// Devices of the default configuration:
//   default     playback into Output(), capture from Input() (null slaves)
//   qmcard      the same, listed ("Quellmarin test card"), with controls
//   qmbusy      refuses to open (busy)
//   qmgone      disappears after 6000 frames
//   qmxrun      reports an xrun after 3000 frames
//   qmsuspend   is suspended after 3000 frames
// Controls: "default" and "qmcard" are the test card (state in State()).

#include <alsa/asoundlib.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace quellmarin::testing {

class TAlsaTestConfig {
public:
  // Input: the raw samples every capture device reads (16-bit mono view).
  explicit TAlsaTestConfig(const std::vector<int16_t>& Input = Tone(1000.0, 8000, 20000, 200000),
                           const std::string& Extra = "") {
    char templ[] = "/tmp/qm-alsa-XXXXXX";
    FDir = mkdtemp(templ);
    WriteRaw(this->Input(), Input);
    std::ofstream conf(Config());
    conf << "ctl_type.qmcard { lib \"" << QM_ALSA_TEST_PLUGINS << "\" }\n"
         << "pcm_type.qmfault { lib \"" << QM_ALSA_TEST_PLUGINS << "\" }\n"
         << "pcm.!default {\n  type asym\n" << Duplex(Output()) << "}\n"
         << "ctl.!default { type qmcard state \"" << State() << "\" }\n"
         << "pcm.qmcard {\n  type asym\n" << Duplex(FDir + "/card-out.raw")
         << "  hint { show on description \"Quellmarin test card\" }\n}\n"
         << "ctl.qmcard { type qmcard state \"" << State() << "\" }\n"
         << Fault("qmbusy", "busy true", "Busy device") << Fault("qmgone", "vanish 6000", "Vanishing device")
         << Fault("qmxrun", "xrun 3000", "Xrun device") << Fault("qmsuspend", "suspend 3000", "Suspending device")
         << Extra;
    conf.close();
    setenv("ALSA_CONFIG_PATH", Config().c_str(), 1);
  }
  ~TAlsaTestConfig() {
    snd_config_update_free_global();
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }
  TAlsaTestConfig(const TAlsaTestConfig&) = delete;
  TAlsaTestConfig& operator=(const TAlsaTestConfig&) = delete;

  const std::string& Dir() const { return FDir; }
  std::string Config() const { return FDir + "/asound.conf"; }
  std::string Input() const { return FDir + "/in.raw"; }
  std::string Output() const { return FDir + "/out.raw"; }
  std::string State() const { return FDir + "/mixer.state"; }

  static std::vector<int16_t> Tone(double Frequency, double Amplitude, double Rate, size_t Samples) {
    std::vector<int16_t> s(Samples);
    for (size_t i = 0; i < Samples; ++i)
      s[i] = static_cast<int16_t>(std::lround(Amplitude * std::sin(2 * M_PI * Frequency * static_cast<double>(i) / Rate)));
    return s;
  }
  static void WriteRaw(const std::string& Path, const std::vector<int16_t>& Samples) {
    std::ofstream f(Path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(Samples.data()), static_cast<std::streamsize>(Samples.size() * 2));
  }
  static std::vector<char> ReadFile(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
  }

private:
  std::string Duplex(const std::string& Out) const {
    return "  playback.pcm { type file slave.pcm { type null } file \"" + Out + "\" format raw }\n" +
           "  capture.pcm { type file slave.pcm { type null } file \"/dev/null\" infile \"" + Input() +
           "\" format raw }\n";
  }
  static std::string Fault(const std::string& Name, const std::string& Params, const std::string& Desc) {
    return "pcm." + Name + " { type qmfault " + Params + " hint { show on description \"" + Desc + "\" } }\n";
  }
  std::string FDir;
};

}  // namespace quellmarin::testing
