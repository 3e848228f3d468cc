#include "uEsp.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <vector>

#include "../support/uError.h"
#include "../support/uFormat.h"

namespace {

// Opcodes of the ROM loader and the flasher stub.
constexpr uint8_t FLASH_BEGIN = 0x02;
constexpr uint8_t FLASH_DATA = 0x03;
constexpr uint8_t MEM_BEGIN = 0x05;
constexpr uint8_t MEM_END = 0x06;
constexpr uint8_t MEM_DATA = 0x07;
constexpr uint8_t SYNC = 0x08;
constexpr uint8_t WRITE_REG = 0x09;
constexpr uint8_t READ_REG = 0x0A;
constexpr uint8_t SPI_SET_PARAMS = 0x0B;
constexpr uint8_t SPI_ATTACH = 0x0D;
constexpr uint8_t CHANGE_BAUDRATE = 0x0F;
constexpr uint8_t ERASE_FLASH = 0xD0;

constexpr uint8_t SlipEnd = 0xC0;
constexpr uint8_t SlipEsc = 0xDB;
constexpr uint8_t SlipEscEnd = 0xDC;
constexpr uint8_t SlipEscEsc = 0xDD;

// Memory blocks are sent whole, but the loader wants a block size in MEM_BEGIN.
constexpr uint32_t MemBlockSize = 6144;

// A line that keeps sending without ever sending a delimiter (an application printing
// without pause instead of the loader answering) would keep the hunt for a frame going
// for ever, so the hunt has an overall bound. It is generous because the stub sends a
// keep-alive byte between frames while a long erase runs: those must be able to stretch
// the wait well past one per-byte limit (a large chip erase takes tens of seconds).
std::chrono::milliseconds HuntBound(int Timeout) {
  const int64_t t = std::max(Timeout, 0);
  return std::chrono::milliseconds(std::max<int64_t>(10 * t, t + 1000));
}

// The first byte of the ROM's answer to FLASH_BEGIN may take the worst-case erase of
// every sector.
int RomEraseTimeout(uint32_t EraseSize) {
  return EspRomAnswerMarginMs + EspSectorEraseMaxMs * int(EraseSize / EspSectorSize);
}

// Fixed offsets of the five values in the stub blob.
constexpr size_t StubCodeLenAt = 18;
constexpr size_t StubCodeAt = 22;
constexpr size_t StubCodeAdrAt = 3330;
constexpr size_t StubEntryAt = 3347;
constexpr size_t StubDataLenAt = 3363;
constexpr size_t StubDataAt = 3364;
constexpr size_t StubDataAdrAt = 3388;

void PutHeader(uint8_t* out, uint8_t Dir, uint8_t Com, uint16_t Size, uint32_t Word) {
  out[0] = Dir;
  out[1] = Com;
  out[2] = uint8_t(Size);
  out[3] = uint8_t(Size >> 8);
  for (int i = 0; i < 4; ++i)
    out[4 + i] = uint8_t(Word >> (8 * i));
}

// Writes the SLIP frame of a request into Out (room for EspMaxFrame bytes): the opening
// delimiter, the header and the payload with C0 and DB escaped, the closing delimiter.
// Returns the frame's length.
size_t FrameRequest(uint8_t Com, uint16_t Size, uint32_t Word, const uint8_t* Payload,
                    uint8_t* Out) {
  uint8_t Header[8];
  PutHeader(Header, 0, Com, Size, Word);
  uint8_t* o = Out;
  *o++ = SlipEnd;
  auto Put = [&o](uint8_t b) {
    if (b == SlipEnd) {
      *o++ = SlipEsc;
      *o++ = SlipEscEnd;
    } else if (b == SlipEsc) {
      *o++ = SlipEsc;
      *o++ = SlipEscEsc;
    } else {
      *o++ = b;
    }
  };
  for (uint8_t b : Header)
    Put(b);
  for (size_t i = 0; i < Size; ++i)
    Put(Payload[i]);
  *o++ = SlipEnd;
  return size_t(o - Out);
}

// Dumps Count bytes of a record from its first header byte, header in wire order.
template <class Rec> void DumpRecord(TDebugLog& Debug, const Rec& R, uint32_t Word, size_t Count) {
  Count = std::min(Count, sizeof(Rec));
  if constexpr (std::endian::native == std::endian::little) {
    Debug.BUFF(&R, int32_t(Count));
  } else {
    std::vector<uint8_t> w(sizeof(Rec));
    std::memcpy(w.data(), &R, sizeof(Rec));
    PutHeader(w.data(), R.Direction, R.Command, R.Size, Word);
    Debug.BUFF(w.data(), int32_t(Count));
  }
}

} // namespace

TEsp::TEsp(IByteLink& ComIo, TDebugLog& Debug, std::span<const uint8_t> Stub)
    : FComIo(ComIo), FDebug(Debug), FStub(Stub) {}

void TEsp::addOut(uint8_t Kind, uintptr_t Value, uint16_t Len) {
  size_t n = 0;
  switch (Kind) {
  case 0:
    OutPos = 0;
    return;
  case 1:
    n = 1;
    break;
  case 2:
    n = 2;
    break;
  case 3:
    n = 4;
    break;
  case 4:
    n = Len;
    break;
  default:
    return;
  }
  // Every command keeps well inside the buffer; this only guards against a caller
  // that would otherwise write past it.
  if (size_t(OutPos) + n > sizeof(OutBuf)) throw Exception("Error Packet Size");
  if (Kind == 4) {
    if (n) std::memcpy(OutBuf + OutPos, reinterpret_cast<const void*>(Value), n);
  } else {
    for (size_t i = 0; i < n; ++i)
      OutBuf[OutPos + i] = uint8_t(uint64_t(Value) >> (8 * i));
  }
  OutPos += int32_t(n);
}

void TEsp::sendPacket(const uint8_t* ptr, uint16_t cnt, uint8_t com, bool Purge) {
  if (cnt > EspMaxPayload) throw Exception("Error Packet Size");
  Request.Direction = 0;
  Request.Command = com;
  Request.Size = cnt;
  Request.Chksum = 0;
  if (cnt) std::memmove(Request.Data, ptr, cnt);
  // The checksum covers what follows a 16-byte block header.
  if (cnt > 16) {
    uint8_t chk = 0xEF;
    for (size_t i = 16; i < cnt; ++i)
      chk ^= Request.Data[i];
    Request.Chksum = chk;
  }

  const size_t Len = FrameRequest(com, cnt, Request.Chksum, Request.Data, IoBuf);

  // Whatever arrived before this request (an earlier answer's tail) is thrown away.
  if (Purge) FComIo.ClearBuffer(true, true);
  FComIo.Write(IoBuf, int32_t(Len));
  FWireBytes += Len;
}

std::vector<uint8_t> SyncFrame() {
  // Four bytes that start the loader's baud detection, then 32 bytes of 0x55.
  uint8_t Payload[36] = {0x07, 0x07, 0x12, 0x20};
  std::fill(Payload + 4, Payload + sizeof Payload, uint8_t(0x55));
  // The checksum field as the loader has always been sent it; it does not check it
  // for SYNC.
  constexpr uint32_t SyncWord = 0x003A0178;
  std::vector<uint8_t> Frame(EspMaxFrame);
  Frame.resize(FrameRequest(SYNC, sizeof Payload, SyncWord, Payload, Frame.data()));
  return Frame;
}

void TEsp::StoreResponseByte(size_t Index, uint8_t b) {
  switch (Index) {
  case 0:
    Response.Direction = b;
    break;
  case 1:
    Response.Command = b;
    break;
  case 2:
    Response.Size = uint16_t((Response.Size & 0xFF00) | b);
    break;
  case 3:
    Response.Size = uint16_t((Response.Size & 0x00FF) | (b << 8));
    break;
  case 4:
  case 5:
  case 6:
  case 7: {
    unsigned Shift = unsigned(8 * (Index - 4));
    Response.Value = (Response.Value & ~(uint32_t(0xFF) << Shift)) | (uint32_t(b) << Shift);
    break;
  }
  default:
    Response.Data[Index - 8] = b;
  }
}

int TEsp::getPacket(int Timeout, bool ChkDir) {
  using Clock = std::chrono::steady_clock;
  const auto HuntEnd = Clock::now() + HuntBound(Timeout);
  // The bytes a hunt passes over are bounded too: keep-alive bytes are few (two a second),
  // and more than two whole frames' worth of bytes without a delimiter is no loader, just
  // a flood that would otherwise keep the hunt going for its whole time bound.
  size_t Skipped = 0;
  int c;
  do {
    c = FComIo.ComGetSer(Timeout);
    if (c < 0) return EspTimeout;
    if (c != SlipEnd && (Clock::now() > HuntEnd || ++Skipped > 2 * sizeof(TResponse)))
      return EspTimeout;
  } while (c != SlipEnd);

  size_t Count = 0;
  for (;;) {
    c = FComIo.ComGetSer(Timeout);
    if (c < 0) return EspTimeout;
    if (c == SlipEnd) break;
    if (c == SlipEsc) {
      c = FComIo.ComGetSer(Timeout);
      if (c < 0) return EspTimeout;
      if (c == SlipEscEnd)
        c = SlipEnd;
      else if (c == SlipEscEsc)
        c = SlipEsc;
      else
        return EspBadEscape;
    }
    // Never past the record: a longer frame is a failure of its own.
    if (Count >= sizeof(TResponse)) return EspFrameTooLong;
    StoreResponseByte(Count++, uint8_t(c));
  }
  if (ChkDir && Response.Direction != 1) return EspWrongDir;
  return int(Count);
}

const uint8_t* TEsp::ResponseBytes() const {
  return reinterpret_cast<const uint8_t*>(&Response);
}

size_t TEsp::ResponseCapacity() const {
  return sizeof(TResponse);
}

void TEsp::DumpRequest(size_t Count) {
  DumpRecord(FDebug, Request, Request.Chksum, Count);
}

void TEsp::DumpResponse(size_t Count) {
  DumpRecord(FDebug, Response, Response.Value, Count);
}

int TEsp::Exchange(uint8_t Com, int Timeout) {
  sendPacket(OutBuf, uint16_t(OutPos), Com);
  // An answer to another command (a stale one, or a peer answering something else) is
  // no answer to this request: it is passed over, within the bound of one hunt.
  const auto End = std::chrono::steady_clock::now() + HuntBound(Timeout);
  for (;;) {
    const int r = getPacket(Timeout, true);
    if (r < 0 || Response.Command == Com) return r;
    if (std::chrono::steady_clock::now() > End) return EspTimeout;
  }
}

TBaudChange TEsp::changeBaud(uint32_t newBaud, uint32_t oldBaud) {
  StatusErr = &Response.Data[0];
  addOut(0, 0);
  addOut(3, newBaud);
  addOut(3, oldBaud);
  // The answer still comes at the old rate; only then does the port follow.
  const int r = Exchange(CHANGE_BAUDRATE, EspChangeBaudMs);
  if (Accepted(r)) {
    FComIo.SetCustomBaudRate(int32_t(newBaud));
    return TBaudChange::Switched;
  }
  // The run goes on at the old rate; a later failure is then no mystery.
  if (r > 0) {
    FDebug.F("Baud change to %d refused, staying at %d", {newBaud, oldBaud});
    return TBaudChange::Refused;
  }
  // The loader switches as soon as its answer is out: a lost answer says nothing about
  // the rate it speaks now.
  FDebug.F("Baud change to %d not answered", {newBaud});
  return TBaudChange::Unanswered;
}

uint32_t TEsp::findBaud(uint32_t newBaud, uint32_t oldBaud) {
  for (const uint32_t Rate : {newBaud, oldBaud}) {
    FComIo.SetCustomBaudRate(int32_t(Rate));
    uint32_t Id = 0;
    if (TryReadReg(EspChipIdReg, Id)) {
      FDebug.F("The board answers at %d", {Rate});
      return Rate;
    }
  }
  FDebug.F("The board answers neither at %d nor at %d", {newBaud, oldBaud});
  return 0;
}

bool TEsp::TryReadReg(uint32_t adr, uint32_t& value) {
  StatusErr = &Response.Data[0];
  addOut(0, 0);
  addOut(3, adr);
  if (!Accepted(Exchange(READ_REG, EspRegisterMs))) return false;
  value = Response.Value;
  return true;
}

void TEsp::readReg(uint32_t adr, uint32_t& value) {
  if (!TryReadReg(adr, value)) throw Exception(Format("Read Reg: 0x%0.8x", {adr}));
}

void TEsp::writeReg(uint32_t adr, uint32_t value) {
  StatusErr = &Response.Data[0];
  addOut(0, 0);
  addOut(3, adr);
  addOut(3, value);
  addOut(3, 0xFFFFFFFF); // mask
  addOut(3, 0);          // delay
  if (!Accepted(Exchange(WRITE_REG, EspRegisterMs)))
    throw Exception(Format("Write Reg: 0x%0.8x", {adr}));
}

void TEsp::spiAttach() {
  StatusErr = &Response.Data[0];
  addOut(0, 0);
  addOut(3, 0);
  if (!Accepted(Exchange(SPI_ATTACH, EspSpiAttachMs))) throw Exception("Error SPI_ATTACH");
}

void TEsp::eraseChip() {
  StatusErr = &Response.Data[0];
  addOut(0, 0);
  int r = Exchange(ERASE_FLASH, EspEraseChipMs);
  // Shown whatever the result; after a failed read it shows what the record held.
  DumpResponse(size_t(Response.Size) + 8);
  if (!Accepted(r)) throw Exception("Error ERASE_FLASH");
}

void TEsp::flashStart(uint32_t Offset, uint32_t ImageSize, uint32_t BlockSize) {
  if (BlockSize == 0) throw Exception("Error Flash Start");
  // Rounded up without wrapping; an erase size that does not fit 32 bits cannot be sent.
  uint64_t Blocks = (uint64_t(ImageSize) + BlockSize - 1) / BlockSize;
  uint64_t EraseSize = Blocks * BlockSize;
  if (EraseSize > 0xFFFFFFFFu) throw Exception("Error Flash Start");

  FDebug.L('=');
  FDebug.F("BLK: %d", {uint32_t(Blocks)});
  FDebug.F("ERA: %d", {uint32_t(EraseSize)});
  FDebug.F("ADR: %x", {Offset});

  addOut(0, 0);
  addOut(3, uint32_t(EraseSize));
  addOut(3, uint32_t(Blocks));
  addOut(3, BlockSize);
  addOut(3, Offset);
  // The status is deliberately not judged here.
  if (Exchange(FLASH_BEGIN, EspFlashBeginMs) <= 0) throw Exception("Error Flash Start");
  Sequence = 0;
}

void TEsp::flashWrite(const uint8_t* ptr, uint32_t size) {
  // A larger block does not fit the request; refuse it before anything is sent.
  if (size > EspWriteBlockSize) throw Exception("Error Flash Write");
  addOut(0, 0);
  addOut(3, size);
  addOut(3, uint32_t(Sequence));
  addOut(3, 0);
  addOut(3, 0);
  addOut(4, reinterpret_cast<uintptr_t>(ptr), uint16_t(size));
  if (Exchange(FLASH_DATA, EspFlashDataMs) <= 0) throw Exception("Error Flash Write");
  if (Response.Data[0] != 0) {
    FDebug.F("%3d: %d = %.2x", {Sequence, Response.Data[0], Response.Data[1]});
    DumpRequest(size_t(Request.Size) + 10);
    throw Exception("Error Flash");
  }
  ++Sequence;
}

void TEsp::ESP32_InstallStub() {
  std::span<const uint8_t> Blob = FStub;
  // The values come from fixed offsets; a blob too short for them (or for the
  // lengths it states) is refused rather than read past its end.
  if (Blob.size() < StubDataAdrAt + 4) throw Exception("Error STUB_ESP32");
  const uint32_t CodeLen = EspLe32(Blob, StubCodeLenAt);
  const uint32_t CodeAdr = EspLe32(Blob, StubCodeAdrAt);
  const uint8_t DataLen = Blob[StubDataLenAt];
  const uint32_t DataAdr = EspLe32(Blob, StubDataAdrAt);
  const uint32_t Entry = EspLe32(Blob, StubEntryAt);
  const uint16_t CodeCopy = uint16_t(CodeLen); // only the low 16 bits are copied
  if (StubCodeAt + CodeCopy > Blob.size() || 16 + size_t(CodeCopy) > EspMaxPayload ||
      StubDataAt + DataLen > Blob.size())
    throw Exception("Error STUB_ESP32");

  // No status is judged: an answer with Direction 1 is enough at every step.
  auto Step = [this](uint8_t Com, int Timeout, const char* Msg, bool Dump) {
    if (Exchange(Com, Timeout) <= 0) throw Exception(Msg);
    if (Dump) DumpResponse(size_t(Response.Size) + 8);
  };
  auto MemBegin = [&](uint32_t Size, uint32_t Blocks, uint32_t Adr) {
    addOut(0, 0);
    addOut(3, Size);
    addOut(3, Blocks);
    addOut(3, MemBlockSize);
    addOut(3, Adr);
    Step(MEM_BEGIN, EspMemBeginMs, "Error MEM_BEGIN", true);
  };
  auto MemData = [&](uint32_t Size, const uint8_t* Bytes, uint16_t Copy) {
    addOut(0, 0);
    addOut(3, Size);
    addOut(3, 0); // sequence
    addOut(3, 0);
    addOut(3, 0);
    addOut(4, reinterpret_cast<uintptr_t>(Bytes), Copy);
    Step(MEM_DATA, EspMemDataMs, "Error MEM_DATA", true);
  };

  MemBegin(CodeLen, 0, CodeAdr);
  MemData(CodeLen, Blob.data() + StubCodeAt, CodeCopy);
  MemBegin(DataLen, 1, DataAdr);
  MemData(DataLen, Blob.data() + StubDataAt, DataLen);
  addOut(0, 0);
  addOut(3, 0); // run
  addOut(3, Entry);
  Step(MEM_END, EspMemEndMs, "Error MEM_END", false);

  // The stub greets with a bare four-byte frame "OHAI", which has no direction byte.
  if (getPacket(EspGreetingMs, false) != 4) throw Exception("Error ENTRY");
  DumpResponse(4);
  if (Response.Direction != 'O' || Response.Command != 'H' ||
      Response.Size != uint16_t('A' | ('I' << 8)))
    throw Exception("Error Entry-Code");
}

void TEsp::romSpiAttach() {
  StatusErr = &Response.Data[0];
  addOut(0, 0);
  addOut(3, 0); // the default SPI pins
  addOut(3, 0);
  if (!Accepted(Exchange(SPI_ATTACH, EspRomSetupMs))) throw Exception("Error SPI_ATTACH");
}

void TEsp::spiSetParams(uint32_t TotalSize) {
  StatusErr = &Response.Data[0];
  addOut(0, 0);
  addOut(3, 0); // flash id
  addOut(3, TotalSize);
  addOut(3, EspEraseBlockSize);
  addOut(3, EspSectorSize);
  addOut(3, EspPageSize);
  addOut(3, 0xFFFF); // status mask
  if (!Accepted(Exchange(SPI_SET_PARAMS, EspRomSetupMs))) throw Exception("Error SPI_SET_PARAMS");
}

int TEsp::RomFlashBegin(uint32_t EraseSize, uint32_t Blocks, uint32_t Offset) {
  StatusErr = &Response.Data[0];
  addOut(0, 0);
  addOut(3, EraseSize);
  addOut(3, Blocks);
  addOut(3, EspRomBlockSize);
  addOut(3, Offset);
  return Exchange(FLASH_BEGIN, RomEraseTimeout(EraseSize));
}

void TEsp::romFlashStart(uint32_t Offset, uint32_t ImageSize) {
  // The ROM erases whole sectors from Offset on: an address inside a sector would
  // take the bytes before it in that sector with it.
  if (Offset % EspSectorSize != 0)
    throw Exception(Format("Flash address %x is not on a 4 KiB sector boundary", {Offset}));
  const uint64_t EraseSize =
      (uint64_t(ImageSize) + EspSectorSize - 1) / EspSectorSize * EspSectorSize;
  if (Offset + EraseSize > EspFlashSize)
    throw Exception(Format("%d bytes at %x do not fit the 4 MiB flash", {ImageSize, Offset}));
  const uint32_t Blocks = uint32_t((uint64_t(ImageSize) + EspRomBlockSize - 1) / EspRomBlockSize);

  FDebug.L('=');
  FDebug.F("BLK: %d", {Blocks});
  FDebug.F("ERA: %d", {uint32_t(EraseSize)});
  FDebug.F("ADR: %x", {Offset});
  RomLeft = 0;
  // Unlike the stub path the status counts: a ROM that refused has erased nothing.
  if (!Accepted(RomFlashBegin(uint32_t(EraseSize), Blocks, Offset)))
    throw Exception("Error Flash Start");
  Sequence = 0;
  RomLeft = ImageSize;
}

void TEsp::romFlashWrite(const uint8_t* ptr, uint32_t size) {
  // More than the image announced, or a short piece before its end (which would move
  // everything after it), would put bytes where they do not belong.
  if (size > EspWriteBlockSize || size > RomLeft || (size < RomLeft && size % EspRomBlockSize != 0))
    throw Exception("Error Flash Write");
  uint8_t Block[EspRomBlockSize];
  for (uint32_t Done = 0; Done < size;) {
    const uint32_t n = std::min(size - Done, EspRomBlockSize);
    std::memcpy(Block, ptr + Done, n);
    std::memset(Block + n, 0xFF, EspRomBlockSize - n);
    flashWrite(Block, EspRomBlockSize);
    Done += n;
    RomLeft -= n;
  }
}

void TEsp::romEraseFlash(const std::function<void(uint32_t Done, uint32_t Total)>& Progress) {
  FDebug.F("Erase: %d steps of %d bytes", {EspFlashSize / EspRomEraseStep, EspRomEraseStep});
  RomLeft = 0;
  for (uint32_t Offset = 0; Offset < EspFlashSize; Offset += EspRomEraseStep) {
    if (Progress) Progress(Offset + EspRomEraseStep, EspFlashSize);
    // No data follows: zero blocks announced.
    if (!Accepted(RomFlashBegin(EspRomEraseStep, 0, Offset))) {
      DumpResponse(size_t(Response.Size) + 8);
      throw Exception("Error ERASE_FLASH");
    }
  }
  Sequence = 0;
}
