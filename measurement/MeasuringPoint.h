#pragma once
// Measuring points: one record of samples (a time signal) and the spectrum
// computed from it, with the two numbers that fix both axes: the number of
// samples and the time the whole record covers.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Component.h"

namespace quellmarin {

// A run of 32-bit floats indexed from 0. A buffer belonging to a length L has
// L + 1 elements; the last one is spare. Owners keep the storage.
using TFloatArray = float*;

// Largest length a float buffer may belong to.
constexpr int32_t MaxFloatArrayLength = 200000000;

class TTImeSignal {
public:
  TTImeSignal() = default;
  virtual ~TTImeSignal() = default;
  TTImeSignal(const TTImeSignal&) = delete;
  TTImeSignal& operator=(const TTImeSignal&) = delete;

  int32_t Length = 0;
  float SamplingRate = 0.0f;
  float Duration = 0.0f;
  float StartTime = 0.0f;
  float EndTime = 0.0f;
  TFloatArray Data = nullptr;  // Length + 1 samples
  float MaxValue = 0.0f;       // written by the spectrum analysis
  float MinValue = 0.0f;

  // Reallocates and zeroes the samples when N differs from Length; a request
  // below 0 counts as 0.
  void SetLength(int32_t N);
  // D > 0: SamplingRate follows Length / D.
  void SetDuration(float D);
  void SetStartTime(float T) { StartTime = T; }
  void SetEndTime(float T) { EndTime = T; }
  // Checked read: an empty signal or a bad index shows a message and gives 0.
  float GetValue(int32_t Index) const;

private:
  std::unique_ptr<float[]> FStorage;
};

class TSpectrum {
public:
  TSpectrum() = default;
  virtual ~TSpectrum() = default;
  TSpectrum(const TSpectrum&) = delete;
  TSpectrum& operator=(const TSpectrum&) = delete;

  int32_t Length = 0;
  float LowFrequency = 0.0f;
  float HighFrequency = 0.0f;
  float MaxValue = 0.0f;
  float MinValue = 0.0f;
  TFloatArray Amplitude = nullptr;  // Length + 1 bins
  TFloatArray Phase = nullptr;      // degrees, Length + 1 bins

  // Reallocates both arrays when N differs from Length.
  void SetLength(int32_t N);

private:
  std::unique_ptr<float[]> FAmplitude;
  std::unique_ptr<float[]> FPhase;
};

// A component that owns a time signal and its spectrum.
class TMeasuringPoint : public TComponent {
public:
  explicit TMeasuringPoint(TComponent* Owner) : TComponent(Owner) {}

  TSpectrum* Spectrum = nullptr;
  TTImeSignal* TimeSignal = nullptr;

  const std::string& SensorUnits() const { return FSensorUnits; }
  void SetSensorUnits(const std::string& Value) { FSensorUnits = Value; }
  int32_t Length() const { return FLength; }
  virtual void SetLength(int32_t Value) = 0;
  float SampleTime() const { return FSampleTime; }
  virtual void SetSampleTime(float Value) = 0;
  bool Active() const { return FActive; }
  void SetActive(bool Value) { FActive = Value; }
  bool Dirty() const { return FDirty; }
  void SetDirty(bool Value) { FDirty = Value; }

  // Sizes both buffers to Length and sets both axes from Length and SampleTime.
  virtual void UpdateBuffers() = 0;

protected:
  std::string FSensorUnits;
  int32_t FLength = 0;
  float FSampleTime = 0.0f;
  bool FActive = true;
  bool FDirty = false;
};

class TSpectrumPoint : public TMeasuringPoint {
public:
  explicit TSpectrumPoint(TComponent* Owner);
  ~TSpectrumPoint() override;

  // Rounds the request up to a power of two: 1 -> 1, 1500 -> 2048. A request
  // of 0 or less gives 0 (the point is unusable until a positive length comes);
  // a request above 2^27 is capped at 2^27, the largest power of two that
  // float buffers may hold.
  void SetLength(int32_t Value) override;
  // Stored as given; only a positive value together with a positive Length
  // updates the buffers.
  void SetSampleTime(float Value) override;
  void UpdateBuffers() override;
};

// The power of two a length request rounds to (see TSpectrumPoint::SetLength).
int32_t RoundLengthToPowerOfTwo(int32_t Request);

}  // namespace quellmarin
