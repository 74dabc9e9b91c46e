#include "platform/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/Exception.h"

namespace quellmarin {
namespace {

namespace fs = std::filesystem;

// One line of the file: its text and the line break that ended it ("" for a
// last line without one), so the file is written back byte for byte.
struct TLine {
  std::string Text;
  std::string Eol;
};

enum class TLineKind { Other, Section, Key };

struct TParsedLine {
  TLineKind Kind = TLineKind::Other;
  std::string Name;   // section or key name, trimmed
  std::string Value;  // value of a key line, trimmed
};

bool IsSpace(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\f' || C == '\v'; }

std::string Trim(const std::string& S) {
  size_t First = 0;
  size_t Last = S.size();
  while (First < Last && IsSpace(S[First])) ++First;
  while (Last > First && IsSpace(S[Last - 1])) --Last;
  return S.substr(First, Last - First);
}

char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

bool SameName(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (LowerAscii(A[I]) != LowerAscii(B[I])) return false;
  return true;
}

TParsedLine Parse(const std::string& Text, bool FirstLine) {
  std::string S = Text;
  if (FirstLine && S.starts_with("\xEF\xBB\xBF")) S.erase(0, 3);  // UTF-8 byte order mark
  S = Trim(S);
  TParsedLine Result;
  if (S.empty() || S[0] == ';' || S[0] == '#') return Result;
  if (S[0] == '[') {
    const size_t Close = S.find(']');
    if (Close != std::string::npos) {
      Result.Kind = TLineKind::Section;
      Result.Name = Trim(S.substr(1, Close - 1));
    }
    return Result;
  }
  const size_t Eq = S.find('=');
  if (Eq == std::string::npos) return Result;
  Result.Name = Trim(S.substr(0, Eq));
  if (Result.Name.empty()) return Result;
  Result.Kind = TLineKind::Key;
  Result.Value = Trim(S.substr(Eq + 1));
  return Result;
}

std::vector<TLine> SplitLines(const std::string& Content) {
  std::vector<TLine> Lines;
  size_t Pos = 0;
  while (Pos < Content.size()) {
    const size_t Nl = Content.find('\n', Pos);
    if (Nl == std::string::npos) {
      Lines.push_back({Content.substr(Pos), ""});
      break;
    }
    size_t End = Nl;
    if (End > Pos && Content[End - 1] == '\r') --End;
    Lines.push_back({Content.substr(Pos, End - Pos), Content.substr(End, Nl + 1 - End)});
    Pos = Nl + 1;
  }
  return Lines;
}

enum class TReadResult { Ok, Missing, Failed };

TReadResult ReadWholeFile(const std::string& FileName, std::string& Content) {
  Content.clear();
  const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return errno == ENOENT ? TReadResult::Missing : TReadResult::Failed;
  char Buffer[4096];
  for (;;) {
    const ssize_t N = ::read(Fd, Buffer, sizeof Buffer);
    if (N < 0) {
      if (errno == EINTR) continue;
      ::close(Fd);
      return TReadResult::Failed;
    }
    if (N == 0) break;
    Content.append(Buffer, static_cast<size_t>(N));
  }
  ::close(Fd);
  return TReadResult::Ok;
}

// Index of the header of the first section named Section, or -1.
long FindSection(const std::vector<TLine>& Lines, const std::string& Section) {
  for (size_t I = 0; I < Lines.size(); ++I) {
    const TParsedLine P = Parse(Lines[I].Text, I == 0);
    if (P.Kind == TLineKind::Section && SameName(P.Name, Section)) return static_cast<long>(I);
  }
  return -1;
}

// Mode bits for a new file: what the process's umask leaves of 0666.
mode_t NewFileMode() {
  mode_t Mask = 022;
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line)) {
    if (Line.starts_with("Umask:")) {
      try {
        Mask = static_cast<mode_t>(std::stoul(Line.substr(6), nullptr, 8));
      } catch (...) {
      }
      break;
    }
  }
  return 0666 & ~Mask;
}

bool WriteAll(int Fd, const std::string& Content) {
  size_t Done = 0;
  while (Done < Content.size()) {
    const ssize_t N = ::write(Fd, Content.data() + Done, Content.size() - Done);
    if (N < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    Done += static_cast<size_t>(N);
  }
  return true;
}

// Replaces the file Target with Content through a temporary file in the same
// folder. Returns false, leaving Target as it was, when any step fails.
bool ReplaceFile(const fs::path& Target, const std::string& Content) {
  const fs::path Folder = Target.has_parent_path() ? Target.parent_path() : fs::path(".");
  std::string Template = (Folder / ("." + Target.filename().string() + ".XXXXXX")).string();
  const int Fd = ::mkstemp(Template.data());
  if (Fd < 0) return false;

  struct stat Old {};
  bool Ok;
  if (::stat(Target.c_str(), &Old) == 0) {
    Ok = ::fchmod(Fd, Old.st_mode & 07777) == 0;
    if (Ok && ::fchown(Fd, Old.st_uid, Old.st_gid) != 0) {
      // Keeping the owner needs privileges the process may lack; the file's
      // content and mode are what matter.
    }
  } else {
    Ok = ::fchmod(Fd, NewFileMode()) == 0;
  }
  Ok = Ok && WriteAll(Fd, Content) && ::fsync(Fd) == 0;
  Ok = (::close(Fd) == 0) && Ok;
  Ok = Ok && ::rename(Template.c_str(), Target.c_str()) == 0;
  if (!Ok) {
    ::unlink(Template.c_str());
    return false;
  }
  // Make the rename itself durable; the new content is already in place.
  const int Dir = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Dir >= 0) {
    ::fsync(Dir);
    ::close(Dir);
  }
  return true;
}

}  // namespace

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Key,
                                 const std::string& Default) const {
  std::string Content;
  if (ReadWholeFile(FFileName, Content) != TReadResult::Ok) return Default;
  const std::vector<TLine> Lines = SplitLines(Content);
  const long Header = FindSection(Lines, Section);
  if (Header < 0) return Default;
  for (size_t I = static_cast<size_t>(Header) + 1; I < Lines.size(); ++I) {
    const TParsedLine P = Parse(Lines[I].Text, false);
    if (P.Kind == TLineKind::Section) break;
    if (P.Kind == TLineKind::Key && SameName(P.Name, Key)) return P.Value;
  }
  return Default;
}

std::optional<int32_t> TIniFile::ParseInteger(const std::string& Text) {
  const bool Hex = Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
  size_t Pos = Hex ? 2 : 0;
  bool Negative = false;
  if (!Hex && Pos < Text.size() && (Text[Pos] == '+' || Text[Pos] == '-')) {
    Negative = Text[Pos] == '-';
    ++Pos;
  }
  if (Pos == Text.size()) return std::nullopt;
  // Accumulate the magnitude in 64 bits; stop as soon as it leaves the 32-bit
  // range so long digit strings cannot overflow.
  const int64_t Limit = Negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t Magnitude = 0;
  for (; Pos < Text.size(); ++Pos) {
    const char C = Text[Pos];
    int Digit;
    if (C >= '0' && C <= '9')
      Digit = C - '0';
    else if (Hex && C >= 'a' && C <= 'f')
      Digit = C - 'a' + 10;
    else if (Hex && C >= 'A' && C <= 'F')
      Digit = C - 'A' + 10;
    else
      return std::nullopt;
    Magnitude = Magnitude * (Hex ? 16 : 10) + Digit;
    if (Magnitude > Limit) return std::nullopt;
  }
  return static_cast<int32_t>(Negative ? -Magnitude : Magnitude);
}

int32_t TIniFile::ReadInteger(const std::string& Section, const std::string& Key,
                              int32_t Default) const {
  return ParseInteger(ReadString(Section, Key, "")).value_or(Default);
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Key, bool Default) const {
  return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Key,
                           const std::string& Value) {
  const Exception Failure("Unable to write to " + FFileName);
  // Names and values that would break the line structure cannot be stored.
  auto Breaks = [](const std::string& S) { return S.find_first_of("\r\n") != std::string::npos; };
  if (Breaks(Section) || Breaks(Key) || Breaks(Value) || Section.find(']') != std::string::npos ||
      Key.find('=') != std::string::npos || Trim(Key).empty() ||
      std::string(";#[").find(Trim(Key)[0]) != std::string::npos)
    throw Failure;

  // Write through a link to the file it points at rather than replacing the link.
  std::error_code Ec;
  fs::path Target = fs::canonical(FFileName, Ec);
  if (Ec) Target = FFileName;

  std::string Content;
  // A file that exists but cannot be read would lose its other settings.
  if (ReadWholeFile(Target.string(), Content) == TReadResult::Failed) throw Failure;
  std::vector<TLine> Lines = SplitLines(Content);

  std::string Eol = "\n";
  for (const TLine& L : Lines)
    if (!L.Eol.empty()) {
      Eol = L.Eol;
      break;
    }
  const std::string NewLine = Key + "=" + Value;

  const long Header = FindSection(Lines, Section);
  if (Header < 0) {
    if (!Lines.empty() && Lines.back().Eol.empty()) Lines.back().Eol = Eol;
    Lines.push_back({"[" + Section + "]", Eol});
    Lines.push_back({NewLine, Eol});
  } else {
    size_t InsertAfter = static_cast<size_t>(Header);
    bool Replaced = false;
    for (size_t I = InsertAfter + 1; I < Lines.size(); ++I) {
      const TParsedLine P = Parse(Lines[I].Text, false);
      if (P.Kind == TLineKind::Section) break;
      if (P.Kind != TLineKind::Key) continue;
      if (SameName(P.Name, Key)) {
        Lines[I].Text = NewLine;
        Replaced = true;
        break;
      }
      InsertAfter = I;
    }
    if (!Replaced) {
      if (Lines[InsertAfter].Eol.empty()) Lines[InsertAfter].Eol = Eol;
      Lines.insert(Lines.begin() + static_cast<long>(InsertAfter) + 1, TLine{NewLine, Eol});
    }
  }

  std::string NewContent;
  NewContent.reserve(Content.size() + NewLine.size() + Section.size() + 8);
  for (const TLine& L : Lines) NewContent += L.Text + L.Eol;
  if (!ReplaceFile(Target, NewContent)) throw Failure;
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Key, int32_t Value) {
  WriteString(Section, Key, std::to_string(Value));
}

void TIniFile::WriteBool(const std::string& Section, const std::string& Key, bool Value) {
  WriteString(Section, Key, Value ? "1" : "0");
}

}  // namespace quellmarin
