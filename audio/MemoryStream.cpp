#include "audio/MemoryStream.h"

#include <algorithm>
#include <cstring>

namespace quellmarin {

size_t TMemoryStream::ReadAt(size_t Offset, void* Buffer, size_t Count) const {
  if (Offset >= FData.size() || Count == 0) return 0;
  size_t n = std::min(Count, FData.size() - Offset);
  std::memcpy(Buffer, FData.data() + Offset, n);
  return n;
}

size_t TMemoryStream::Read(void* Buffer, size_t Count) {
  size_t n = ReadAt(FPosition, Buffer, Count);
  FPosition += n;
  return n;
}

size_t TMemoryStream::Write(const void* Buffer, size_t Count) {
  if (Count == 0) return 0;
  if (FData.size() < FPosition + Count) FData.resize(FPosition + Count);
  std::memcpy(FData.data() + FPosition, Buffer, Count);
  FPosition += Count;
  return Count;
}

void TMemoryStream::DeleteFront(size_t Count) {
  Count = std::min(Count, FData.size());
  if (Count == 0) return;
  FData.erase(FData.begin(), FData.begin() + static_cast<std::ptrdiff_t>(Count));
  FPosition = FPosition > Count ? FPosition - Count : 0;
}

}  // namespace quellmarin
