// Where the settings live: beside the program when its folder can be written, else in the
// user's configuration folder (read from the program's folder until the user's file
// exists); the user's folder from the environment; and the store writing to a file other
// than the one it read, making the user's folders on the way.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "flash/uSettings.h"
#include "support/uFileName.h"
#include "support/uIniStore.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

struct TTempDir {
  fs::path Path;
  TTempDir() {
    Path =
        fs::temp_directory_path() /
        ("quorvex-files-" + std::to_string(std::hash<std::string>{}(
                                ::testing::UnitTest::GetInstance()->current_test_info()->name())));
    fs::remove_all(Path);
    fs::create_directories(Path);
  }
  ~TTempDir() { fs::remove_all(Path); }
};

void Write(const fs::path& P, const std::string& Text) {
  fs::create_directories(P.parent_path());
  std::ofstream(P, std::ios::binary) << Text;
}

std::string Read(const fs::path& P) {
  std::ifstream F(P, std::ios::binary);
  std::stringstream S;
  S << F.rdbuf();
  return S.str();
}

#ifdef _WIN32
const char* const Own = "Quorvex";
#else
const char* const Own = "quorvex";
#endif

TEST(SettingsFiles, DecidedByTheProgramsFolderAndTheUsersFile) {
  TTempDir T;
  const fs::path Prog = T.Path / "bin", User = T.Path / "config";
  const fs::path Beside = Prog / "Quorvex.ini", Users = User / Own / "Quorvex.ini";
  struct Case {
    const char* Name;
    bool Writable, UserFileThere, NoUserFolder;
    fs::path Read, Write;
    bool InUser;
  };
  const Case Cases[] = {
      {"portable: nothing changes", true, true, false, Beside, Beside, false},
      {"installed, first start", false, false, false, Beside, Users, true},
      {"installed, the user's file there", false, true, false, Users, Users, true},
      {"installed, no user folder known", false, false, true, Beside, Beside, false},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    fs::remove_all(User);
    if (C.UserFileThere) Write(Users, "[CONFIG]\r\n");
    const TSettingsFiles F = SettingsFilesFor(Prog, C.Writable, C.NoUserFolder ? fs::path() : User);
    EXPECT_EQ(F.Read, C.Read);
    EXPECT_EQ(F.Write, C.Write);
    EXPECT_EQ(F.InUserFolder, C.InUser);
  }
}

TEST(SettingsFiles, FolderWritableTellsTheTruth) {
  TTempDir T;
  EXPECT_TRUE(FolderWritable(T.Path));
  EXPECT_FALSE(FolderWritable(T.Path / "missing"));
  Write(T.Path / "file", "x");
  EXPECT_FALSE(FolderWritable(T.Path / "file")) << "a file is no folder";
  EXPECT_EQ(std::distance(fs::directory_iterator(T.Path), fs::directory_iterator()), 1)
      << "the probe leaves nothing behind";
}

#ifndef _WIN32
TEST(SettingsFiles, UserFolderFromTheEnvironment) {
  const char* OldHome = std::getenv("HOME");
  const char* OldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string SavedHome = OldHome ? OldHome : "", SavedXdg = OldXdg ? OldXdg : "";
  struct Case {
    const char* Xdg; // null: unset
    const char* Home;
    const char* Want;
  };
  const Case Cases[] = {
      {"/x/conf", "/home/u", "/x/conf"},
      {nullptr, "/home/u", "/home/u/.config"},
      {"", "/home/u", "/home/u/.config"},         // empty counts as unset
      {"rel/conf", "/home/u", "/home/u/.config"}, // a relative path is ignored
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Xdg ? C.Xdg : "(unset)");
    if (C.Xdg)
      ::setenv("XDG_CONFIG_HOME", C.Xdg, 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", C.Home, 1);
    EXPECT_EQ(UserConfigFolder(), fs::path(C.Want));
  }
  OldHome ? ::setenv("HOME", SavedHome.c_str(), 1) : ::unsetenv("HOME");
  OldXdg ? ::setenv("XDG_CONFIG_HOME", SavedXdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
}
#endif

TEST(SettingsFiles, StoreWritesTheOtherFileAndMakesItsFolders) {
  TTempDir T;
  const fs::path From = T.Path / "bin" / "Quorvex.ini";
  const fs::path To = T.Path / "home" / ".config" / "quorvex" / "Quorvex.ini";
  const std::string Original = "; shipped beside the program\r\n[CONFIG]\r\nConnBaud=230400\r\n";
  Write(From, Original);
  TIniStore S;
  S.SetFileName(From);
  S.SetWriteName(To);
  EXPECT_EQ(S.WriteName(), To);
  EXPECT_EQ(S.ReadString("CONFIG", "ConnBaud", ""), "230400");
  S.WriteBoolean("CONFIG", "AutoErase", false);
  ASSERT_TRUE(S.UpdateFile());
  EXPECT_EQ(Read(From), Original) << "the program's file is left as it was";
  const std::string Written = Read(To);
  EXPECT_NE(Written.find("ConnBaud=230400"), std::string::npos) << Written;
  EXPECT_NE(Written.find("AutoErase=FALSE"), std::string::npos) << Written;
  EXPECT_NE(Written.find("; shipped beside the program"), std::string::npos) << Written;
#ifndef _WIN32
  for (const fs::path& Made : {To.parent_path(), To.parent_path().parent_path()}) {
    struct stat St {};
    ASSERT_EQ(::stat(Made.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0700u) << Made;
  }
#endif
  // A new file name forgets the other target.
  S.SetFileName(From);
  EXPECT_EQ(S.WriteName(), From);
}

TEST(SettingsFiles, StoreWritesNothingOverAFileItDidNotTakeIn) {
  TTempDir T;
  const fs::path From = T.Path / "Quorvex.ini", To = T.Path / "user" / "Quorvex.ini";
  Write(From, std::string("\x01\x02 binary", 9));
  TIniStore S;
  S.SetFileName(From);
  S.SetWriteName(To);
  EXPECT_NE(S.LoadProblem(), TIniLoadProblem::None);
  EXPECT_FALSE(S.UpdateFile());
  EXPECT_FALSE(fs::exists(To));
}

} // namespace
