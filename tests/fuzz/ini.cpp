// Fuzz harness for the INI text: any bytes as a file's text. Reads must not
// fail, and a write must be read back exactly while leaving every other key
// of the section, and the other sections, as they read before.

#include <cstddef>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Exception.h"
#include "platform/IniFile.h"

using namespace quellmarin;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

std::string_view Trimmed(std::string_view S) {
  const std::string_view Spaces = " \t\r\f\v";
  while (!S.empty() && Spaces.find(S.front()) != std::string_view::npos) S.remove_prefix(1);
  while (!S.empty() && Spaces.find(S.back()) != std::string_view::npos) S.remove_suffix(1);
  return S;
}

// Names match without regard to ASCII letter case, spaces around them aside.
bool SameName(std::string_view A, std::string_view B) {
  A = Trimmed(A);
  B = Trimmed(B);
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    char X = A[I], Y = B[I];
    if (X >= 'A' && X <= 'Z') X = static_cast<char>(X - 'A' + 'a');
    if (Y >= 'A' && Y <= 'Z') Y = static_cast<char>(Y - 'A' + 'a');
    if (X != Y) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string Bytes(reinterpret_cast<const char*>(Data), Size);
  // The first line of the input names the section, key and value to write;
  // the rest is the file's text.
  const size_t Split = Bytes.find('\n');
  const std::string Head = Split == std::string::npos ? Bytes : Bytes.substr(0, Split);
  const std::string Content = Split == std::string::npos ? std::string() : Bytes.substr(Split + 1);
  const size_t A = Head.find('|');
  const size_t B = A == std::string::npos ? std::string::npos : Head.find('|', A + 1);
  const std::string Section = A == std::string::npos ? "SETTINGS" : Head.substr(0, A);
  const std::string Key = B == std::string::npos ? "FilterType" : Head.substr(A + 1, B - A - 1);
  const std::string Value = B == std::string::npos ? Head : Head.substr(B + 1);

  (void)TIniFile::ParseInteger(Value);
  TIniText Text(Content);
  const char* const Others[] = {"FilterType", "FilterOn", "PlotOn", "x", ""};
  std::string Before[5];
  for (int I = 0; I < 5; ++I) Before[I] = Text.ReadString(Section, Others[I], "\x01missing");
  const std::string OtherSection = Text.ReadString("Other", "FilterType", "\x01missing");
  (void)Text.ReadInteger(Section, Key, 0);

  try {
    Text.WriteString(Section, Key, Value);
  } catch (const Exception&) {
    Check(Text.Content() == Content);  // a refused write changes nothing
    return 0;
  }
  // What a read gives back: the value without the spaces around it.
  const std::string_view Expected = Trimmed(Value);
  Check(Text.ReadString(Section, Key, "\x01missing") == Expected);
  const TIniText Again(Text.Content());
  Check(Again.ReadString(Section, Key, "\x01missing") == Expected);
  for (int I = 0; I < 5; ++I)
    if (!SameName(Key, Others[I])) Check(Again.ReadString(Section, Others[I], "\x01missing") == Before[I]);
  if (!SameName(Section, "Other")) Check(Again.ReadString("Other", "FilterType", "\x01missing") == OtherSection);

  // More writes on the same text (its index follows each change) read the
  // same as a fresh parse of the result.
  Text.WriteString(Section, "PlotOn", " 7");
  Text.WriteString("Other", "x", Value.substr(0, Value.find('\r')));
  const TIniText Fresh(Text.Content());
  for (const char* Name : Others)
    for (const char* In : {Section.c_str(), "Other"})
      Check(Text.ReadString(In, Name, "\x01missing") == Fresh.ReadString(In, Name, "\x01missing"));
  Check(Text.ReadString(Section, Key, "\x01missing") == Fresh.ReadString(Section, Key, "\x01missing"));
  return 0;
}
