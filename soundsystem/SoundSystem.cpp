#include "soundsystem/SoundSystem.h"

#include <cstring>

namespace quellmarin {

const char* StandardErrorText(MMRESULT Code) {
  switch (Code) {
    case MMSYSERR_NOERROR: return "The command was carried out.";
    case MMSYSERR_ERROR: return "Undefined external error.";
    case MMSYSERR_BADDEVICEID: return "A device ID has been used that is out of range for your system.";
    case MMSYSERR_NOTENABLED: return "The driver was not enabled.";
    case MMSYSERR_ALLOCATED: return "The specified device is already in use. Wait until it is free, and then try again.";
    case MMSYSERR_INVALHANDLE: return "The specified device handle is invalid.";
    case MMSYSERR_NODRIVER: return "There is no driver installed on your system, or the device is gone.";
    case MMSYSERR_NOMEM: return "There is not enough memory available for this task.";
    case MMSYSERR_NOTSUPPORTED: return "This function is not supported.";
    case MMSYSERR_BADERRNUM: return "An error number was specified that is not defined in the system.";
    case MMSYSERR_INVALFLAG: return "An invalid flag was passed to a system function.";
    case MMSYSERR_INVALPARAM: return "An invalid parameter was passed to a system function.";
    case MMSYSERR_HANDLEBUSY: return "The handle is being used simultaneously on another thread.";
    case WAVERR_BADFORMAT: return "The specified format is not supported or cannot be translated.";
    case WAVERR_STILLPLAYING: return "Cannot perform this operation while media data is still playing.";
    case WAVERR_UNPREPARED: return "The wave header was not prepared.";
    case WAVERR_SYNC: return "Cannot open the device without using the WAVE_ALLOWSYNC flag.";
    case MIXERR_INVALLINE: return "The mixer line is not valid for this device.";
    case MIXERR_INVALCONTROL: return "The mixer control is not valid for this device.";
    case MIXERR_INVALVALUE: return "The mixer control value is not valid.";
    default: return nullptr;
  }
}

MMRESULT CopyErrorText(const char* Source, char* Text, uint32_t TextSize) {
  if (Text == nullptr) return MMSYSERR_INVALPARAM;
  if (TextSize == 0) return MMSYSERR_NOERROR;
  size_t n = Source ? std::strlen(Source) : 0;
  if (n > TextSize - 1) n = TextSize - 1;
  if (n) std::memcpy(Text, Source, n);
  Text[n] = '\0';
  return MMSYSERR_NOERROR;
}

}  // namespace quellmarin
