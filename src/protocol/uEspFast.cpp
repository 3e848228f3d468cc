#include "uEspFast.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include <zlib.h>

#include "../support/uError.h"
#include "../support/uFormat.h"
#include "uDigest.h"

namespace {

// The loader's memory commands, and the fast stub's own (firmware/stub/stub_core.h).
constexpr uint8_t MEM_BEGIN = 0x05, MEM_END = 0x06, MEM_DATA = 0x07;
constexpr uint8_t FAST_INFO = 0xE0, DIGEST = 0xE1, WRITE_BEGIN = 0xE2, WRITE_DATA = 0xE3,
                  WRITE_END = 0xE4, READ = 0xE5, READ_ACK = 0xE6, READ_DATA = 0xE7;
constexpr uint32_t WriteDeflate = 1;

// The fast stub's blob: "QVXF", entry, segment count, then address, length, bytes
// (padded to 4) for each segment.
constexpr uint8_t BlobMagic[4] = {'Q', 'V', 'X', 'F'};
// The fast stub is larger than one memory block: it goes in blocks of the size the
// standard upload announces in its MEM_BEGIN.
constexpr uint32_t MemBlock = 6144;

constexpr uint32_t Sector = EspSectorSize;
constexpr uint32_t DigestsPerRequest = 1024; // the stub's STUB_DIGESTS_MAX
constexpr uint32_t DataPiece = 16384;        // stream bytes a WRITE_DATA carries
constexpr uint32_t ReadPacket = 4096, ReadWindow = 4;

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(uint8_t(v >> (8 * i)));
}

uint64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = v << 8 | p[i];
  return v;
}

} // namespace

uint32_t FlashSizeOfJedec(uint32_t Jedec) {
  const uint32_t Cap = (Jedec >> 16) & 0xFF;
  if (Cap >= 0x10 && Cap <= 0x18) return 1u << Cap;
  return EspFastFlashMax;
}

std::string FlashMakerName(uint8_t Maker) {
  // JEDEC JEP106 manufacturer codes of the serial flash makers found on ESP32 boards.
  switch (Maker) {
  case 0xEF:
    return "Winbond";
  case 0xC8:
    return "GigaDevice";
  case 0xC2:
    return "Macronix";
  case 0x9D:
    return "ISSI";
  case 0x20:
    return "XMC/Micron";
  case 0x68:
    return "Boya";
  case 0x85:
    return "Puya";
  case 0x1C:
    return "EON";
  case 0x01:
    return "Spansion";
  case 0xBF:
    return "SST";
  default:
    return "";
  }
}

std::string FlashPartText(const TFlashPart& Part) {
  const std::string Maker = FlashMakerName(Part.Maker());
  const uint8_t Id[3] = {uint8_t(Part.Jedec), uint8_t(Part.Jedec >> 8), uint8_t(Part.Jedec >> 16)};
  const std::string IdText = Format("%0.2x%0.2x%0.2x", {Id[0], Id[1], Id[2]});
  return (Maker.empty() ? "maker " + Format("%0.2x", {Id[0]}) : Maker) + " " + IdText + ", " +
         Format("%d MiB", {Part.Size >> 20});
}

std::vector<uint8_t> DeflateRaw(std::span<const uint8_t> Bytes) {
  z_stream Z{};
  // Window 2^15 (what the stub keeps), negative for no header; memory level 8, the
  // default, compresses real firmware slightly better than 9.
  if (deflateInit2(&Z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw Exception("Error deflate");
  std::vector<uint8_t> Out(deflateBound(&Z, uLong(Bytes.size())));
  Z.next_in = const_cast<Bytef*>(Bytes.data());
  Z.avail_in = uInt(Bytes.size());
  Z.next_out = Out.data();
  Z.avail_out = uInt(Out.size());
  const int r = deflate(&Z, Z_FINISH);
  Out.resize(Z.total_out);
  deflateEnd(&Z);
  if (r != Z_STREAM_END) throw Exception("Error deflate");
  return Out;
}

TEspFast::TEspFast(TEsp& Esp, IByteLink& Link, TDebugLog& Debug, std::span<const uint8_t> Blob)
    : FEsp(Esp), FLink(Link), FDebug(Debug), FBlob(Blob) {}

void TEspFast::Send(uint8_t Com, const std::vector<uint8_t>& Payload, bool Purge) {
  if (Payload.size() > EspMaxPayload) throw Exception("Error Packet Size");
  FEsp.sendPacket(Payload.data(), uint16_t(Payload.size()), Com, Purge);
}

void TEspFast::Judge(int Result, const char* Msg) {
  if (Result <= 0) throw Exception(Msg);
  const TResponse& A = FEsp.Response;
  if (A.Data[0] != 0) {
    FDebug.F("%s: status %d, code %.2x", {std::string(Msg), A.Data[0], A.Data[1]});
    throw Exception(Format("%s (stub code %.2x)", {std::string(Msg), A.Data[1]}));
  }
}

void TEspFast::Command(uint8_t Com, const std::vector<uint8_t>& Payload, int Timeout,
                       const char* Msg) {
  Send(Com, Payload);
  // An answer to another command is no answer to this one: passed over, for as long as
  // one hunt for a frame may take.
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(10 * Timeout);
  for (;;) {
    const int r = FEsp.getPacket(Timeout, true);
    if (r < 0 || FEsp.Response.Command == Com) return Judge(r, Msg);
    if (std::chrono::steady_clock::now() > End) return Judge(EspTimeout, Msg);
  }
}

void TEspFast::Install() {
  const std::span<const uint8_t> B = FBlob;
  if (B.size() < 12 || std::memcmp(B.data(), BlobMagic, 4) != 0) throw Exception("Error FAST_STUB");
  const uint32_t Entry = EspLe32(B, 4), Count = EspLe32(B, 8);
  // Every segment and its length inside the blob before anything is sent.
  struct TSegment {
    uint32_t Address;
    std::span<const uint8_t> Bytes;
  };
  std::vector<TSegment> Segments;
  size_t At = 12;
  for (uint32_t i = 0; i < Count; ++i) {
    if (B.size() - At < 8) throw Exception("Error FAST_STUB");
    const uint32_t Address = EspLe32(B, At), Len = EspLe32(B, At + 4);
    At += 8;
    if (Len == 0 || B.size() - At < Len) throw Exception("Error FAST_STUB");
    Segments.push_back({Address, B.subspan(At, Len)});
    At += (size_t(Len) + 3) / 4 * 4;
    if (At > B.size()) throw Exception("Error FAST_STUB");
  }
  if (Segments.empty()) throw Exception("Error FAST_STUB");

  for (const TSegment& S : Segments) {
    const uint32_t Len = uint32_t(S.Bytes.size()), Blocks = (Len + MemBlock - 1) / MemBlock;
    std::vector<uint8_t> P;
    Put32(P, Len);
    Put32(P, Blocks);
    Put32(P, MemBlock);
    Put32(P, S.Address);
    Command(MEM_BEGIN, P, EspMemBeginMs, "Error MEM_BEGIN");
    for (uint32_t Seq = 0; Seq < Blocks; ++Seq) {
      const auto Part = S.Bytes.subspan(size_t(Seq) * MemBlock,
                                        std::min<size_t>(MemBlock, Len - size_t(Seq) * MemBlock));
      P.clear();
      Put32(P, uint32_t(Part.size()));
      Put32(P, Seq);
      Put32(P, 0);
      Put32(P, 0);
      P.insert(P.end(), Part.begin(), Part.end());
      Command(MEM_DATA, P, EspMemDataMs, "Error MEM_DATA");
    }
  }
  std::vector<uint8_t> P;
  Put32(P, 0); // run
  Put32(P, Entry);
  Command(MEM_END, P, EspMemEndMs, "Error MEM_END");
  // The same greeting as the standard stub's: a bare four-byte frame "OHAI".
  if (FEsp.getPacket(EspFastGreetingMs, false) != 4) throw Exception("Error ENTRY");
  const TResponse& R = FEsp.Response;
  if (R.Direction != 'O' || R.Command != 'H' || R.Size != uint16_t('A' | ('I' << 8)))
    throw Exception("Error Entry-Code");
}

TFlashPart TEspFast::Info() {
  Command(FAST_INFO, {}, EspFastSetupMs, "Error FAST_INFO");
  const TResponse& R = FEsp.Response;
  if (R.Size < 12) throw Exception("Error FAST_INFO");
  TFlashPart Part;
  Part.Jedec = R.Value & 0xFFFFFF;
  Part.Size = uint32_t(Le64(R.Data + 4));
  Part.Facts = uint32_t(Le64(R.Data + 8));
  return Part;
}

std::vector<uint64_t> TEspFast::Digests(uint32_t Offset, uint32_t Length, uint32_t Unit) {
  std::vector<uint8_t> P;
  Put32(P, Offset);
  Put32(P, Length);
  Put32(P, Unit);
  Command(DIGEST, P, EspFastWorkMs, "Error DIGEST");
  const TResponse& R = FEsp.Response;
  const uint32_t n = R.Value;
  const uint32_t Want = Unit ? (Length + Unit - 1) / Unit : 1;
  if (n != Want || R.Size != 4 + 8 * size_t(n)) throw Exception("Error DIGEST");
  std::vector<uint64_t> D;
  for (uint32_t i = 0; i < n; ++i)
    D.push_back(Le64(R.Data + 4 + 8 * i));
  return D;
}

std::vector<uint64_t> TEspFast::SectorDigests(uint32_t Offset, uint32_t Length) {
  std::vector<uint64_t> All;
  for (uint32_t Done = 0; Done < Length;) {
    const uint32_t n = std::min(Length - Done, DigestsPerRequest * Sector);
    const std::vector<uint64_t> D = Digests(Offset + Done, n, Sector);
    All.insert(All.end(), D.begin(), D.end());
    Done += n;
  }
  return All;
}

uint64_t TEspFast::Digest(uint32_t Offset, uint32_t Length) {
  return Digests(Offset, Length, 0).front();
}

void TEspFast::Write(uint32_t Offset, uint32_t Length, const std::vector<bool>& Write,
                     std::span<const uint8_t> Stream, bool Deflated,
                     const std::function<void(size_t)>& Progress) {
  std::vector<uint8_t> P;
  Put32(P, Offset);
  Put32(P, Length);
  Put32(P, uint32_t(Stream.size()));
  Put32(P, Deflated ? WriteDeflate : 0);
  std::vector<uint8_t> Map((Write.size() + 7) / 8, 0);
  for (size_t k = 0; k < Write.size(); ++k)
    if (Write[k]) Map[k / 8] |= uint8_t(1u << (k % 8));
  P.insert(P.end(), Map.begin(), Map.end());
  Command(WRITE_BEGIN, P, EspFastSetupMs, "Error WRITE_BEGIN");
  // Each piece is answered once the stub has room for the next: its answers pace us.
  uint32_t Seq = 0;
  for (size_t Done = 0; Done < Stream.size(); ++Seq) {
    const size_t n = std::min<size_t>(DataPiece, Stream.size() - Done);
    P.clear();
    Put32(P, uint32_t(n));
    Put32(P, Seq);
    Put32(P, 0);
    Put32(P, 0);
    P.insert(P.end(), Stream.begin() + long(Done), Stream.begin() + long(Done + n));
    Command(WRITE_DATA, P, EspFastWorkMs, "Error WRITE_DATA");
    Done += n;
    if (Progress) Progress(Done);
  }
  Command(WRITE_END, {}, EspFastWorkMs, "Error WRITE_END");
}

std::vector<uint8_t> TEspFast::Read(uint32_t Offset, uint32_t Length,
                                    const std::function<void(size_t)>& Progress) {
  std::vector<uint8_t> P;
  Put32(P, Offset);
  Put32(P, Length);
  Put32(P, ReadPacket);
  Put32(P, ReadWindow);
  Send(READ, P);
  std::vector<uint8_t> Data;
  Data.reserve(Length);
  const TResponse& R = FEsp.Response;
  for (;;) {
    const int r = FEsp.getPacket(EspFastWorkMs, true);
    if (r <= 0) throw Exception("Error READ");
    if (R.Command == READ_DATA) {
      // The packets come in order, each where the last one ended.
      if (R.Size < 4 || R.Data[0] != 0 || R.Value != Offset + Data.size() ||
          R.Size - 4u > Length - Data.size())
        throw Exception("Error READ");
      Data.insert(Data.end(), R.Data + 4, R.Data + R.Size);
      P.clear();
      Put32(P, uint32_t(Data.size()));
      // The next packets may be on their way already: nothing received is purged.
      Send(READ_ACK, P, false);
      if (Progress) Progress(Data.size());
    } else if (R.Command == READ) {
      Judge(r, "Error READ");
      if (Data.size() != Length || R.Size != 12) throw Exception("Error READ");
      if (Le64(R.Data + 4) != TDigest64::Of(Data))
        throw Exception("Error READ: the data does not match the stub's digest of it");
      return Data;
    }
  }
}
