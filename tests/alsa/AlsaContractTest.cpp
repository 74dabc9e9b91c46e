// The sound-system contract on ALSA: file-backed devices with null slaves and
// the test sound card's controls, from a configuration of the test's own.

#include "alsa/AlsaTestConfig.h"
#include "soundsystem/alsa/AlsaSoundSystem.h"
#include "tests/soundsystem/ContractSuite.h"

namespace quellmarin::testing {
namespace {

class TAlsaTarget : public TContractTarget {
public:
  TSoundSystem& System() override { return FSystem; }
  // The file-backed devices run as fast as they are fed.
  void Advance() override {}

private:
  TAlsaTestConfig FConfig;  // before the sound system: it sets ALSA_CONFIG_PATH
  TAlsaSoundSystem FSystem;
};

INSTANTIATE_TEST_SUITE_P(Alsa, SoundSystemContract,
                         ::testing::Values(TContractParam{"FileDevices", [] { return std::make_unique<TAlsaTarget>(); }}),
                         ContractParamName);

}  // namespace
}  // namespace quellmarin::testing
