#pragma once
// The sound-system interface: wave input, wave output and the mixer, as the
// audio layer uses them. Several implementations exist side by side (the
// virtual sound card, ALSA); the audio layer is handed one by its creator and
// reaches the sound card through nothing else.
//
// The calls keep the names of the multimedia calls the audio layer was shaped
// after (waveInOpen, waveOutWrite, mixerGetLineInfoA, ...); the declarations,
// records and numbers below are this system's own.
//
// Contract every implementation keeps
// -----------------------------------
// Results
//   * Every call that returns MMRESULT returns MMSYSERR_NOERROR (0) on success
//     or a non-zero code. waveInGetErrorTextA and waveOutGetErrorTextA turn
//     every code any call of this sound system returns (wave and mixer codes,
//     and codes an implementation invents) into a non-empty text.
//   * A call on a handle that is not open returns MMSYSERR_INVALHANDLE; a
//     device number that does not exist returns MMSYSERR_BADDEVICEID; a record
//     size argument other than sizeof(the record) returns MMSYSERR_INVALPARAM.
//
// Wave devices (input and output alike)
//   * Open takes a PCM format (1 or 2 channels, 8 or 16 bits, nBlockAlign =
//     channels x bytes per sample) and a callback with an instance value, and
//     flags CALLBACK_FUNCTION (WAVE_ALLOWSYNC is accepted and has no effect).
//     Another format returns WAVERR_BADFORMAT. A device number is 0 .. count-1
//     or WAVE_MAPPER (the default device). WAVE_FORMAT_QUERY only checks.
//   * A header must be prepared before it is added (input) or written (output):
//     otherwise WAVERR_UNPREPARED. Prepare sets WHDR_PREPARED; unprepare clears
//     it and returns 0 also for a header that is not prepared, but returns
//     WAVERR_STILLPLAYING while the device holds the header.
//   * The device holds an added/written header (WHDR_INQUEUE set, WHDR_DONE
//     clear) until it returns it. Returning a header sets WHDR_DONE, clears
//     WHDR_INQUEUE and then raises the data/done notification with the header
//     as Param1. The caller must not touch a held header or its data.
//   * Input: buffers come back in the order they were added, filled, with
//     dwBytesRecorded set (a full buffer holds dwBufferLength bytes rounded
//     down to whole frames). Recording begins with waveInStart; buffers added
//     before it wait. waveInReset stops recording and returns every held buffer:
//     the one being filled with the bytes it holds, the others with 0 bytes.
//   * Output: buffers play and finish in the order written; a buffer finishes
//     once all its dwBufferLength bytes have been played. waveOutReset stops
//     playback and returns every held buffer as finished.
//   * When waveInReset or waveOutReset returns, the notifications of every
//     buffer it returned have been delivered.
//   * Close returns WAVERR_STILLPLAYING while the device still holds buffers
//     (reset first). A successful close delivers the close notification before
//     it returns; after a close returns, no callback of that device runs.
//   * A device that vanishes (unplugged, sound server gone) returns every
//     buffer it holds (data/done notifications, input with the bytes it had
//     recorded) and then reports nothing more: further prepare, add, write and
//     start calls fail with MMSYSERR_NODRIVER, while reset, unprepare and close
//     still succeed so that the caller can release the handle (close still
//     delivers its close notification).
//
// Notifications
//   * Open, data or done, and close notifications of a wave device come on a
//     thread of the sound system, never on the caller's thread, one at a time
//     and in this order: MM_WIM_OPEN (MM_WOM_OPEN) before any data (done), the
//     close notification last. The open notification has been delivered when
//     the open call returns.
//   * A callback must return promptly and must call nothing of this sound
//     system (it may post to a message queue). A call made while a callback of
//     the same device is running waits until that callback has returned.
//   * Mixer: a change of a volume or mute control's value, made through any
//     handle of this sound system or from outside the program, is reported to
//     every open mixer handle of that device as MM_MIXM_CONTROL_CHANGE with the
//     control's id as Param2 (the handle as Param1), on a thread of the sound
//     system. A set that leaves the value as it was, and peak meters, raise
//     nothing. After mixerClose returns, no callback of that handle runs.
//
// Mixer
//   * Lines are numbered by destination (0 .. cDestinations-1) and, within a
//     destination, by source (0 .. cConnections-1). Line ids are unique on the
//     device.
//   * Control values are one 32-bit value per channel (MIXERCONTROLDETAILS with
//     cbDetails 4 and cMultipleItems 0). cChannels is 1 .. the line's channel
//     count: reading with 1 channel gives the first channel's value, writing
//     with 1 channel sets every channel to it. Volumes span 0 .. 65535, mutes
//     0 or 1, peak meters are signed (-32768 .. 32767) and cannot be set.
//
// Threads: every call may be made from any thread except from inside a
// callback of this sound system; the audio layer makes them on the UI thread.
// Destroying an implementation closes whatever is still open; no callback runs
// after its destructor has returned.

#include <cstdint>
#include <string>

namespace quellmarin {

using MMRESULT = uint32_t;
using HWAVEIN = uintptr_t;   // 0: no device
using HWAVEOUT = uintptr_t;  // 0: no device
using HMIXER = uintptr_t;    // 0: no device

// ---- Result codes ---------------------------------------------------------
enum : MMRESULT {
  MMSYSERR_NOERROR = 0,
  MMSYSERR_ERROR = 1,
  MMSYSERR_BADDEVICEID = 2,
  MMSYSERR_NOTENABLED = 3,
  MMSYSERR_ALLOCATED = 4,
  MMSYSERR_INVALHANDLE = 5,
  MMSYSERR_NODRIVER = 6,
  MMSYSERR_NOMEM = 7,
  MMSYSERR_NOTSUPPORTED = 8,
  MMSYSERR_BADERRNUM = 9,
  MMSYSERR_INVALFLAG = 10,
  MMSYSERR_INVALPARAM = 11,
  MMSYSERR_HANDLEBUSY = 12,
  WAVERR_BADFORMAT = 32,
  WAVERR_STILLPLAYING = 33,
  WAVERR_UNPREPARED = 34,
  WAVERR_SYNC = 35,
  MIXERR_INVALLINE = 1024,
  MIXERR_INVALCONTROL = 1025,
  MIXERR_INVALVALUE = 1026,
};

// Size of the text buffers the error-text calls fill (including the 0).
constexpr uint32_t MAXERRORLENGTH = 256;

// ---- Notification numbers -------------------------------------------------
enum : uint32_t {
  MM_WOM_OPEN = 955,
  MM_WOM_CLOSE = 956,
  MM_WOM_DONE = 957,
  MM_WIM_OPEN = 958,
  MM_WIM_CLOSE = 959,
  MM_WIM_DATA = 960,
  MM_MIXM_LINE_CHANGE = 976,
  MM_MIXM_CONTROL_CHANGE = 977,
};

// ---- Device numbers and open flags ----------------------------------------
constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;

enum : uint32_t {
  WAVE_FORMAT_QUERY = 0x0001,
  WAVE_ALLOWSYNC = 0x0002,
  CALLBACK_NULL = 0x00000000,
  CALLBACK_WINDOW = 0x00010000,
  CALLBACK_FUNCTION = 0x00030000,
};

// ---- Wave records ---------------------------------------------------------
constexpr uint16_t WAVE_FORMAT_PCM = 1;

struct WAVEFORMATEX {
  uint16_t wFormatTag = 0;       // WAVE_FORMAT_PCM
  uint16_t nChannels = 0;        // 1 or 2
  uint32_t nSamplesPerSec = 0;   // frames per second
  uint32_t nAvgBytesPerSec = 0;  // nSamplesPerSec x nBlockAlign
  uint16_t nBlockAlign = 0;      // bytes per frame
  uint16_t wBitsPerSample = 0;   // 8 (unsigned) or 16 (signed little-endian)
  uint16_t cbSize = 0;           // 0
};

// Header flags.
enum : uint32_t {
  WHDR_DONE = 0x00000001,       // the device has returned the buffer
  WHDR_PREPARED = 0x00000002,   // prepared for the device
  WHDR_BEGINLOOP = 0x00000004,  // output loop markers: accepted, not acted on
  WHDR_ENDLOOP = 0x00000008,
  WHDR_INQUEUE = 0x00000010,    // held by the device
};

struct WAVEHDR {
  char* lpData = nullptr;        // the caller's data buffer
  uint32_t dwBufferLength = 0;   // its length in bytes (output: bytes to play)
  uint32_t dwBytesRecorded = 0;  // input: bytes filled when returned
  uintptr_t dwUser = 0;          // the caller's own value, untouched
  uint32_t dwFlags = 0;          // WHDR_*
  uint32_t dwLoops = 0;          // output loop count (not acted on)
  WAVEHDR* lpNext = nullptr;     // reserved for the sound system
  uintptr_t reserved = 0;        // reserved for the sound system
};

// Format flags of the capabilities: rate (1 = 11.025, 2 = 22.05, 4 = 44.1 kHz),
// mono/stereo, 8/16 bits.
enum : uint32_t {
  WAVE_FORMAT_1M08 = 0x00000001,
  WAVE_FORMAT_1S08 = 0x00000002,
  WAVE_FORMAT_1M16 = 0x00000004,
  WAVE_FORMAT_1S16 = 0x00000008,
  WAVE_FORMAT_2M08 = 0x00000010,
  WAVE_FORMAT_2S08 = 0x00000020,
  WAVE_FORMAT_2M16 = 0x00000040,
  WAVE_FORMAT_2S16 = 0x00000080,
  WAVE_FORMAT_4M08 = 0x00000100,
  WAVE_FORMAT_4S08 = 0x00000200,
  WAVE_FORMAT_4M16 = 0x00000400,
  WAVE_FORMAT_4S16 = 0x00000800,
};

// Support flags of the output capabilities.
enum : uint32_t {
  WAVECAPS_PITCH = 0x0001,
  WAVECAPS_PLAYBACKRATE = 0x0002,
  WAVECAPS_VOLUME = 0x0004,
  WAVECAPS_LRVOLUME = 0x0008,
  WAVECAPS_SYNC = 0x0010,
  WAVECAPS_SAMPLEACCURATE = 0x0020,
};

constexpr uint32_t MAXPNAMELEN = 32;

struct WAVEOUTCAPSA {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  char szPname[MAXPNAMELEN] = {};  // product name, 0-terminated
  uint32_t dwFormats = 0;          // WAVE_FORMAT_* flags
  uint16_t wChannels = 0;
  uint16_t wReserved1 = 0;
  uint32_t dwSupport = 0;          // WAVECAPS_* flags
};

struct WAVEINCAPSA {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  char szPname[MAXPNAMELEN] = {};
  uint32_t dwFormats = 0;
  uint16_t wChannels = 0;
  uint16_t wReserved1 = 0;
};

// Wave callback. Msg is MM_WIM_OPEN / MM_WIM_DATA / MM_WIM_CLOSE for input and
// MM_WOM_OPEN / MM_WOM_DONE / MM_WOM_CLOSE for output; Instance is the value
// given to the open call; for data and done Param1 is the WAVEHDR* returned.
using TWaveInProc = void (*)(HWAVEIN Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1,
                             uintptr_t Param2);
using TWaveOutProc = void (*)(HWAVEOUT Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1,
                              uintptr_t Param2);

// ---- Mixer records --------------------------------------------------------
constexpr uint32_t MIXER_SHORT_NAME_CHARS = 16;
constexpr uint32_t MIXER_LONG_NAME_CHARS = 64;

struct MIXERCAPSA {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  char szPname[MAXPNAMELEN] = {};  // product name
  uint32_t fdwSupport = 0;
  uint32_t cDestinations = 0;
};

// Line flags.
enum : uint32_t {
  MIXERLINE_LINEF_ACTIVE = 0x00000001,
  MIXERLINE_LINEF_DISCONNECTED = 0x00008000,
  MIXERLINE_LINEF_SOURCE = 0x80000000,
};

// Component types.
enum : uint32_t {
  MIXERLINE_COMPONENTTYPE_DST_UNDEFINED = 0x0000,
  MIXERLINE_COMPONENTTYPE_DST_SPEAKERS = 0x0004,
  MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 0x0007,
  MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000,
  MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002,
  MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003,
  MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC = 0x1005,
  MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT = 0x1008,
};

// mixerGetLineInfoA: which fields of the MIXERLINEA select the line.
enum : uint32_t {
  MIXER_GETLINEINFOF_DESTINATION = 0x0,  // dwDestination
  MIXER_GETLINEINFOF_SOURCE = 0x1,       // dwDestination and dwSource
  MIXER_GETLINEINFOF_LINEID = 0x2,       // dwLineID
};

struct MIXERLINEA {
  uint32_t cbStruct = sizeof(MIXERLINEA);
  uint32_t dwDestination = 0;     // in (DESTINATION, SOURCE) and out
  uint32_t dwSource = 0;          // in (SOURCE) and out
  uint32_t dwLineID = 0;          // out (in for LINEID)
  uint32_t fdwLine = 0;           // MIXERLINE_LINEF_*
  uintptr_t dwUser = 0;
  uint32_t dwComponentType = 0;   // MIXERLINE_COMPONENTTYPE_*
  uint32_t cChannels = 0;         // 1 or 2
  uint32_t cConnections = 0;      // a destination: its number of source lines
  uint32_t cControls = 0;
  char szShortName[MIXER_SHORT_NAME_CHARS] = {};
  char szName[MIXER_LONG_NAME_CHARS] = {};  // the line's full name
  struct {
    uint32_t dwType = 0;
    uint32_t dwDeviceID = 0;
    uint16_t wMid = 0;
    uint16_t wPid = 0;
    uint32_t vDriverVersion = 0;
    char szPname[MAXPNAMELEN] = {};
  } Target;
};

// Control types.
enum : uint32_t {
  MIXERCONTROL_CONTROLTYPE_PEAKMETER = 0x10010001,
  MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002,
  MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001,
};

// Control flags.
enum : uint32_t {
  MIXERCONTROL_CONTROLF_UNIFORM = 0x00000001,  // one value for every channel
  MIXERCONTROL_CONTROLF_DISABLED = 0x80000000,
};

struct MIXERCONTROLA {
  uint32_t cbStruct = sizeof(MIXERCONTROLA);
  uint32_t dwControlID = 0;
  uint32_t dwControlType = 0;  // MIXERCONTROL_CONTROLTYPE_*
  uint32_t fdwControl = 0;     // MIXERCONTROL_CONTROLF_*
  uint32_t cMultipleItems = 0;
  char szShortName[MIXER_SHORT_NAME_CHARS] = {};
  char szName[MIXER_LONG_NAME_CHARS] = {};
  struct {
    int32_t lMinimum = 0;  // peak meter: signed bounds; volume: 0 .. 65535
    int32_t lMaximum = 0;
  } Bounds;
  struct {
    uint32_t cSteps = 0;
  } Metrics;
};

// mixerGetLineControlsA: which controls.
enum : uint32_t {
  MIXER_GETLINECONTROLSF_ALL = 0x0,        // every control of dwLineID
  MIXER_GETLINECONTROLSF_ONEBYID = 0x1,    // the control dwControlID
  MIXER_GETLINECONTROLSF_ONEBYTYPE = 0x2,  // the first of dwControlType on dwLineID
};

struct MIXERLINECONTROLSA {
  uint32_t cbStruct = sizeof(MIXERLINECONTROLSA);
  uint32_t dwLineID = 0;
  uint32_t dwControlID = 0;    // ONEBYID
  uint32_t dwControlType = 0;  // ONEBYTYPE
  uint32_t cControls = 0;      // ALL: the line's control count; else 1
  uint32_t cbmxctrl = sizeof(MIXERCONTROLA);
  MIXERCONTROLA* pamxctrl = nullptr;  // cControls entries, filled
};

enum : uint32_t {
  MIXER_GETCONTROLDETAILSF_VALUE = 0x0,
  MIXER_SETCONTROLDETAILSF_VALUE = 0x0,
};

// A control's values: cChannels 32-bit values (unsigned for volume and mute,
// signed for peak meters) at paDetails.
struct MIXERCONTROLDETAILS {
  uint32_t cbStruct = sizeof(MIXERCONTROLDETAILS);
  uint32_t dwControlID = 0;
  uint32_t cChannels = 0;
  uint32_t cMultipleItems = 0;  // 0
  uint32_t cbDetails = 4;       // bytes per value
  void* paDetails = nullptr;
};

// Mixer callback (mixerOpen with CALLBACK_FUNCTION): Msg is
// MM_MIXM_CONTROL_CHANGE, Param1 the handle, Param2 the control id.
using TMixerProc = void (*)(HMIXER Handle, uint32_t Msg, uintptr_t Instance, uintptr_t Param1,
                            uintptr_t Param2);

// Overruns (input: frames lost because no buffer was waiting) and underruns
// (output: the device ran dry and played a gap) a sound system has met and
// recovered from.
struct TXrunCounts {
  uint32_t Overruns = 0;
  uint32_t Underruns = 0;
};

// ---- The interface --------------------------------------------------------
class TSoundSystem {
public:
  virtual ~TSoundSystem() = default;
  TSoundSystem() = default;
  TSoundSystem(const TSoundSystem&) = delete;
  TSoundSystem& operator=(const TSoundSystem&) = delete;

  // A short name of the implementation for reports and the status bar, such as
  // "Virtual sound card".
  virtual std::string Name() const = 0;

  // Overruns and underruns since construction, over all devices, for the
  // status bar. A sound system that cannot fall behind reports none. May be
  // called from any thread.
  virtual TXrunCounts XrunCounts() const { return {}; }
  // The open input device's own delay, in frames: how long the newest sample
  // it has delivered spent in the device (and, on a sound server, in the
  // server) before it reached the program, as last measured when a buffer
  // filled. False when the sound system cannot tell (the default) or has not
  // measured it yet. May be called from any thread.
  virtual bool CaptureDelay(HWAVEIN Handle, int64_t& Frames) {
    (void)Handle;
    Frames = 0;
    return false;
  }

  // Wave input.
  virtual uint32_t waveInGetNumDevs() = 0;
  virtual MMRESULT waveInGetDevCapsA(uint32_t DeviceID, WAVEINCAPSA* Caps, uint32_t CapsSize) = 0;
  virtual MMRESULT waveInOpen(HWAVEIN* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                              TWaveInProc Callback, uintptr_t Instance, uint32_t Flags) = 0;
  virtual MMRESULT waveInPrepareHeader(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) = 0;
  virtual MMRESULT waveInAddBuffer(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) = 0;
  virtual MMRESULT waveInStart(HWAVEIN Handle) = 0;
  virtual MMRESULT waveInReset(HWAVEIN Handle) = 0;
  virtual MMRESULT waveInUnprepareHeader(HWAVEIN Handle, WAVEHDR* Header, uint32_t HeaderSize) = 0;
  virtual MMRESULT waveInClose(HWAVEIN Handle) = 0;
  // Copies the text of Code, cut to TextSize - 1 characters and 0-terminated.
  // MMSYSERR_BADERRNUM for a code it does not know (Text then empty).
  virtual MMRESULT waveInGetErrorTextA(MMRESULT Code, char* Text, uint32_t TextSize) = 0;

  // Wave output.
  virtual uint32_t waveOutGetNumDevs() = 0;
  virtual MMRESULT waveOutGetDevCapsA(uint32_t DeviceID, WAVEOUTCAPSA* Caps, uint32_t CapsSize) = 0;
  virtual MMRESULT waveOutOpen(HWAVEOUT* Handle, uint32_t DeviceID, const WAVEFORMATEX* Format,
                               TWaveOutProc Callback, uintptr_t Instance, uint32_t Flags) = 0;
  virtual MMRESULT waveOutPrepareHeader(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) = 0;
  virtual MMRESULT waveOutWrite(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) = 0;
  virtual MMRESULT waveOutReset(HWAVEOUT Handle) = 0;
  virtual MMRESULT waveOutUnprepareHeader(HWAVEOUT Handle, WAVEHDR* Header, uint32_t HeaderSize) = 0;
  virtual MMRESULT waveOutClose(HWAVEOUT Handle) = 0;
  virtual MMRESULT waveOutGetErrorTextA(MMRESULT Code, char* Text, uint32_t TextSize) = 0;
  // The device's output volume by device number (WAVE_MAPPER: the default
  // device), whether or not it is open: left channel in the low 16 bits,
  // right in the high 16 bits, 0 silent to 0xFFFF full.
  virtual MMRESULT waveOutGetVolume(uint32_t DeviceID, uint32_t* Volume) = 0;
  virtual MMRESULT waveOutSetVolume(uint32_t DeviceID, uint32_t Volume) = 0;

  // Mixer.
  virtual uint32_t mixerGetNumDevs() = 0;
  virtual MMRESULT mixerGetDevCapsA(uint32_t MixerID, MIXERCAPSA* Caps, uint32_t CapsSize) = 0;
  // Flags CALLBACK_FUNCTION with a Callback, or CALLBACK_NULL (no notifications).
  virtual MMRESULT mixerOpen(HMIXER* Handle, uint32_t MixerID, TMixerProc Callback, uintptr_t Instance,
                             uint32_t Flags) = 0;
  virtual MMRESULT mixerGetLineInfoA(HMIXER Handle, MIXERLINEA* Line, uint32_t Flags) = 0;
  virtual MMRESULT mixerGetLineControlsA(HMIXER Handle, MIXERLINECONTROLSA* Controls, uint32_t Flags) = 0;
  virtual MMRESULT mixerGetControlDetailsA(HMIXER Handle, MIXERCONTROLDETAILS* Details, uint32_t Flags) = 0;
  virtual MMRESULT mixerSetControlDetails(HMIXER Handle, const MIXERCONTROLDETAILS* Details,
                                          uint32_t Flags) = 0;
  virtual MMRESULT mixerClose(HMIXER Handle) = 0;
};

// The standard text of a code of the list above, or nullptr for another code.
// Implementations use it for their error-text calls.
const char* StandardErrorText(MMRESULT Code);

// Copies Source into Text (TextSize bytes, 0-terminated, cut to fit); nothing
// when TextSize is 0. Returns MMSYSERR_NOERROR, or MMSYSERR_INVALPARAM for a
// null Text.
MMRESULT CopyErrorText(const char* Source, char* Text, uint32_t TextSize);

}  // namespace quellmarin
