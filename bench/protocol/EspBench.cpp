// CPU time of the packet layer for flash data: framing 16 KiB FLASH_DATA blocks
// and decoding 16 KiB answers, for data where every byte needs escaping and for
// random data. Prints milliseconds per MiB.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include "protocol/uEsp.h"

namespace {

// Discards writes (counting bytes) and replays one prepared frame on every read.
class TBenchLink : public IByteLink {
public:
  std::vector<uint8_t> Frame;
  size_t Pos = 0;
  size_t Written = 0;
  int ComGetSer(int) override {
    if (Pos == Frame.size()) Pos = 0;
    return Frame[Pos++];
  }
  void ClearBuffer(bool, bool) override {}
  int Write(const void*, int32_t Count) override {
    Written += size_t(Count);
    return Count;
  }
  int32_t CustomBaudRate() const override { return 0; }
  void SetCustomBaudRate(int32_t) override {}
};

constexpr size_t Block = 16384;
constexpr size_t MiB = 1 << 20;
constexpr int Rounds = 32; // MiB per measurement

double CpuMs(std::clock_t From) {
  return 1000.0 * double(std::clock() - From) / CLOCKS_PER_SEC;
}

std::vector<uint8_t> SlipFrame(const std::vector<uint8_t>& Packet) {
  std::vector<uint8_t> f{0xC0};
  for (uint8_t b : Packet) {
    if (b == 0xC0 || b == 0xDB) {
      f.push_back(0xDB);
      f.push_back(b == 0xC0 ? 0xDC : 0xDD);
    } else {
      f.push_back(b);
    }
  }
  f.push_back(0xC0);
  return f;
}

void Measure(const char* Name, const std::vector<uint8_t>& Data) {
  TBenchLink Link;
  TDebugLog Log;
  auto Esp = std::make_unique<TEsp>(Link, Log);

  // Framing: the payload of flashWrite (block header + data) through sendPacket.
  std::vector<uint8_t> Payload(16 + Block, 0);
  std::clock_t t = std::clock();
  for (int r = 0; r < Rounds; ++r)
    for (size_t o = 0; o < MiB; o += Block) {
      std::copy(Data.begin() + long(o), Data.begin() + long(o + Block), Payload.begin() + 16);
      Esp->sendPacket(Payload.data(), uint16_t(Payload.size()), 0x03);
    }
  const double FrameMs = CpuMs(t) / Rounds;

  // Decoding: an answer carrying a 16 KiB data part, read byte by byte.
  std::vector<uint8_t> Packet{0x01, 0x03, 0x00, 0x40, 0, 0, 0, 0};
  Packet.insert(Packet.end(), Data.begin(), Data.begin() + long(Block));
  Link.Frame = SlipFrame(Packet);
  int Bad = 0;
  t = std::clock();
  for (int r = 0; r < Rounds; ++r)
    for (size_t o = 0; o < MiB; o += Block)
      Bad += Esp->getPacket(100, true) != int(8 + Block);
  const double DecodeMs = CpuMs(t) / Rounds;

  std::printf("%-22s frame %7.3f ms/MiB   decode %7.3f ms/MiB   (wire %zu bytes/MiB%s)\n", Name,
              FrameMs, DecodeMs, Link.Written / Rounds, Bad ? ", DECODE FAILED" : "");
}

} // namespace

int main() {
  std::vector<uint8_t> Escaped(MiB);
  for (size_t i = 0; i < MiB; ++i)
    Escaped[i] = (i & 1) ? 0xDB : 0xC0;
  std::vector<uint8_t> Random(MiB);
  std::mt19937 Rng(12345);
  for (auto& b : Random)
    b = uint8_t(Rng());
  std::printf("Packet layer, 1 MiB of flash data in 16 KiB blocks (CPU time, %d rounds)\n", Rounds);
  Measure("every byte escaped", Escaped);
  Measure("random data", Random);
  return 0;
}
