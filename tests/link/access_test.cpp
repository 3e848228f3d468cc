// The message of a port that the user may not open names the fix that fits: the group
// that owns the device and the command that joins it when joining helps, plain words when
// the device belongs to root alone. Run as an unprivileged user against files the test
// makes with the owners and modes of serial device nodes; the error table's text leads.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "../common/AsUser.h"
#include "link/CPort.h"

namespace fs = std::filesystem;

namespace {

// What opening Path through TComPort says, as an unprivileged user.
std::string OpenMessage(const std::string& Path) {
  const TChildResult R = RunAsUser([&] {
    TComPort Port;
    Port.SetPort(Path);
    try {
      Port.Open();
    } catch (const EComPort& E) {
      return std::string(E.what());
    }
    return std::string("opened");
  });
  EXPECT_TRUE(R.Ok) << R.Text;
  return R.Text;
}

struct TDeviceCase {
  const char* Name;
  const char* Group; // owning group; the owner is root
  mode_t Mode;
  bool NamesGroupCommand; // "sudo usermod -aG <group> $USER" and the log-out advice
  const char* Says;       // a part of the hint
};

TEST(PortAccess, OpenErrorNamesTheFixThatFits) {
  if (!IsRoot()) GTEST_SKIP() << "making files owned by root and dialout needs root";
  struct group* Dialout = ::getgrnam("dialout");
  if (!Dialout) GTEST_SKIP() << "this system has no group dialout";
  const gid_t DialoutGid = Dialout->gr_gid;
  char Tmpl[] = "/tmp/quorvex-access-XXXXXX";
  ASSERT_NE(::mkdtemp(Tmpl), nullptr);
  const fs::path Dir = Tmpl;
  ASSERT_EQ(::chmod(Tmpl, 0755), 0); // the unprivileged user reaches the files

  const TDeviceCase Cases[] = {
      {"ttyUSB0", "dialout", 0660, true, "join the group 'dialout' that owns "},
      {"ttyS4", "root", 0600, false, "only its owner 'root' may open "},
      // A group that may not read and write: joining it would not help either.
      {"ttyS5", "dialout", 0620, false, "only its owner 'root' may open "},
  };
  for (const TDeviceCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const fs::path Dev = Dir / C.Name;
    {
      std::FILE* F = std::fopen(Dev.c_str(), "w");
      ASSERT_NE(F, nullptr);
      std::fclose(F);
    }
    const gid_t Gid = std::string(C.Group) == "root" ? 0 : DialoutGid;
    ASSERT_EQ(::chown(Dev.c_str(), 0, Gid), 0);
    ASSERT_EQ(::chmod(Dev.c_str(), C.Mode), 0);

    const std::string Msg = OpenMessage(Dev.string());
    const std::string Lead = "Unable to open com port (Error: 13, ";
    EXPECT_EQ(Msg.rfind(Lead, 0), 0u) << Msg;
    EXPECT_NE(Msg.find(std::string(C.Says) + Dev.string()), std::string::npos) << Msg;
    const std::string Command = std::string("sudo usermod -aG ") + C.Group + " $USER";
    EXPECT_EQ(Msg.find(Command) != std::string::npos, C.NamesGroupCommand) << Msg;
    EXPECT_EQ(Msg.find("log out and in") != std::string::npos, C.NamesGroupCommand) << Msg;
    EXPECT_EQ(Msg.find("group 'root'"), std::string::npos) << Msg;
  }
  fs::remove_all(Dir);
}

} // namespace
