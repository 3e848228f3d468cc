// quorvex-cli's ports with their USB details, and a port named by its adapter's serial
// number. The adapters are made up for the test with umockdev (Debian's umockdev): it
// shows the program a sysfs and a /dev of the test's own, so the real enumeration reads
// them through libudev as it reads a machine's.
#include "CliRun.h"

using namespace clitest;

namespace {

struct TAdapter {
  std::string Tty, Vid, Pid, Manufacturer, Product, Serial, Driver;
};

// A umockdev device description: per adapter the USB device, its interface, the
// usb-serial port and the tty below it, as the kernel lays them out.
std::string Describe(const std::vector<TAdapter>& Adapters) {
  std::string D;
  int Port = 1;
  for (const TAdapter& A : Adapters) {
    const std::string Usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(Port),
                      If = Usb + "/1-" + std::to_string(Port) + ":1.0";
    D += "P: " + Usb + "\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n";
    D += "A: idVendor=" + A.Vid + "\nA: idProduct=" + A.Pid + "\n";
    if (!A.Manufacturer.empty()) D += "A: manufacturer=" + A.Manufacturer + "\n";
    if (!A.Product.empty()) D += "A: product=" + A.Product + "\n";
    if (!A.Serial.empty()) D += "A: serial=" + A.Serial + "\n";
    // A device's driver is its sysfs link "driver" (the E: line alone sets no link).
    D += "\nP: " + If + "\nE: DEVTYPE=usb_interface\nE: DRIVER=" + A.Driver +
         "\nE: SUBSYSTEM=usb\nL: driver=../../../../../../bus/usb/drivers/" + A.Driver + "\n\n";
    D += "P: " + If + "/" + A.Tty + "\nE: DRIVER=" + A.Driver +
         "\nE: SUBSYSTEM=usb-serial\nL: driver=../../../../../../../bus/usb-serial/drivers/" +
         A.Driver + "\n\n";
    // ttyUSB devices are character devices 188:N (what stat shows of the node).
    D += "P: " + If + "/" + A.Tty + "/tty/" + A.Tty + "\nN: " + A.Tty + "\nE: DEVNAME=/dev/" +
         A.Tty + "\nE: SUBSYSTEM=tty\nA: dev=188:" + std::to_string(Port - 1) + "\n\n";
    ++Port;
  }
  return D;
}

const std::vector<TAdapter> TwoAdapters = {
    {"ttyUSB0", "10c4", "ea60", "Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001A2B3",
     "cp210x"},
    {"ttyUSB1", "0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", "ftdi_sio"},
};

// The CLI under umockdev with these adapters.
struct TFakeAdapters {
  std::string File = TempPath("cli_adapters.umockdev");
  explicit TFakeAdapters(const std::vector<TAdapter>& A) { WriteText(File, Describe(A)); }
  ~TFakeAdapters() { std::remove(File.c_str()); }
  TRunResult Run(const std::vector<std::string>& Args, const std::vector<std::string>& More = {}) {
    TRunSpec Spec;
    Spec.Wrapper = {"umockdev-run", "-d", File, "--"};
    // umockdev's library is preloaded ahead of the sanitizer's runtime, which would
    // refuse to start in a sanitizer build.
    const char* Asan = std::getenv("ASAN_OPTIONS");
    Spec.Env = {std::string("ASAN_OPTIONS=") + (Asan ? std::string(Asan) + ":" : "") +
                "verify_asan_link_order=0"};
    return RunCli(Join(Args, More), Spec);
  }
};

bool HaveUmockdev() {
  return system("umockdev-run --version >/dev/null 2>&1") == 0;
}

// `ports --json` lists each adapter with its ids, strings, serial number and driver; the
// plain list shows them on the port's line; -q gives the bare names.
TEST(CliPorts, PortsShowTheirUsbDetails) {
  ASSERT_TRUE(HaveUmockdev()) << "umockdev-run is missing (scripts/setup.sh installs umockdev)";
  TFakeAdapters Fake(TwoAdapters);
  TFiles F;
  const TRunResult R = Fake.Run({"ports", "--json", "--settings", F.Ini});
  EXPECT_EQ(R.Status, 0) << R.Err;
  const json J = CliJson(R);
  ASSERT_EQ(J["ports"].size(), 2u) << R.Out;
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const TAdapter& A = TwoAdapters[i];
    const json& P = J["ports"][i];
    EXPECT_EQ(P["name"], A.Tty);
    EXPECT_EQ(P["driver"], A.Driver);
    EXPECT_EQ(P["usb"]["vid"], A.Vid);
    EXPECT_EQ(P["usb"]["pid"], A.Pid);
    EXPECT_EQ(P["usb"]["manufacturer"], A.Manufacturer);
    EXPECT_EQ(P["usb"]["product"], A.Product);
    EXPECT_EQ(P["usb"]["serial"], A.Serial);
  }
  const TRunResult Plain = Fake.Run({"ports", "--settings", F.Ini});
  EXPECT_NE(Plain.Out.find("ttyUSB0  USB 10c4:ea60  serial 0001A2B3  Silicon Labs CP2102 USB to "
                           "UART Bridge Controller  driver cp210x\n"),
            std::string::npos)
      << Plain.Out;
  const TRunResult Bare = Fake.Run({"ports", "-q", "--settings", F.Ini});
  EXPECT_EQ(Bare.Out, "ttyUSB0\nttyUSB1\n");
}

// --port usb-serial:SERIAL opens the adapter with that serial number (letter case
// ignored), whichever tty it got. A fake adapter has no modem lines, so the run itself
// fails there: with exit status 1, on the right port, not as bad input.
TEST(CliPorts, UsbSerialNamesThePortOfThatAdapter) {
  ASSERT_TRUE(HaveUmockdev()) << "umockdev-run is missing (scripts/setup.sh installs umockdev)";
  TFakeAdapters Fake(TwoAdapters);
  TFiles F;
  const TRunResult R =
      Fake.Run({"info", "--json", "--settings", F.Ini, "--port", "usb-serial:a50285bi"});
  EXPECT_EQ(R.Status, 1) << R.Err;
  const json J = CliJson(R);
  ASSERT_EQ(J["boards"].size(), 1u);
  EXPECT_EQ(J["boards"][0]["port"], "ttyUSB1");
  EXPECT_EQ(J["boards"][0]["device"]["usb"]["serial"], "A50285BI");
  EXPECT_EQ(J["boards"][0]["device"]["driver"], "ftdi_sio");
}

// A serial number no adapter has, or two adapters have, is bad input: exit 2 before any
// board is touched.
TEST(CliPorts, UnknownOrSharedSerialNumberTouchesNoBoard) {
  ASSERT_TRUE(HaveUmockdev()) << "umockdev-run is missing (scripts/setup.sh installs umockdev)";
  std::vector<TAdapter> Twins = TwoAdapters;
  Twins[1].Serial = Twins[0].Serial;
  const struct {
    const char* Name;
    std::vector<TAdapter> Adapters;
    const char* Serial;
    const char* Message;
  } Cases[] = {
      {"unknown", TwoAdapters, "0001A2B4",
       "unknown port usb-serial:0001A2B4: no USB serial adapter has the serial number '0001A2B4'"},
      {"shared", Twins, "0001A2B3",
       "--port usb-serial:0001A2B3 is ambiguous: ttyUSB0 and ttyUSB1 have that serial number"},
  };
  TFiles F;
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    TFakeAdapters Fake(C.Adapters);
    TBoard Bd;
    Bd.S.Start();
    const TRunResult R = Fake.Run({"info", "--settings", F.Ini, "--port", Bd.S.Url(), "--port",
                                   std::string("usb-serial:") + C.Serial});
    Bd.S.Stop();
    EXPECT_EQ(R.Status, 2) << R.Out << R.Err;
    EXPECT_NE(R.Err.find(std::string("quorvex-cli: ") + C.Message), std::string::npos) << R.Err;
    EXPECT_EQ(Bd.Count("connect"), 0u) << "a board was reached";
  }
}

} // namespace
