#include "app/MemoryText.h"

#include <climits>

namespace quellmarin {

std::string GroupDigits(uint64_t Value, const std::string& Separator, const std::string& Grouping) {
  const std::string Digits = std::to_string(Value);
  // Group sizes from the right, as many as the digits need.
  size_t End = Digits.size();  // the digits not yet placed are [0, End)
  size_t Index = 0;
  int Size = 0;
  std::string Tail;
  while (End > 0) {
    if (Index < Grouping.size()) Size = Grouping[Index++];
    if (Size <= 0 || Size == CHAR_MAX || static_cast<size_t>(Size) >= End) break;
    Tail = Separator + Digits.substr(End - Size, Size) + Tail;
    End -= Size;
  }
  return Digits.substr(0, End) + Tail;
}

std::string KiloBytesText(uint64_t Bytes, const std::string& Separator, const std::string& Grouping) {
  const uint64_t KiloBytes = Bytes / 1024 + (Bytes % 1024 >= 512 ? 1 : 0);
  return GroupDigits(KiloBytes, Separator, Grouping) + " KB";
}

std::string KiloBytesText(uint64_t Bytes, const std::locale& Locale) {
  const auto& Punct = std::use_facet<std::numpunct<char>>(Locale);
  return KiloBytesText(Bytes, std::string(1, Punct.thousands_sep()), Punct.grouping());
}

std::string MemoryLoadText(uint32_t Load) { return std::to_string(Load) + " %"; }

}  // namespace quellmarin
