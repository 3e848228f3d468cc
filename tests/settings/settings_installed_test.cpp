// An installed program: run as an unprivileged user from a folder that user cannot write,
// the real program (this test's own binary copied there, driving TProgram as main.cpp does)
// keeps a changed AutoErase across a restart, in the user's configuration folder, and
// writes nothing beside itself. Each start is a process of its own; the check box is
// clicked with a mouse event on the offscreen window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../common/AsUser.h"
#include "support/uFileName.h"
#include "uProgram.h"

namespace fs = std::filesystem;

namespace {

const char* const ChildVar = "QUORVEX_INSTALLED_CHILD";

std::string ReadAll(const fs::path& P) {
  std::ifstream F(P, std::ios::binary);
  std::stringstream S;
  S << F.rdbuf();
  return S.str();
}

// The child: one start of the program. Shows the window, tells what AutoErase reads and
// which settings file the log names, clicks the box when asked, and closes the window,
// after which TProgram::Exec writes the settings as the program does at its end.
TEST(InstalledChild, OneStart) {
  const char* Mode = std::getenv(ChildVar);
  if (!Mode) GTEST_SKIP() << "runs only as the child of InstalledProgram";
  TProgram P;
  QTimer::singleShot(300, &P.Main, [&P, Mode] {
    std::printf("AutoErase=%d\n", P.Main.chkAutoErase->isChecked() ? 1 : 0);
    for (const std::string& L : P.Log.Lines())
      if (L.rfind("Settings file: ", 0) == 0) std::printf("%s\n", L.c_str());
    if (std::string(Mode) == "click") {
      QCheckBox* Box = P.Main.chkAutoErase;
      QTest::mouseClick(Box, Qt::LeftButton, {}, QPoint(8, Box->height() / 2));
    }
    std::fflush(stdout);
    P.Main.close();
  });
  EXPECT_EQ(P.Exec(), 0);
}

struct TPlace {
  const char* Name;
  bool Xdg; // $XDG_CONFIG_HOME set; else the file goes under $HOME/.config
};

TEST(InstalledProgram, KeepsAutoEraseInTheUsersFolder) {
  for (const TPlace& Place : {TPlace{"XDG_CONFIG_HOME", true}, TPlace{"~/.config", false}}) {
    SCOPED_TRACE(Place.Name);
    char Tmpl[] = "/tmp/quorvex-installed-XXXXXX";
    ASSERT_NE(::mkdtemp(Tmpl), nullptr);
    const fs::path Top = Tmpl, Bin = Top / "bin", Home = Top / "home";
    fs::create_directories(Bin);
    fs::create_directories(Home);
    const fs::path Program = Bin / "quorvex";
    fs::copy_file("/proc/self/exe", Program);
    ASSERT_EQ(::chmod(Tmpl, 0755), 0);
    // The program's folder: root's (or, run by a user, made read-only for that user).
    ASSERT_EQ(::chmod(Bin.c_str(), 0555), 0);
    if (IsRoot()) {
      ASSERT_EQ(::chown(Home.c_str(), NobodyId, NobodyId), 0);
    }
    const fs::path Config = Place.Xdg ? Home / "xdg" : Home / ".config";
    const fs::path Ini = Config / "quorvex" / "Quorvex.ini";

    std::vector<std::string> Env = {"HOME=" + Home.string(), "QT_QPA_PLATFORM=offscreen",
                                    "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    if (Place.Xdg) Env.push_back("XDG_CONFIG_HOME=" + Config.string());
    auto Start = [&](const char* Mode) {
      std::vector<std::string> E = Env;
      E.push_back(std::string(ChildVar) + "=" + Mode);
      return RunProgramAsUser(Program.string(), {"--gtest_filter=InstalledChild.OneStart"}, E);
    };

    const TChildResult First = Start("click");
    ASSERT_TRUE(First.Ok) << First.Text;
    EXPECT_NE(First.Text.find("AutoErase=1"), std::string::npos) << First.Text;
    // The log names the file used: the user's, read from beside the program until it exists.
    EXPECT_NE(First.Text.find("Settings file: " + Ini.string() + " (read from " +
                              (Bin / "Quorvex.ini").string()),
              std::string::npos)
        << First.Text;
    ASSERT_TRUE(fs::exists(Ini)) << First.Text;
    EXPECT_NE(ReadAll(Ini).find("AutoErase=FALSE"), std::string::npos) << ReadAll(Ini);
    EXPECT_FALSE(fs::exists(Bin / "Quorvex.ini"));
    // Folders made for the user are the user's alone.
    struct stat St {};
    ASSERT_EQ(::stat(Ini.parent_path().c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0700u);
    if (IsRoot()) {
      EXPECT_EQ(St.st_uid, NobodyId);
    }

    const TChildResult Second = Start("look");
    ASSERT_TRUE(Second.Ok) << Second.Text;
    EXPECT_NE(Second.Text.find("AutoErase=0"), std::string::npos) << Second.Text;
    EXPECT_NE(Second.Text.find("Settings file: " + Ini.string() + "\n"), std::string::npos)
        << Second.Text;
    EXPECT_FALSE(fs::exists(Bin / "Quorvex.ini"));

    ::chmod(Bin.c_str(), 0755);
    fs::remove_all(Top);
  }
}

} // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TQuorvexApplication App(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
