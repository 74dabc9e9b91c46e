#include "platform/IniFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

namespace quellmarin {
namespace {

namespace fs = std::filesystem;

// ---- Lines of a text ---------------------------------------------------------

// One line of a text: where its characters start and end, and where the line
// break after it ends (Next == End for a last line without one).
struct TLineSpan {
  size_t Begin = 0;
  size_t End = 0;
  size_t Next = 0;
};

// The line starting at Pos (< Text.size()). LF, CR LF and a lone CR end a line.
TLineSpan LineAt(std::string_view Text, size_t Pos) {
  TLineSpan L{Pos, Pos, Pos};
  const size_t Break = Text.find_first_of("\r\n", Pos);
  if (Break == std::string_view::npos) {
    L.End = L.Next = Text.size();
    return L;
  }
  L.End = Break;
  L.Next = Break + 1;
  if (Text[Break] == '\r' && L.Next < Text.size() && Text[L.Next] == '\n') ++L.Next;
  return L;
}

enum class TLineKind { Other, Section, Key };

struct TParsedLine {
  TLineKind Kind = TLineKind::Other;
  std::string_view Name;   // section or key name, trimmed
  std::string_view Value;  // value of a key line, trimmed
};

bool IsSpace(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\f' || C == '\v'; }

std::string_view Trim(std::string_view S) {
  while (!S.empty() && IsSpace(S.front())) S.remove_prefix(1);
  while (!S.empty() && IsSpace(S.back())) S.remove_suffix(1);
  return S;
}

char LowerAscii(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

bool SameName(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (LowerAscii(A[I]) != LowerAscii(B[I])) return false;
  return true;
}

TParsedLine Parse(std::string_view S, bool FirstLine) {
  if (FirstLine && S.starts_with("\xEF\xBB\xBF")) S.remove_prefix(3);  // UTF-8 byte order mark
  S = Trim(S);
  TParsedLine Result;
  if (S.empty() || S[0] == ';' || S[0] == '#') return Result;
  if (S[0] == '[') {
    const size_t Close = S.find(']');
    if (Close != std::string_view::npos) {
      Result.Kind = TLineKind::Section;
      Result.Name = Trim(S.substr(1, Close - 1));
    }
    return Result;
  }
  const size_t Eq = S.find('=');
  if (Eq == std::string_view::npos) return Result;
  Result.Name = Trim(S.substr(0, Eq));
  if (Result.Name.empty()) return Result;
  Result.Kind = TLineKind::Key;
  Result.Value = Trim(S.substr(Eq + 1));
  return Result;
}

// The first line break of the text, "\n" when it has none: new lines get it.
std::string_view LineBreakOf(std::string_view Text) {
  const size_t Break = Text.find_first_of("\r\n");
  if (Break == std::string_view::npos) return "\n";
  if (Text[Break] == '\r') return Break + 1 < Text.size() && Text[Break + 1] == '\n' ? "\r\n" : "\r";
  return "\n";
}

// ---- Reading a file ----------------------------------------------------------

std::mutex HookLock;
TIniFile::TReadHook ReadHook;

void RunReadHook(const std::string& FileName) {
  TIniFile::TReadHook Hook;
  {
    std::lock_guard<std::mutex> Guard(HookLock);
    Hook = ReadHook;
  }
  if (Hook) Hook(FileName);
}

class TFd {
public:
  explicit TFd(int Fd) : FFd(Fd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  int Release() { return std::exchange(FFd, -1); }

private:
  int FFd;
};

std::string ErrnoText(int Code) { return std::strerror(Code); }

const std::string SizeLimitText = "larger than 1 MB";

// The file's text, or nothing when it does not exist. Raises Exception for a
// file that exists but is not a regular file, is too large or cannot be read.
std::optional<std::string> ReadTextFile(const std::string& FileName) {
  RunReadHook(FileName);
  // Look before opening: opening a device can have effects of its own.
  struct stat Status {};
  if (::stat(FileName.c_str(), &Status) != 0) {
    if (errno == ENOENT) return std::nullopt;
    throw Exception(FileName + " cannot be read: " + ErrnoText(errno));
  }
  if (!S_ISREG(Status.st_mode)) throw Exception(FileName + " is not a regular file");
  if (Status.st_size > TIniFile::MaxFileSize) throw Exception(FileName + " is " + SizeLimitText);

  // Without blocking: whatever took the file's place since the look above
  // must not hold the program up.
  TFd Fd(::open(FileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (Fd.Get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw Exception(FileName + " cannot be read: " + ErrnoText(errno));
  }
  if (::fstat(Fd.Get(), &Status) != 0) throw Exception(FileName + " cannot be read: " + ErrnoText(errno));
  if (!S_ISREG(Status.st_mode)) throw Exception(FileName + " is not a regular file");

  // One byte beyond the limit tells a file that grew since the look above.
  std::string Content;
  Content.resize(static_cast<size_t>(std::min<int64_t>(Status.st_size, TIniFile::MaxFileSize)) + 1);
  size_t Done = 0;
  for (;;) {
    if (Done == Content.size()) {
      if (Done > static_cast<size_t>(TIniFile::MaxFileSize)) throw Exception(FileName + " is " + SizeLimitText);
      Content.resize(std::min<size_t>(Done * 2, static_cast<size_t>(TIniFile::MaxFileSize) + 1));
    }
    const ssize_t N = ::read(Fd.Get(), Content.data() + Done, Content.size() - Done);
    if (N < 0) {
      if (errno == EINTR) continue;
      throw Exception(FileName + " cannot be read: " + ErrnoText(errno));
    }
    if (N == 0) break;
    Done += static_cast<size_t>(N);
  }
  Content.resize(Done);
  return Content;
}

// ---- Replacing a file --------------------------------------------------------

// The file a write of FileName goes to: FileName itself, or the file at the
// end of its chain of symbolic links, which need not exist yet.
std::optional<fs::path> WriteTarget(const std::string& FileName) {
  fs::path P = FileName;
  for (int Hop = 0; Hop < 40; ++Hop) {
    struct stat Status {};
    if (::lstat(P.c_str(), &Status) != 0 || !S_ISLNK(Status.st_mode)) return P;
    std::error_code Ec;
    const fs::path Link = fs::read_symlink(P, Ec);
    if (Ec) return std::nullopt;
    P = Link.is_absolute() ? Link : (P.parent_path() / Link).lexically_normal();
  }
  return std::nullopt;  // a loop of links
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

// Temporary files are named "." + the file's name + "." + six characters.
std::string TemporaryPrefix(const fs::path& Target) { return "." + Target.filename().string() + "."; }

// Removes the temporary files of earlier replacements of Target that did not
// finish (the process was killed between creating and renaming them): our
// name pattern, a regular file of this user, last written over a minute ago.
// A replacement running at the same moment has a fresh file and is left alone.
void RemoveStaleTemporaries(const fs::path& Folder, const fs::path& Target) {
  const std::string Prefix = TemporaryPrefix(Target);
  DIR* Dir = ::opendir(Folder.c_str());
  if (Dir == nullptr) return;
  const time_t Now = ::time(nullptr);
  while (const dirent* Entry = ::readdir(Dir)) {
    const std::string_view Name = Entry->d_name;
    if (Name.size() != Prefix.size() + 6 || !Name.starts_with(Prefix)) continue;
    bool Pattern = true;
    for (char C : Name.substr(Prefix.size()))
      Pattern = Pattern && ((C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z'));
    if (!Pattern) continue;
    struct stat Status {};
    if (::fstatat(::dirfd(Dir), Entry->d_name, &Status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(Status.st_mode) || Status.st_uid != ::geteuid() || Now - Status.st_mtime <= 60) continue;
    ::unlinkat(::dirfd(Dir), Entry->d_name, 0);
  }
  ::closedir(Dir);
}

// Replaces the file Target with Content through a temporary file in the same
// folder, with one flush of the file and one of the folder. Returns false,
// leaving Target as it was, when any step fails.
bool ReplaceFile(const fs::path& Target, const std::string& Content) {
  const fs::path Folder = Target.has_parent_path() ? Target.parent_path() : fs::path(".");
  RemoveStaleTemporaries(Folder, Target);
  std::string Template = (Folder / (TemporaryPrefix(Target) + "XXXXXX")).string();
  const int Fd = ::mkostemp(Template.data(), O_CLOEXEC);
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

// ---- TIniText ----------------------------------------------------------------

const std::vector<TIniText::TEntry>& TIniText::Index() const {
  if (FIndexed) return FIndex;
  FIndex.clear();
  const std::string_view Text = FContent;
  for (size_t Pos = 0; Pos < Text.size();) {
    const TLineSpan L = LineAt(Text, Pos);
    const TParsedLine P = Parse(Text.substr(L.Begin, L.End - L.Begin), Pos == 0);
    if (P.Kind != TLineKind::Other) {
      const size_t NameBegin = static_cast<size_t>(P.Name.data() - Text.data());
      const size_t ValueBegin = P.Kind == TLineKind::Key ? static_cast<size_t>(P.Value.data() - Text.data()) : 0;
      FIndex.push_back({L.Begin, L.End, L.Next, NameBegin, P.Name.size(), ValueBegin, P.Value.size(),
                        P.Kind == TLineKind::Section});
    }
    Pos = L.Next;
  }
  FIndexed = true;
  return FIndex;
}

size_t TIniText::FindSection(std::string_view Section) const {
  const std::vector<TEntry>& Entries = Index();
  for (size_t I = 0; I < Entries.size(); ++I)
    if (Entries[I].Section && SameName(NameOf(Entries[I]), Section)) return I;
  return Entries.size();
}

std::string TIniText::ReadString(std::string_view Section, std::string_view Key, const std::string& Default) const {
  const std::vector<TEntry>& Entries = Index();
  Key = Trim(Key);
  for (size_t I = FindSection(Trim(Section)) + 1; I < Entries.size() && !Entries[I].Section; ++I)
    if (SameName(NameOf(Entries[I]), Key)) return FContent.substr(Entries[I].ValueBegin, Entries[I].ValueLength);
  return Default;
}

int32_t TIniText::ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const {
  return TIniFile::ParseInteger(ReadString(Section, Key, "")).value_or(Default);
}

bool TIniText::ReadBool(std::string_view Section, std::string_view Key, bool Default) const {
  return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

void TIniText::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
  Section = Trim(Section);
  Key = Trim(Key);
  // Names and values that would break the line structure cannot be stored.
  auto Breaks = [](std::string_view S) { return S.find_first_of("\r\n") != std::string_view::npos; };
  if (Breaks(Section) || Breaks(Key) || Breaks(Value) || Section.find(']') != std::string_view::npos ||
      Key.empty() || Key.find('=') != std::string_view::npos ||
      std::string_view(";#[").find(Key[0]) != std::string_view::npos)
    throw Exception("Cannot store the key \"" + std::string(Key) + "\" in section \"" + std::string(Section) + "\"");

  const std::string Eol(LineBreakOf(FContent));
  const std::string NewLine = std::string(Key) + "=" + std::string(Value);
  const std::vector<TEntry>& Entries = Index();
  const size_t Header = FindSection(Section);
  if (Header == Entries.size()) {
    std::string Tail;
    if (!FContent.empty() && FContent.back() != '\n' && FContent.back() != '\r') Tail = Eol;
    Tail += "[" + std::string(Section) + "]" + Eol + NewLine + Eol;
    FContent += Tail;
    FIndexed = false;
    return;
  }
  // Replace the key's line in place, or insert a line after the section's last
  // key (after its header when it has none). The index moves along.
  auto ShiftFrom = [this](size_t First, ptrdiff_t Shift) {
    for (size_t J = First; J < FIndex.size(); ++J) {
      TEntry& F = FIndex[J];
      for (size_t* Offset : {&F.Begin, &F.End, &F.Next, &F.NameBegin, &F.ValueBegin})
        *Offset = static_cast<size_t>(static_cast<ptrdiff_t>(*Offset) + Shift);
    }
  };
  const std::string_view TrimmedValue = Trim(Value);
  const size_t ValueOffset = Key.size() + 1 + static_cast<size_t>(TrimmedValue.data() - Value.data());
  size_t InsertAfter = Header;
  for (size_t I = Header + 1; I < Entries.size() && !Entries[I].Section; ++I) {
    if (SameName(NameOf(Entries[I]), Key)) {
      TEntry& E = FIndex[I];
      const ptrdiff_t Shift = static_cast<ptrdiff_t>(NewLine.size()) - static_cast<ptrdiff_t>(E.End - E.Begin);
      FContent.replace(E.Begin, E.End - E.Begin, NewLine);
      E = {E.Begin, E.Begin + NewLine.size(), static_cast<size_t>(static_cast<ptrdiff_t>(E.Next) + Shift), E.Begin,
           Key.size(), E.Begin + ValueOffset, TrimmedValue.size(), false};
      ShiftFrom(I + 1, Shift);
      return;
    }
    InsertAfter = I;
  }
  TEntry& After = FIndex[InsertAfter];
  const bool HasBreak = After.Next > After.End;
  const std::string Inserted = HasBreak ? NewLine + Eol : Eol + NewLine + Eol;
  const size_t At = After.Next;
  FContent.insert(At, Inserted);
  if (!HasBreak) After.Next += Eol.size();  // the last line of the text gets a line break
  const size_t Begin = HasBreak ? At : At + Eol.size();
  const TEntry Added{Begin, Begin + NewLine.size(), Begin + NewLine.size() + Eol.size(), Begin, Key.size(),
                     Begin + ValueOffset, TrimmedValue.size(), false};
  FIndex.insert(FIndex.begin() + static_cast<ptrdiff_t>(InsertAfter) + 1, Added);
  ShiftFrom(InsertAfter + 2, static_cast<ptrdiff_t>(Inserted.size()));
}

void TIniText::WriteInteger(std::string_view Section, std::string_view Key, int32_t Value) {
  WriteString(Section, Key, std::to_string(Value));
}

void TIniText::WriteBool(std::string_view Section, std::string_view Key, bool Value) {
  WriteString(Section, Key, Value ? "1" : "0");
}

// ---- TIniFile ----------------------------------------------------------------

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {}

TIniFile::TReadHook TIniFile::SetReadHook(TReadHook Hook) {
  std::lock_guard<std::mutex> Guard(HookLock);
  return std::exchange(ReadHook, std::move(Hook));
}

TIniText TIniFile::Load() const { return TIniText(ReadTextFile(FFileName).value_or(std::string())); }

void TIniFile::Update(const std::function<void(TIniText&)>& Change) {
  const std::string Failure = "Unable to write to " + FFileName;
  try {
    const std::optional<fs::path> Target = WriteTarget(FFileName);
    if (!Target) throw Exception(Failure);
    // A file that exists but cannot be read would lose its other settings.
    const std::optional<std::string> Old = ReadTextFile(Target->string());
    TIniText Text(Old.value_or(std::string()));
    Change(Text);
    if (Old && Text.Content() == *Old) return;
    // A text Load would refuse would cost every setting at the next start.
    if (static_cast<int64_t>(Text.Content().size()) > MaxFileSize) throw Exception(Failure);
    if (!ReplaceFile(*Target, Text.Content())) throw Exception(Failure);
  } catch (const std::exception&) {
    throw Exception(Failure);
  }
}

std::optional<int32_t> TIniFile::ParseInteger(std::string_view Text) {
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

std::string TIniFile::ReadString(const std::string& Section, const std::string& Key,
                                 const std::string& Default) const {
  try {
    return Load().ReadString(Section, Key, Default);
  } catch (const std::exception&) {
    return Default;
  }
}

int32_t TIniFile::ReadInteger(const std::string& Section, const std::string& Key, int32_t Default) const {
  return ParseInteger(ReadString(Section, Key, "")).value_or(Default);
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Key, bool Default) const {
  return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Key, const std::string& Value) {
  Update([&](TIniText& Text) { Text.WriteString(Section, Key, Value); });
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Key, int32_t Value) {
  WriteString(Section, Key, std::to_string(Value));
}

void TIniFile::WriteBool(const std::string& Section, const std::string& Key, bool Value) {
  WriteString(Section, Key, Value ? "1" : "0");
}

}  // namespace quellmarin
