#pragma once
// The loader session: packets, SLIP framing, loader commands and the stub upload.
// It knows packets and commands, never a file descriptor: bytes go through IByteLink.
#include <cstddef>
#include <cstdint>
#include <span>

#include "../link/uComIo.h"
#include "../support/uDebugLog.h"

// The embedded flasher stub blob (generated from resources/stub_esp32.bin at build time).
std::span<const uint8_t> StubEsp32Blob();

// Public surface only; the implementation fills in the private members.
// Records are laid out as on the wire (little-endian); see uEsp.cpp.
class TEsp : public IPacketSource {
public:
  TEsp(IByteLink& ComIo, TDebugLog& Debug, std::span<const uint8_t> Stub = StubEsp32Blob());

  // commands
  void changeBaud(uint32_t newBaud, uint32_t oldBaud);
  void readReg(uint32_t adr, uint32_t& value);
  void writeReg(uint32_t adr, uint32_t value);
  void spiAttach();
  void eraseChip();
  void flashStart(uint32_t Offset, uint32_t ImageSize, uint32_t BlockSize);
  void flashWrite(const uint8_t* ptr, uint32_t size);
  void ESP32_InstallStub();

  // packet layer
  void sendPacket(const uint8_t* ptr, uint16_t cnt, uint8_t com);
  int getPacket(int Timeout, bool ChkDir) override;
  const uint8_t* ResponseBytes() const override;
  size_t ResponseCapacity() const override;
};
