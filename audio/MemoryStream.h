#pragma once
// A growable in-memory byte stream with a position: what the window fills with
// a processed block and hands to the player, and what the player keeps its play
// queue in. Not thread-safe: one thread uses a stream at a time.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quellmarin {

class TMemoryStream {
public:
  TMemoryStream() = default;

  size_t Size() const { return FData.size(); }
  size_t Position() const { return FPosition; }
  // Any position; reads beyond the end read nothing, writes there fill the gap
  // with zeros.
  void SetPosition(size_t Value) { FPosition = Value; }
  // Cuts or extends (with zeros) the data; the position stays where it is.
  void SetSize(size_t Value) { FData.resize(Value); }
  // Keeps room for Value bytes so that writes up to that size allocate nothing.
  void Reserve(size_t Value) { FData.reserve(Value); }
  size_t Capacity() const { return FData.capacity(); }
  void Clear() {
    FData.clear();
    FPosition = 0;
  }

  // Reads up to Count bytes from the position and advances it; returns the
  // count read.
  size_t Read(void* Buffer, size_t Count);
  // Reads up to Count bytes from Offset without moving the position.
  size_t ReadAt(size_t Offset, void* Buffer, size_t Count) const;
  // Writes Count bytes at the position (growing the stream) and advances it.
  size_t Write(const void* Buffer, size_t Count);
  // Drops the first Count bytes (at most all); the position moves back with
  // the data it pointed at, but not below 0.
  void DeleteFront(size_t Count);

  const uint8_t* Memory() const { return FData.data(); }
  uint8_t* Memory() { return FData.data(); }

private:
  std::vector<uint8_t> FData;
  size_t FPosition = 0;
};

}  // namespace quellmarin
