#pragma once
// Profile (INI) file reader and writer.
//
// File format: "[Section]" header lines, each followed by "Key=Value" lines.
// Section and key names match without regard to letter case (ASCII); spaces
// around names and values are ignored when reading. Lines starting with ';' or
// '#' are comments. When a section or key occurs twice, the first one counts.
//
// Every call goes to the file at once; nothing is kept in memory between calls,
// so another program may edit the file between two calls.
//
// Reading never fails: a missing file, section or key, an unreadable file or a
// malformed value gives the default. Writing replaces the file as a whole: the
// new text goes to a temporary file in the same folder, is flushed to disk and
// then renamed over the old file, so the file on disk is always either the old
// or the new one. Everything other than the written key (other sections, keys,
// comments, blank lines, their order and line endings) is kept as it was. A
// write that fails raises Exception "Unable to write to <file name>" and
// leaves the old file as it was.
//
// Threads: an object is used by one thread at a time (the UI thread in the
// program). Two writers of one file at the same moment are not coordinated:
// the later rename wins.

#include <cstdint>
#include <optional>
#include <string>

namespace quellmarin {

class TIniFile {
public:
  explicit TIniFile(std::string FileName);
  virtual ~TIniFile() = default;

  const std::string& FileName() const { return FFileName; }

  // The value text of Key in Section, trimmed of surrounding spaces, or
  // Default when the file, section or key is missing.
  std::string ReadString(const std::string& Section, const std::string& Key,
                         const std::string& Default) const;

  // The value as a 32-bit integer. A value longer than two characters that
  // starts with "0x" or "0X" is hexadecimal (hex digits only, no sign);
  // otherwise decimal with an optional leading '+' or '-'. Anything else
  // (empty, trailing characters, inner spaces, out of the 32-bit range) and
  // any missing file, section or key gives Default.
  int32_t ReadInteger(const std::string& Section, const std::string& Key, int32_t Default) const;

  // True when the integer read is not 0; Default when it cannot be read.
  bool ReadBool(const std::string& Section, const std::string& Key, bool Default) const;

  // Sets Key in Section to Value: an existing key keeps its line, a new key is
  // added after the last key of its section, a missing section is added at the
  // end of the file. Raises Exception "Unable to write to <FileName>" on failure.
  void WriteString(const std::string& Section, const std::string& Key, const std::string& Value);
  // Writes Value in decimal.
  void WriteInteger(const std::string& Section, const std::string& Key, int32_t Value);
  // Writes "1" for true and "0" for false.
  void WriteBool(const std::string& Section, const std::string& Key, bool Value);

  // The integer a value text stands for under the rules of ReadInteger, or
  // nothing when it is not a valid integer.
  static std::optional<int32_t> ParseInteger(const std::string& Text);

private:
  std::string FFileName;
};

}  // namespace quellmarin
