// Port enumeration and selection rules, without a window and without this machine's ports.
#include <gtest/gtest.h>

#include "link/uPortList.h"

using Names = std::vector<std::string>;

TEST(PortList, LinuxFilterKeepsRealPortsOnce) {
  const std::vector<TTtyDevice> Devices = {
      {"tty0", "/dev/tty0", "", "", -1},                         // virtual console
      {"ptmx", "/dev/ptmx", "", "", -1},                         // no parent device
      {"ttyS0", "/dev/ttyS0", "pnp", "serial", 4},               // 16550A behind PNP
      {"ttyS1", "/dev/ttyS1", "platform", "serial8250", 0},      // placeholder, no UART
      {"ttyS2", "/dev/ttyS2", "platform", "serial8250", 4},      // 8250 with a UART
      {"ttyS3", "/dev/ttyS3", "platform", "serial8250", -1},     // type unreadable
      {"ttyUSB0", "/dev/ttyUSB0", "usb-serial", "ftdi_sio", -1}, // USB adapter
      {"ttyACM0", "/dev/ttyACM0", "usb", "cdc_acm", -1},         // CDC ACM board
      {"ttyUSB0", "/dev/ttyUSB0", "usb-serial", "ftdi_sio", -1}, // listed twice
      {"", "", "usb", "cdc_acm", -1},                            // nameless entry
  };
  EXPECT_EQ(SerialPortNames(Devices), (Names{"ttyS0", "ttyS2", "ttyUSB0", "ttyACM0"}));
  EXPECT_TRUE(SerialPortNames({}).empty());
}

// A port keeps its driver and what the USB device above it tells; one listed twice
// keeps the first description.
TEST(PortList, LinuxFilterKeepsEachPortsDetails) {
  const TUsbDetails Cp2102{"10c4", "ea60", "Silicon Labs", "CP2102", "0001A2B3"};
  const std::vector<TTtyDevice> Devices = {
      {"ttyS0", "/dev/ttyS0", "pnp", "serial", 4},
      {"ttyUSB0", "/dev/ttyUSB0", "usb-serial", "cp210x", -1, Cp2102},
      {"ttyUSB0", "/dev/ttyUSB0", "usb-serial", "ftdi_sio", -1, {}},
      {"ttyS1", "/dev/ttyS1", "platform", "serial8250", 0, Cp2102},
  };
  const std::vector<TSystemPort> Ports = SerialPorts(Devices);
  ASSERT_EQ(Ports.size(), 2u);
  EXPECT_EQ(Ports[0].Name, "ttyS0");
  EXPECT_EQ(Ports[0].Driver, "serial");
  EXPECT_FALSE(Ports[0].Usb.Known());
  EXPECT_EQ(Ports[1].Name, "ttyUSB0");
  EXPECT_EQ(Ports[1].Driver, "cp210x");
  EXPECT_EQ(Ports[1].Usb.Vid, "10c4");
  EXPECT_EQ(Ports[1].Usb.Pid, "ea60");
  EXPECT_EQ(Ports[1].Usb.Manufacturer, "Silicon Labs");
  EXPECT_EQ(Ports[1].Usb.Product, "CP2102");
  EXPECT_EQ(Ports[1].Usb.Serial, "0001A2B3");
}

TEST(PortList, NaturalOrder) {
  const struct {
    Names In, Out;
  } Cases[] = {
      {{"COM1", "COM10", "COM2"}, {"COM1", "COM2", "COM10"}},
      {{"ttyUSB10", "ttyACM0", "ttyUSB2", "ttyusb1"},
       {"ttyACM0", "ttyusb1", "ttyUSB2", "ttyUSB10"}},
      {{"rfc2217://host:10", "rfc2217://host:9", "COM3"},
       {"COM3", "rfc2217://host:9", "rfc2217://host:10"}},
      {{}, {}},
  };
  for (const auto& c : Cases) {
    Names n = c.In;
    SortNatural(n);
    EXPECT_EQ(n, c.Out);
  }
}

TEST(PortList, SelectionIgnoresCaseAndFallsBackToFirst) {
  const Names Ports = {"COM1", "COM2", "COM3", "COM10"};
  const struct {
    Names Items;
    std::string Kept;
    int Index;
  } Cases[] = {
      {Ports, "com3", 2},                      // saved in other letter case
      {Ports, "COM10", 3}, {Ports, "COM7", 0}, // vanished port
      {Ports, "", 0},                          // nothing saved
      {Ports, "COM", 0},                       // a prefix is no match
      {{}, "COM3", -1},                        // empty list: nothing selected
      {{}, "", -1},
  };
  for (const auto& c : Cases)
    EXPECT_EQ(SelectPortIndex(c.Items, c.Kept), c.Index) << c.Kept;
}

TEST(PortList, NetPortsParsing) {
  const struct {
    std::string In;
    Names Out;
  } Cases[] = {
      {"", {}},
      {"rfc2217://localhost:4000", {"rfc2217://localhost:4000"}},
      {" rfc2217://a:1 , RFC2217://b.example:65535,",
       {"rfc2217://a:1", "rfc2217://b.example:65535"}},
      {"rfc2217://[::1]:2217", {"rfc2217://[::1]:2217"}},
      {"tcp://a:1,rfc2217://a,rfc2217://a:,rfc2217://:5,rfc2217://a:0,rfc2217://a:65536", {}},
      {"rfc2217://a:12x,rfc2217://a b:1,rfc2217://a/b:1,rfc2217://", {}},
      {",,,", {}},
  };
  for (const auto& c : Cases)
    EXPECT_EQ(ParseNetPorts(c.In), c.Out) << c.In;
}

TEST(PortList, MergeKeepsPreviousWhenSourceFailsAndAddsNetPortsOnce) {
  const Names Sys = {"ttyUSB0"};
  const Names Prev = {"ttyS0", "rfc2217://h:1"};
  const Names Net = {"RFC2217://H:1", "rfc2217://h:2"};
  EXPECT_EQ(MergePortNames(true, Sys, Prev, Net),
            (Names{"ttyUSB0", "RFC2217://H:1", "rfc2217://h:2"}));
  EXPECT_EQ(MergePortNames(false, Sys, Prev, Net),
            (Names{"ttyS0", "rfc2217://h:1", "rfc2217://h:2"}));
  EXPECT_TRUE(MergePortNames(true, {}, Prev, {}).empty()); // all adapters gone
}

TEST(PortList, SystemSortIgnoresCase) {
  Names n = {"COM2", "com1", "COM10"};
  SortIgnoringCase(n);
  EXPECT_EQ(n, (Names{"com1", "COM10", "COM2"}));
}
