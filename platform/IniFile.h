#pragma once
// Profile (INI) file reader and writer.
//
// File format: "[Section]" header lines, each followed by "Key=Value" lines.
// Lines end in LF, CR LF or a lone CR. Section and key names match without
// regard to letter case (ASCII); spaces around names and values are ignored,
// both in the file and in the names a caller passes. Lines starting with ';'
// or '#' are comments. When a section or key occurs twice, the first one
// counts.
//
// TIniText is a file's text held in memory: any number of reads and writes on
// it, no file access. TIniFile reads and replaces the file on disk:
//   * Load reads the file once. Only a regular file of at most MaxFileSize
//     bytes is read; it is opened without blocking, so a FIFO or a device in
//     its place is refused at once rather than waited on or read without end.
//     A missing file (or a link to a missing file) is an empty text.
//   * Update reads the file as it is at that moment, applies any number of
//     changes and replaces the file once: the new text goes to a temporary
//     file in the same folder, is flushed to disk and renamed over the old
//     file, so the file on disk is always either the old or the new one.
//     Everything the changes do not touch (other sections, keys, comments,
//     blank lines, their order and line endings) is kept as it was. A symbolic
//     link is written through to the file it points at (created there when
//     missing) and stays a link. Temporary files of earlier replacements that
//     were killed half-way (".<name>.XXXXXX", ours, older than a minute) are
//     removed. Any failure, including a file that Load refuses or a new text
//     larger than MaxFileSize (which the next Load would refuse), raises
//     Exception "Unable to write to <file name>" and leaves the file as it was.
//   * ReadString, ReadInteger, ReadBool, WriteString, WriteInteger and
//     WriteBool are single-key shorthands: each reads or replaces the file
//     once (a read that fails gives the default).
//
// Threads: an object is used by one thread at a time (the UI thread in the
// program). Two writers of one file at the same moment are not coordinated:
// the later rename wins.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"

namespace quellmarin {

// The text of a profile file in memory.
class TIniText {
public:
  TIniText() = default;
  explicit TIniText(std::string Content) : FContent(std::move(Content)) {}
  TIniText(const TIniText& Other) : FContent(Other.FContent) {}
  TIniText& operator=(const TIniText& Other) {
    FContent = Other.FContent;
    FIndexed = false;
    return *this;
  }
  TIniText(TIniText&&) = default;
  TIniText& operator=(TIniText&&) = default;

  const std::string& Content() const { return FContent; }

  // The value text of Key in Section, trimmed of surrounding spaces, or
  // Default when the section or key is missing.
  std::string ReadString(std::string_view Section, std::string_view Key, const std::string& Default) const;
  // The value as a 32-bit integer under the rules of TIniFile::ParseInteger,
  // or Default when it is missing or not a valid integer.
  int32_t ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const;
  // True when the integer read is not 0; Default when it cannot be read.
  bool ReadBool(std::string_view Section, std::string_view Key, bool Default) const;

  // Sets Key in Section to Value: an existing key keeps its line, a new key is
  // added after the last key of its section, a missing section is added at the
  // end. Names are stored trimmed. Raises Exception "Cannot store ..." for a
  // name or value the file format cannot hold (a line break, an empty key, a
  // key with '=' or starting with ';', '#' or '[', a section with ']'), and
  // then changes nothing.
  void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Key, int32_t Value);  // decimal
  void WriteBool(std::string_view Section, std::string_view Key, bool Value);        // "1" / "0"

private:
  // A section header or key line of the text: where it starts, where its
  // text and its line break end, and where its name and value lie.
  struct TEntry {
    size_t Begin, End, Next;
    size_t NameBegin, NameLength, ValueBegin, ValueLength;
    bool Section;
  };
  // The section headers and key lines in text order, built by one pass over
  // the text when first needed, so that reads and in-place writes do not scan
  // comments and blank lines again.
  const std::vector<TEntry>& Index() const;
  std::string_view NameOf(const TEntry& E) const { return std::string_view(FContent).substr(E.NameBegin, E.NameLength); }
  // The entry of the first section named Section, or Index().size().
  size_t FindSection(std::string_view Section) const;

  std::string FContent;
  mutable std::vector<TEntry> FIndex;
  mutable bool FIndexed = false;
};

class TIniFile {
public:
  // Largest file Load reads.
  static constexpr int64_t MaxFileSize = 1 << 20;

  explicit TIniFile(std::string FileName);
  virtual ~TIniFile() = default;

  const std::string& FileName() const { return FFileName; }

  // The file's text; an empty text when the file does not exist. Raises
  // Exception, with the reason and the file name, for a file that exists but
  // is not used: not a regular file, larger than MaxFileSize, or unreadable.
  TIniText Load() const;

  // Reads the file, applies Change to its text and replaces the file once
  // (see the top of this header). A file whose text Change leaves unchanged is
  // not rewritten.
  void Update(const std::function<void(TIniText&)>& Change);

  std::string ReadString(const std::string& Section, const std::string& Key, const std::string& Default) const;
  // A value longer than two characters that starts with "0x" or "0X" is
  // hexadecimal (hex digits only, no sign); otherwise decimal with an
  // optional leading '+' or '-'. Anything else (empty, trailing characters,
  // inner spaces, out of the 32-bit range) and any missing file, section or
  // key gives Default.
  int32_t ReadInteger(const std::string& Section, const std::string& Key, int32_t Default) const;
  bool ReadBool(const std::string& Section, const std::string& Key, bool Default) const;

  void WriteString(const std::string& Section, const std::string& Key, const std::string& Value);
  void WriteInteger(const std::string& Section, const std::string& Key, int32_t Value);
  void WriteBool(const std::string& Section, const std::string& Key, bool Value);

  // The integer a value text stands for under the rules of ReadInteger, or
  // nothing when it is not a valid integer.
  static std::optional<int32_t> ParseInteger(std::string_view Text);

  // Called with the file name before every read of a file (Load, Update and
  // the shorthands); whatever it throws, the read throws. Lets tests make a
  // read fail the way a failing disk or an exhausted memory would. Returns
  // the previous hook.
  using TReadHook = std::function<void(const std::string& FileName)>;
  static TReadHook SetReadHook(TReadHook Hook);

private:
  std::string FFileName;
};

}  // namespace quellmarin
