#include <gtest/gtest.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <sstream>
#include <string>

#include "platform/Exception.h"
#include "platform/IniFile.h"

namespace quellmarin {
namespace {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
class IniFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Template = (fs::temp_directory_path() / "qm_ini_XXXXXX").string();
    ASSERT_NE(::mkdtemp(Template.data()), nullptr);
    Folder = Template;
    Name = (Folder / "quellmarin.INI").string();
  }
  void TearDown() override {
    std::error_code Ec;
    fs::permissions(Folder, fs::perms::owner_all, fs::perm_options::add, Ec);
    fs::remove_all(Folder, Ec);
  }
  void Put(const std::string& Text) { std::ofstream(Name, std::ios::binary) << Text; }
  std::string Get() const {
    std::ifstream In(Name, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
  }
  // Files in the folder: a failed write must leave no temporary file behind.
  size_t FileCount() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(Folder), fs::directory_iterator()));
  }

  fs::path Folder;
  std::string Name;
};

TEST(IniFileParse, IntegerRules) {
  struct Case {
    const char* Text;
    std::optional<int32_t> Expected;
  };
  const Case Cases[] = {
      {"0", 0},
      {"2000", 2000},
      {"-1", -1},
      {"+7", 7},
      {"007", 7},
      {"0x1F40", 8000},
      {"0X1f40", 8000},
      {"0x0", 0},
      {"0x7FFFFFFF", INT32_MAX},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"0x", std::nullopt},           // too short for hex, not decimal either
      {"0X", std::nullopt},
      {"0x80000000", std::nullopt},   // beyond the 32-bit range
      {"0x-1", std::nullopt},
      {"0x1G", std::nullopt},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"12abc", std::nullopt},
      {"1 2", std::nullopt},
      {"1.5", std::nullopt},
      {"1e3", std::nullopt},
      {"abc", std::nullopt},
      {"true", std::nullopt},
      {"$10", std::nullopt},
  };
  for (const Case& C : Cases) EXPECT_EQ(TIniFile::ParseInteger(C.Text), C.Expected) << '"' << C.Text << '"';
}

TEST_F(IniFileTest, ReadsThroughFileWithDefaults) {
  Put("; user settings\n"
      "[Other]\n"
      "FilterType=9\n"
      "[settings]\n"
      "filtertype=2\n"
      "FilterCenterFreq=0x1F40\n"
      "  SpectumScaleMax =  700  \n"
      "PlotScaleType=junk\n"
      "PlotOn=1\n"
      "FilterOn=0\n"
      "ExpDecayOn=yes\n"
      "[SETTINGS]\n"
      "Later=5\n");
  const TIniFile Ini(Name);
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "FilterType", 0), 2);  // names match in any case
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "FILTERCENTERFREQ", 2000), 8000);
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "SpectumScaleMax", 0), 700);  // spaces around are ignored
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "PlotScaleType", 3), 3);      // malformed
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "FilterBandwidth", 500), 500);  // missing key
  EXPECT_EQ(Ini.ReadInteger("Missing", "FilterType", 4), 4);          // missing section
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "Later", -1), -1);  // only the first of two equal sections counts
  EXPECT_EQ(Ini.ReadInteger("Other", "FilterType", 0), 9);

  EXPECT_TRUE(Ini.ReadBool("SETTINGS", "PlotOn", false));
  EXPECT_FALSE(Ini.ReadBool("SETTINGS", "FilterOn", true));
  EXPECT_FALSE(Ini.ReadBool("SETTINGS", "ExpDecayOn", false));  // not an integer: the default
  EXPECT_TRUE(Ini.ReadBool("SETTINGS", "ExpDecayOn", true));
  EXPECT_TRUE(Ini.ReadBool("SETTINGS", "FilterType", false));  // any integer but 0
}

TEST_F(IniFileTest, MissingOrUnreadableFileGivesDefaults) {
  const TIniFile Missing(Name);
  EXPECT_EQ(Missing.ReadInteger("SETTINGS", "FilterCenterFreq", 2000), 2000);
  EXPECT_TRUE(Missing.ReadBool("SETTINGS", "PlotOn", true));

  const TIniFile Folder_(Folder.string());  // a folder cannot be read as a file
  EXPECT_EQ(Folder_.ReadInteger("SETTINGS", "FilterType", 1), 1);
}

TEST_F(IniFileTest, ReadsSeeChangesMadeBetweenCalls) {
  const TIniFile Ini(Name);
  Put("[SETTINGS]\nFilterType=1\n");
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "FilterType", 0), 1);
  Put("[SETTINGS]\nFilterType=2\n");
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "FilterType", 0), 2);
}

TEST_F(IniFileTest, WriteChangesOnlyItsKey) {
  const std::string Before =
      "; written by hand\n"
      "[Window]\n"
      "Left=10\n"
      "\n"
      "[settings]\n"
      "# the filter\n"
      "FILTERON=1\n"
      "FilterType=1\n"
      "\n"
      "; next\n"
      "[Other]\n"
      "FilterOn=1\n";
  Put(Before);
  TIniFile Ini(Name);
  Ini.WriteBool("SETTINGS", "FilterOn", false);
  Ini.WriteInteger("SETTINGS", "FilterCenterFreq", 2500);  // new key: after the section's last key
  Ini.WriteInteger("SETTINGS", "FilterType", -1);
  EXPECT_EQ(Get(),
            "; written by hand\n"
            "[Window]\n"
            "Left=10\n"
            "\n"
            "[settings]\n"
            "# the filter\n"
            "FilterOn=0\n"
            "FilterType=-1\n"
            "FilterCenterFreq=2500\n"
            "\n"
            "; next\n"
            "[Other]\n"
            "FilterOn=1\n");
  EXPECT_EQ(FileCount(), 1u);
}

TEST_F(IniFileTest, WriteCreatesFileAndSection) {
  TIniFile Ini(Name);
  Ini.WriteInteger("SETTINGS", "PlotFunction", 1);
  Ini.WriteBool("SETTINGS", "PlotOn", true);
  EXPECT_EQ(Get(), "[SETTINGS]\nPlotFunction=1\nPlotOn=1\n");
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "PlotFunction", 0), 1);

  // A missing section goes at the end; a last line without a line break gets
  // one, and the file's own line breaks are kept.
  Put("[Window]\r\nLeft=1");
  Ini.WriteInteger("SETTINGS", "FilterType", 2);
  EXPECT_EQ(Get(), "[Window]\r\nLeft=1\r\n[SETTINGS]\r\nFilterType=2\r\n");

  // A section that is only a header gets its first key right below it.
  Put("[SETTINGS]\n\n[Next]\n");
  Ini.WriteInteger("SETTINGS", "FilterType", 0);
  EXPECT_EQ(Get(), "[SETTINGS]\nFilterType=0\n\n[Next]\n");
}

TEST_F(IniFileTest, WriteKeepsModeAndWritesThroughLinks) {
  Put("[SETTINGS]\nFilterOn=1\n");
  ::chmod(Name.c_str(), 0640);
  const fs::path Link = Folder / "link.INI";
  fs::create_symlink(Name, Link);
  TIniFile(Link.string()).WriteBool("SETTINGS", "FilterOn", false);
  EXPECT_TRUE(fs::is_symlink(Link));
  EXPECT_EQ(Get(), "[SETTINGS]\nFilterOn=0\n");
  EXPECT_EQ(fs::status(Name).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// Every failed write raises the message with the file name and leaves the old
// file, byte for byte, with no temporary file beside it.
void ExpectWriteFails(TIniFile& Ini, const std::string& Key, const std::string& Value) {
  try {
    Ini.WriteString("SETTINGS", Key, Value);
    ADD_FAILURE() << "write of " << Key << " succeeded";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Unable to write to " + Ini.FileName());
  }
}

const char* const OldContent = "; keep\n[SETTINGS]\nFilterOn=1\nFilterType=2\n";

TEST_F(IniFileTest, FailedWriteOnFullDiskLeavesOldFile) {
  Put(OldContent);
  TIniFile Ini(Name);
  // A file size limit below the new file's size stands in for a full disk.
  struct rlimit Saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &Saved), 0);
  auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit Small = Saved;
  Small.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &Small), 0);
  ExpectWriteFails(Ini, "FilterCenterFreq", "3000");
  ::setrlimit(RLIMIT_FSIZE, &Saved);
  std::signal(SIGXFSZ, OldHandler);
  EXPECT_EQ(Get(), OldContent);
  EXPECT_EQ(FileCount(), 1u);
}

TEST_F(IniFileTest, FailedWriteInReadOnlyFolderLeavesOldFile) {
  Put(OldContent);
  TIniFile Ini(Name);
  fs::permissions(Folder, fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(Folder.c_str(), W_OK) == 0) GTEST_SKIP() << "this user may write into read-only folders";
  ExpectWriteFails(Ini, "FilterOn", "0");
  EXPECT_EQ(Get(), OldContent);
}

TEST_F(IniFileTest, FailedWritesWithoutFolderOrWithBadNames) {
  TIniFile NoFolder((Folder / "missing" / "quellmarin.INI").string());
  ExpectWriteFails(NoFolder, "FilterOn", "1");

  Put(OldContent);
  TIniFile Ini(Name);
  ExpectWriteFails(Ini, "FilterOn", "1\n[Other]");  // would add a section
  ExpectWriteFails(Ini, "Filter=On", "1");
  ExpectWriteFails(Ini, "", "1");
  ExpectWriteFails(Ini, ";FilterOn", "1");
  ExpectWriteFails(Ini, "  ", "1");
  EXPECT_EQ(Get(), OldContent);
  EXPECT_EQ(FileCount(), 1u);
}

// What the file looks like on disk, byte for byte, or what stands in its place.
std::string Describe(const fs::path& P) {
  struct stat S {};
  if (::lstat(P.c_str(), &S) != 0) return "missing";
  if (S_ISLNK(S.st_mode)) return "link to " + fs::read_symlink(P).string();
  if (S_ISFIFO(S.st_mode)) return "fifo";
  if (S_ISDIR(S.st_mode)) return "folder";
  std::ifstream In(P, std::ios::binary);
  std::stringstream T;
  T << In.rdbuf();
  return "file " + T.str();
}

// Files that cannot serve as a settings file: Load refuses them at once with
// the reason, the shorthand reads give the defaults, and a write fails with the
// usual message and leaves them exactly as they were.
TEST_F(IniFileTest, FilesThatCannotBeReadAreRefusedAndLeftAlone) {
  const std::string Settings = "[SETTINGS]\nFilterType=2\n";
  struct Case {
    const char* Name;
    std::function<void()> Make;
    const char* Reason;
  };
  const Case Cases[] = {
      {"larger than 1 MB",
       [&] { Put(Settings + std::string(TIniFile::MaxFileSize, '\n')); }, "larger than 1 MB"},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(Name.c_str(), 0600), 0); }, "not a regular file"},
      {"a link to /dev/zero", [&] { fs::create_symlink("/dev/zero", Name); },
       "not a regular file"},
      {"a folder", [&] { fs::create_directory(Name); }, "not a regular file"},
      {"a read that throws",
       [&] {
         Put(Settings);
         TIniFile::SetReadHook([](const std::string&) { throw std::bad_alloc(); });
       },
       nullptr},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    std::error_code Ec;
    fs::remove_all(Name, Ec);
    C.Make();
    const std::string Before = Describe(Name);
    TIniFile Ini(Name);
    try {
      Ini.Load();
      ADD_FAILURE() << "loaded";
    } catch (const Exception& E) {
      if (C.Reason) {
        EXPECT_NE(E.Message().find(C.Reason), std::string::npos) << E.Message();
      }
      EXPECT_NE(E.Message().find(Name), std::string::npos) << E.Message();
    } catch (const std::bad_alloc&) {
      EXPECT_EQ(C.Reason, nullptr);
    }
    EXPECT_EQ(Ini.ReadInteger("SETTINGS", "FilterType", 0), 0);
    ExpectWriteFails(Ini, "FilterType", "1");
    TIniFile::SetReadHook({});
    EXPECT_EQ(Describe(Name), Before);
    EXPECT_EQ(FileCount(), 1u);
  }
}

// Line endings, names with spaces around them and links: what a load reads and
// what one write leaves.
TEST_F(IniFileTest, LineEndingsNamesAndLinks) {
  struct Case {
    const char* Name;
    std::string Before;
    int32_t FilterType;  // read before the write
    std::string After;   // after writing FilterType=1 and FilterOn=1 in one update
  };
  const Case Cases[] = {
      {"CR only", "[SETTINGS]\rFilterType=2\rPlotOn=1\r", 2,
       "[SETTINGS]\rFilterType=1\rPlotOn=1\rFilterOn=1\r"},
      {"CR only, last line open", "[Other]\rx=1", 0, "[Other]\rx=1\r[SETTINGS]\rFilterType=1\rFilterOn=1\r"},
      {"mixed", "[SETTINGS]\r\nFilterType=2\rPlotOn=1\n", 2,
       "[SETTINGS]\r\nFilterType=1\rPlotOn=1\nFilterOn=1\r\n"},
      {"spaces around names in the file", "[ settings ]\n  filtertype = 2 \n", 2,
       "[ settings ]\nFilterType=1\nFilterOn=1\n"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Put(C.Before);
    TIniFile Ini(Name);
    EXPECT_EQ(Ini.Load().ReadInteger("SETTINGS", "FilterType", 0), C.FilterType);
    Ini.Update([](TIniText& T) {
      T.WriteInteger("SETTINGS", "FilterType", 1);
      T.WriteBool("SETTINGS", "FilterOn", true);
    });
    EXPECT_EQ(Get(), C.After);
    EXPECT_EQ(FileCount(), 1u);
  }

  // Names passed with spaces around them are the same names: one key, found
  // again, never a second copy.
  Put("[SETTINGS]\nFilterType=2\n");
  TIniFile Ini(Name);
  Ini.WriteInteger(" SETTINGS ", " FilterType\t", 0);
  Ini.WriteInteger("SETTINGS ", " PlotOn", 1);
  EXPECT_EQ(Get(), "[SETTINGS]\nFilterType=0\nPlotOn=1\n");
  EXPECT_EQ(Ini.ReadInteger("  SETTINGS", "PlotOn  ", 0), 1);

  // A dangling link: reads give the defaults; a write creates the file it
  // points at and the link stays.
  const fs::path Target = Folder / "kept" / "real.INI";
  fs::create_directory(Folder / "kept");
  const fs::path Link = Folder / "link.INI";
  fs::create_symlink("kept/real.INI", Link);
  TIniFile Dangling(Link.string());
  EXPECT_EQ(Dangling.Load().Content(), "");
  Dangling.WriteInteger("SETTINGS", "FilterType", 2);
  EXPECT_EQ(Describe(Link), "link to kept/real.INI");
  EXPECT_EQ(Describe(Target), "file [SETTINGS]\nFilterType=2\n");
  // A loop of links cannot be written.
  fs::create_symlink("loop2", Folder / "loop1");
  fs::create_symlink("loop1", Folder / "loop2");
  TIniFile Loop((Folder / "loop1").string());
  ExpectWriteFails(Loop, "FilterType", "1");
}

TEST_F(IniFileTest, UpdateReplacesOnceAndSkipsAnUnchangedText) {
  Put("[SETTINGS]\nFilterType=2\n");
  TIniFile Ini(Name);
  Ini.Update([](TIniText& T) {
    for (int I = 0; I < 12; ++I) T.WriteInteger("SETTINGS", "Key" + std::to_string(I), I);
  });
  struct stat Before {};
  ASSERT_EQ(::stat(Name.c_str(), &Before), 0);
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "Key11", -1), 11);
  Ini.Update([](TIniText& T) { T.WriteInteger("SETTINGS", "Key3", 3); });
  struct stat After {};
  ASSERT_EQ(::stat(Name.c_str(), &After), 0);
  EXPECT_EQ(After.st_ino, Before.st_ino) << "an unchanged text was written again";

  // A change that fails half-way writes nothing.
  try {
    Ini.Update([](TIniText& T) {
      T.WriteInteger("SETTINGS", "FilterType", 0);
      T.WriteInteger("SETTINGS", "Bad=Key", 0);
    });
    ADD_FAILURE() << "update succeeded";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Unable to write to " + Name);
  }
  EXPECT_EQ(Ini.ReadInteger("SETTINGS", "FilterType", -1), 2);

  // A file at the size limit is read, but a text that would grow past it is
  // not written: the next load would refuse it.
  const std::string Edge = "[SETTINGS]\n" + std::string(TIniFile::MaxFileSize - 11, '\n');
  Put(Edge);
  EXPECT_NO_THROW(Ini.Load());
  ExpectWriteFails(Ini, "FilterType", "1");
  EXPECT_EQ(Get(), Edge);
}

// Temporary files that killed saves left behind go at the next save once they
// are older than a minute; fresh ones and files of other names stay.
TEST_F(IniFileTest, SaveRemovesStaleTemporaryFiles) {
  auto Make = [&](const std::string& File, time_t Age) {
    const fs::path P = Folder / File;
    std::ofstream(P) << "partial";
    const timespec Times[2] = {{::time(nullptr) - Age, 0}, {::time(nullptr) - Age, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, P.c_str(), Times, 0), 0);
  };
  Make(".quellmarin.INI.a1B2c3", 120);
  Make(".quellmarin.INI.zzzzzz", 3600);
  Make(".quellmarin.INI.fresh1", 5);
  Make(".quellmarin.INI.toolong1", 3600);
  Make(".other.INI.a1B2c3", 3600);
  Make("quellmarin.INI.a1B2c3", 3600);
  TIniFile(Name).WriteInteger("SETTINGS", "FilterType", 1);
  EXPECT_FALSE(fs::exists(Folder / ".quellmarin.INI.a1B2c3"));
  EXPECT_FALSE(fs::exists(Folder / ".quellmarin.INI.zzzzzz"));
  for (const char* Kept : {".quellmarin.INI.fresh1", ".quellmarin.INI.toolong1", ".other.INI.a1B2c3",
                           "quellmarin.INI.a1B2c3", "quellmarin.INI"})
    EXPECT_TRUE(fs::exists(Folder / Kept)) << Kept;
}

// A save killed at any moment leaves the old or the new settings, never a mix:
// a child saves twelve keys in a loop, each round all with the round's number,
// and is killed; the file then holds twelve equal values.
TEST_F(IniFileTest, KilledSaveLeavesAllOldOrAllNewValues) {
  const int Keys = 12;
  TIniFile Ini(Name);
  Ini.Update([&](TIniText& T) {
    for (int K = 0; K < Keys; ++K) T.WriteInteger("SETTINGS", "Key" + std::to_string(K), 0);
  });
  int Rounds = 0;
  for (int Kill = 0; Kill < 25; ++Kill) {
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
      for (int Round = 1;; ++Round) {
        try {
          TIniFile(Name).Update([&](TIniText& T) {
            for (int K = 0; K < Keys; ++K) T.WriteInteger("SETTINGS", "Key" + std::to_string(K), Round);
          });
        } catch (...) {
          ::_exit(2);
        }
      }
    }
    // Let the child get into its loop, at a different point each time.
    ::usleep(static_cast<useconds_t>(2000 + 700 * Kill));
    ASSERT_EQ(::kill(Child, SIGKILL), 0);
    int Status = 0;
    ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFSIGNALED(Status)) << "the child's save failed";

    const TIniText Text = Ini.Load();
    const int32_t First = Text.ReadInteger("SETTINGS", "Key0", -1);
    ASSERT_GE(First, 0) << Text.Content();
    Rounds += First;
    for (int K = 1; K < Keys; ++K)
      ASSERT_EQ(Text.ReadInteger("SETTINGS", "Key" + std::to_string(K), -1), First) << Text.Content();
  }
  EXPECT_GT(Rounds, 0) << "no save finished before a kill";
}

}  // namespace
}  // namespace quellmarin
