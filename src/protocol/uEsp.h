#pragma once
// The loader session: packets, SLIP framing, loader commands and the stub upload.
// It knows packets and commands, never a file descriptor: bytes go through IByteLink.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "../link/uComIo.h"
#include "../support/uDebugLog.h"
#include "uEspLimits.h"

// The embedded flasher stub blob (generated from resources/stub_esp32.bin at build time).
std::span<const uint8_t> StubEsp32Blob();

// A 32-bit little-endian field of a blob or a packet, at byte at.
inline uint32_t EspLe32(std::span<const uint8_t> b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// Sizes of the packet layer.
constexpr size_t EspDataSize = 16384; // data area of a response record
// A full flash block behind its 16-byte block header.
constexpr size_t EspMaxPayload = 16 + EspWriteBlockSize;
constexpr size_t EspOutBufSize = 16416;
// A frame in which every header and payload byte needs escaping, plus both delimiters.
constexpr size_t EspMaxFrame = 2 + 2 * (8 + EspMaxPayload);

// The chip's identification word: reading it changes nothing, on the ROM or the stub.
constexpr uint32_t EspChipIdReg = 0x40001000;

// getPacket results below zero.
constexpr int EspTimeout = -1;      // a byte did not arrive in time
constexpr int EspWrongDir = -2;     // direction test asked for and Direction is not 1
constexpr int EspBadEscape = -7;    // 0xDB followed by something other than 0xDC/0xDD
constexpr int EspFrameTooLong = -8; // the frame decodes to more than the response record holds

// The loader's SYNC request as a ready frame of 46 bytes, framed as sendPacket frames a
// request. Its checksum field holds the bytes 78 01 3A 00, not what the checksum rule
// would give; none of its bytes needs escaping.
std::vector<uint8_t> SyncFrame();

// Records hold their header fields as host integers; on the wire (and in the
// debug dumps) the header is little-endian, whatever the host.
struct TRequest {
  uint8_t Direction;
  uint8_t Command;
  uint16_t Size;
  uint32_t Chksum;
  // Room for the largest payload and two more bytes that nothing writes, so the
  // flash write's failure dump (payload + 2) reads zeros we own.
  uint8_t Data[EspMaxPayload + 2];
};

struct TResponse {
  uint8_t Direction;
  uint8_t Command;
  uint16_t Size;
  uint32_t Value;
  uint8_t Data[EspDataSize]; // Data[0] status (0 success), Data[1] error code
};
static_assert(sizeof(TResponse) == 8 + EspDataSize, "response record has no gaps");

// What the loader entry (TComEsp) uses of the loader session.
class IPacketSource {
public:
  virtual ~IPacketSource() = default;
  virtual int getPacket(int Timeout, bool ChkDir) = 0;
  virtual const uint8_t* ResponseBytes() const = 0; // the response record from its first byte
  virtual size_t ResponseCapacity() const = 0;      // bytes in that record
};

// How a baud change ended.
enum class TBaudChange {
  Switched,   // confirmed: the port follows to the new rate
  Refused,    // answered with a failure: both ends keep the old rate
  Unanswered, // no usable answer (none, or garbled): the board may speak either rate now,
              // the port is still at the old one
};

class TEsp : public IPacketSource {
public:
  TEsp(IByteLink& ComIo, TDebugLog& Debug, std::span<const uint8_t> Stub = StubEsp32Blob());

  // commands
  TBaudChange changeBaud(uint32_t newBaud, uint32_t oldBaud);
  // After an unanswered baud change: which rate the board speaks now. One harmless
  // request (a read of the chip's identification word) at newBaud, then one at oldBaud;
  // the port is left at the first rate that got an answer, which is returned. 0 when
  // neither did; the port is then at oldBaud.
  uint32_t findBaud(uint32_t newBaud, uint32_t oldBaud);
  void readReg(uint32_t adr, uint32_t& value);
  void writeReg(uint32_t adr, uint32_t value);
  void spiAttach();
  void eraseChip();
  void flashStart(uint32_t Offset, uint32_t ImageSize, uint32_t BlockSize);
  void flashWrite(const uint8_t* ptr, uint32_t size);
  void ESP32_InstallStub();

  // The ROM loader's own flash path, for when the stub cannot be used. The ROM needs
  // the flash attached and described before any flash command, erases the announced
  // region inside FLASH_BEGIN and takes 1 KiB data blocks.
  void romSpiAttach();                                  // SPI_ATTACH with the default pins
  void spiSetParams(uint32_t TotalSize = EspFlashSize); // SPI_SET_PARAMS
  // FLASH_BEGIN for an image at a sector boundary: erases its sectors, and no more.
  void romFlashStart(uint32_t Offset, uint32_t ImageSize);
  // The next size bytes of the image begun (at most 16384), as 1 KiB blocks; the
  // image's last block is padded with 0xFF. Only the image's last piece may end
  // inside a block.
  void romFlashWrite(const uint8_t* ptr, uint32_t size);
  // The ROM has no chip erase: FLASH_BEGIN over the whole flash, one step at a time.
  // Progress(done, total) comes before each step, done counting that step.
  void romEraseFlash(const std::function<void(uint32_t Done, uint32_t Total)>& Progress = {});

  // packet layer. Purge false keeps what has arrived (the fast stub's read streams
  // packets while the program acknowledges them); every loader command purges.
  void sendPacket(const uint8_t* ptr, uint16_t cnt, uint8_t com, bool Purge = true);
  int getPacket(int Timeout, bool ChkDir) override;
  // Bytes of every frame sent so far, delimiters and escapes included.
  uint64_t WireBytes() const { return FWireBytes; }
  const uint8_t* ResponseBytes() const override;
  size_t ResponseCapacity() const override;

private:
  int32_t Sequence = 0;
  int32_t OutPos = 0;
  uint8_t OutBuf[EspOutBufSize] = {};
  uint8_t IoBuf[EspMaxFrame] = {};

public:
  uint8_t* StatusErr = nullptr;
  TRequest Request = {};
  TResponse Response = {};

private:
  // Kind 0 starts a payload, 1/2/3 append 1/2/4 little-endian bytes of Value,
  // 4 appends Len bytes from the address in Value; other kinds do nothing.
  void addOut(uint8_t Kind, uintptr_t Value, uint16_t Len = 0);
  void StoreResponseByte(size_t Index, uint8_t b);
  int Exchange(uint8_t Com, int Timeout);
  bool TryReadReg(uint32_t adr, uint32_t& value);
  bool Accepted(int Result) const { return Result > 0 && Response.Data[0] == 0; }
  void DumpRequest(size_t Count);
  void DumpResponse(size_t Count);
  int RomFlashBegin(uint32_t EraseSize, uint32_t Blocks, uint32_t Offset);

  IByteLink& FComIo;
  TDebugLog& FDebug;
  std::span<const uint8_t> FStub;
  uint32_t RomLeft = 0; // bytes of the image begun by romFlashStart not yet sent
  uint64_t FWireBytes = 0;
};
