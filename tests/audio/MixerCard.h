#pragma once
// The virtual sound card (manual clock) with its mixer reshaped for tests:
// fewer destinations or source lines, lines reported as one channel, controls
// hidden from the line's control list (the card still has them and still
// reports their changes). Lines are named (destination, line) with line 0 the
// destination's own line and line s + 1 its source s, as the mixer numbers
// them. It also records the mixer writes and output volume sets it sees.

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "soundsystem/virtual/VirtualSoundCard.h"

namespace quellmarin::testing {

class TMixerCard : public TVirtualSoundCard {
public:
  using TKey = std::pair<uint32_t, uint32_t>;  // (destination, line)

  TMixerCard() : TVirtualSoundCard(ckManual) {}

  // The card's id of a control of line (Destination, Line); 0 when it has none.
  uint32_t Control(uint32_t Destination, uint32_t Line, uint32_t Type) const {
    return ControlID(Destination, Line == 0 ? OwnLine : Line - 1, Type);
  }

  int Destinations = -1;                         // -1: the card's own count
  std::map<uint32_t, uint32_t> Sources;          // destination -> source lines shown
  std::set<TKey> MonoLines;                      // reported with one channel
  std::set<std::tuple<uint32_t, uint32_t, uint32_t>> Hidden;  // (destination, line, control type)

  // Channel counts of the mixer writes, oldest first; output volumes set.
  std::vector<uint32_t> WriteChannels;
  std::vector<uint32_t> VolumesSet;

  MMRESULT mixerGetDevCapsA(uint32_t MixerID, MIXERCAPSA* Caps, uint32_t CapsSize) override {
    const MMRESULT r = TVirtualSoundCard::mixerGetDevCapsA(MixerID, Caps, CapsSize);
    if (r == MMSYSERR_NOERROR && Destinations >= 0) Caps->cDestinations = static_cast<uint32_t>(Destinations);
    return r;
  }

  MMRESULT mixerGetLineInfoA(HMIXER Handle, MIXERLINEA* Line, uint32_t Flags) override {
    const bool Own = Flags == MIXER_GETLINEINFOF_DESTINATION;
    const MMRESULT r = TVirtualSoundCard::mixerGetLineInfoA(Handle, Line, Flags);
    if (r != MMSYSERR_NOERROR) return r;
    const TKey Key{Line->dwDestination, Own ? 0 : Line->dwSource + 1};
    FKeys[Line->dwLineID] = Key;
    if (Own && Sources.count(Key.first)) Line->cConnections = std::min(Line->cConnections, Sources[Key.first]);
    Line->cControls -= HiddenCount(Key);
    if (MonoLines.count(Key)) Line->cChannels = 1;
    return r;
  }

  MMRESULT mixerGetLineControlsA(HMIXER Handle, MIXERLINECONTROLSA* Controls, uint32_t Flags) override {
    if (Flags != MIXER_GETLINECONTROLSF_ALL || !FKeys.count(Controls->dwLineID))
      return TVirtualSoundCard::mixerGetLineControlsA(Handle, Controls, Flags);
    const TKey Key = FKeys[Controls->dwLineID];
    const uint32_t Hide = HiddenCount(Key);
    if (Hide == 0) return TVirtualSoundCard::mixerGetLineControlsA(Handle, Controls, Flags);
    std::vector<MIXERCONTROLA> All(Controls->cControls + Hide);
    MIXERLINECONTROLSA Request = *Controls;
    Request.cControls = static_cast<uint32_t>(All.size());
    Request.pamxctrl = All.data();
    const MMRESULT r = TVirtualSoundCard::mixerGetLineControlsA(Handle, &Request, Flags);
    if (r != MMSYSERR_NOERROR) return r;
    uint32_t n = 0;
    for (const MIXERCONTROLA& c : All)
      if (!Hidden.count({Key.first, Key.second, c.dwControlType}) && n < Controls->cControls)
        Controls->pamxctrl[n++] = c;
    return r;
  }

  MMRESULT mixerSetControlDetails(HMIXER Handle, const MIXERCONTROLDETAILS* Details, uint32_t Flags) override {
    WriteChannels.push_back(Details->cChannels);
    return TVirtualSoundCard::mixerSetControlDetails(Handle, Details, Flags);
  }

  MMRESULT waveOutSetVolume(uint32_t DeviceID, uint32_t Volume) override {
    VolumesSet.push_back(Volume);
    return TVirtualSoundCard::waveOutSetVolume(DeviceID, Volume);
  }

private:
  uint32_t HiddenCount(const TKey& Key) const {
    uint32_t n = 0;
    for (const auto& h : Hidden)
      if (std::get<0>(h) == Key.first && std::get<1>(h) == Key.second) ++n;
    return n;
  }

  std::map<uint32_t, TKey> FKeys;  // line id -> line
};

}  // namespace quellmarin::testing
