#pragma once
// The about box's two memory figures as text, kept free of the window toolkit
// so that they can be checked on their own.
//
// Any thread may call these.

#include <cstdint>
#include <locale>
#include <string>

namespace quellmarin {

// Digits of Value with Separator between the groups. Grouping gives the group
// sizes from the right as std::numpunct does ("\3": thousands; "\3\2": 12,34,567;
// the last size repeats; an empty string, 0 or CHAR_MAX: no further groups).
std::string GroupDigits(uint64_t Value, const std::string& Separator, const std::string& Grouping = "\3");

// Bytes in kilobytes (Bytes / 1024 rounded to a whole number, halves up),
// grouped and followed by " KB": 2048 -> "2 KB", 123456789 -> "120,563 KB"
// with "," as Separator. Less than half a kilobyte reads "0 KB".
std::string KiloBytesText(uint64_t Bytes, const std::string& Separator, const std::string& Grouping = "\3");
// The same with the thousands separator and grouping of Locale.
std::string KiloBytesText(uint64_t Bytes, const std::locale& Locale);

// The memory load: 37 -> "37 %".
std::string MemoryLoadText(uint32_t Load);

}  // namespace quellmarin
