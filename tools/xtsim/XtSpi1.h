#pragma once
// SPI1, the ESP32's flash controller, in its user-command mode (TRM chapter 7, SPI;
// register summary 7.7), and the interface of the flash chip behind it, which the
// simulation's user supplies (the virtual board puts its NOR model there).
//
// A user command is started by writing SPI_USR (CMD bit 18) and runs for as long as its
// clocks take at the clock the CLOCK register sets: the phases USER enables (command,
// address, dummy, write data, read data) with the lengths USER1, USER2, MOSI_DLEN and
// MISO_DLEN give, one bit a clock, the write data from W0..W15 and the read data into
// them. The flash sees the bits only when its pads are routed to SPI1 (IO_MUX function 1)
// and CS0 is enabled; otherwise it sees nothing and the read data line stays high.
// What the hardware does not allow, or this model does not cover, is refused with the
// reason: a register written or the data buffer read while a command runs, a command
// started before the previous one finished, CLKCNT fields that disagree, dual and quad
// modes, LSB-first bit order, the flash operations of CMD other than USR.
#include <array>
#include <cstdint>
#include <string>

namespace xtsim {

// One transaction on the flash's pins: chip select low at At for Ns nanoseconds; the
// controller shifts MosiBits out (bit 7 of Mosi[0] first), then clocks MisoBits in (into
// bit 7 of Miso[0] first). The flash writes what it drives onto the read line; bits it
// leaves alone stay high.
struct TSpiTransfer {
  int64_t At = 0, Ns = 0;
  uint32_t ClockHz = 0;
  std::array<uint8_t, 128> Mosi{};
  uint32_t MosiBits = 0;
  std::array<uint8_t, 64> Miso{};
  uint32_t MisoBits = 0;
};

class ISpiFlash {
public:
  virtual ~ISpiFlash() = default;
  virtual void Transfer(TSpiTransfer& T) = 0;
  // When the flash's state next changes on its own (a program or erase ends) after Now,
  // or -1: a program polling it need not be simulated cycle by cycle until then.
  virtual int64_t NextChange(int64_t Now) const = 0;
};

// How a serial NOR flash part takes one transaction, for flash models behind
// ISpiFlash. Chip select stays low for the whole transaction, so the part counts every
// clock, the read phase's too (the controller leaves its data line low meanwhile): the
// opcode in the first 8 clocks; a 24-bit address after it for the commands that have
// one (program 0x02, read 0x03, erases 0x20, 0x52, 0xD8, SFDP 0x5A; and 32 clocks of
// ones, which end continuous-read mode); 8 dummy clocks after the SFDP address
// (JESD216); then write data in whole bytes. The reads (0x03, 0x05, 0x35, 0x5A, 0x9F)
// answer from the clock after that on, wherever the controller samples: a controller
// that leaves out the dummy clocks reads the undriven line first, its data a byte late.
// A transaction that ends before the part has its opcode, address and dummy clocks is
// ignored.
struct TNorCommand {
  uint8_t Op = 0;
  bool HasAddr = false, Dummy = false, Answers = false;
  uint32_t Addr = 0;
  uint8_t Data[64] = {};
  uint32_t DataLen = 0;
  int32_t Skip = 0; // the answer bit the controller's first sampled clock gets
};
// False for a transaction the part ignores.
bool DecodeNorCommand(const TSpiTransfer& T, TNorCommand& C);
// How many bytes of its answer the part must give for the controller's read phase.
uint32_t NorAnswerBytes(const TSpiTransfer& T, const TNorCommand& C);
// Puts the part's answer (In, InLen bytes from its first answer bit) on the read line.
void PutNorAnswer(TSpiTransfer& T, const TNorCommand& C, const uint8_t* In, uint32_t InLen);

// Whether the flash's pins are routed to SPI1: the IO_MUX model answers.
class ISpiPads {
public:
  virtual ~ISpiPads() = default;
  // "" when all are, else which pad is not.
  virtual std::string FlashPadsWrong() const = 0;
};

class TSpi1 {
public:
  static constexpr uint32_t Base = 0x3FF42000, Size = 0x1000;

  TSpi1(uint32_t ApbHz, ISpiFlash& Flash, const ISpiPads& Pads);

  bool Access(int64_t Now, uint32_t Offset, bool Write, uint8_t Width, uint32_t& Value,
              std::string& Why);
  // When the command running now ends, or -1.
  int64_t NextChange(int64_t Now) const { return Now < BusyUntil ? BusyUntil : -1; }
  uint64_t Commands() const { return Count; }
  // Why the last command did not reach the flash ("" when it did).
  const std::string& Unheard() const { return LastUnheard; }

private:
  bool Start(int64_t Now, std::string& Why);
  uint32_t& R(uint32_t Off) { return Regs[Off / 4]; }

  uint32_t Apb;
  ISpiFlash& Flash;
  const ISpiPads& Pads;
  uint32_t Regs[0x100 / 4] = {};
  int64_t BusyUntil = 0;
  uint64_t Count = 0;
  std::string LastUnheard;
};

} // namespace xtsim
