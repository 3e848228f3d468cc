#include "uFastPath.h"

#include "../protocol/uDigest.h"
#include "../support/uError.h"
#include "../support/uFormat.h"

namespace {
constexpr uint32_t Sector = EspSectorSize;
// Differing sectors named in a verify's outcome; the rest are counted.
constexpr size_t SectorsNamed = 8;
} // namespace

std::string TImageResult::Outcome() const {
  if (Compared) {
    if (Differing.empty()) return "matches";
    std::string Where;
    for (size_t i = 0; i < Differing.size() && i < SectorsNamed; ++i)
      Where += (i ? ", " : "") + Format("%x", {Differing[i]});
    if (Differing.size() > SectorsNamed) Where += ", ...";
    return Format("differs in %d of %d sectors: %s", {Differing.size(), Sectors, Where});
  }
  if (SectorsWritten == 0) return "unchanged";
  if (SectorsWritten == Sectors) return "written";
  return Format("rewritten %d of %d sectors", {SectorsWritten, Sectors});
}

TFastPath::TFastPath(TEspFast& Fast, TDebugLog& Log) : FFast(Fast), FLog(Log) {}

void TFastPath::Write(const std::string& Name, uint32_t Offset, std::span<const uint8_t> Image,
                      bool Erased, const std::function<void(uint32_t)>& Progress, TImageResult& R) {
  const uint32_t Size = uint32_t(Image.size());
  R.Sectors = (Size + Sector - 1) / Sector;
  const std::vector<uint64_t> Want = TDigest64::PerUnit(Image, Sector);
  // Which sectors hold the image's bytes already: read from the flash as it is now.
  std::vector<bool> Write(R.Sectors, true);
  if (!Erased) {
    const std::vector<uint64_t> Have = FFast.SectorDigests(Offset, Size);
    for (uint32_t k = 0; k < R.Sectors; ++k)
      Write[k] = Have[k] != Want[k];
  }
  std::vector<uint8_t> Stream;
  for (uint32_t k = 0; k < R.Sectors; ++k)
    if (Write[k]) {
      const auto Part = Image.subspan(size_t(k) * Sector, std::min(Sector, Size - k * Sector));
      Stream.insert(Stream.end(), Part.begin(), Part.end());
      ++R.SectorsWritten;
    }
  R.SectorsSkipped = R.Sectors - R.SectorsWritten;
  const uint32_t Skipped = Size - uint32_t(Stream.size());
  FLog.F("%s: %d of %d sectors to write", {Name, R.SectorsWritten, R.Sectors});
  if (Progress) Progress(Skipped);
  if (R.SectorsWritten == 0) {
    // Every sector's digest matched: the image is in flash, and that was its check.
    R.Verified = true;
    return;
  }
  std::vector<uint8_t> Deflated = DeflateRaw(Stream);
  const bool Deflate = Deflated.size() < Stream.size();
  const std::vector<uint8_t>& Sent = Deflate ? Deflated : Stream;
  FLog.F("%s: %d bytes, sent as %d%s",
         {Name, Stream.size(), Sent.size(), std::string(Deflate ? " deflated" : " as they are")});
  FFast.Write(Offset, Size, Write, Sent, Deflate, [&](size_t Done) {
    if (Progress) Progress(Skipped + uint32_t(uint64_t(Stream.size()) * Done / Sent.size()));
  });
  // The check: the region's digest, read back from the flash after the whole image.
  if (FFast.Digest(Offset, Size) != TDigest64::Of(Image)) {
    const std::vector<uint64_t> Have = FFast.SectorDigests(Offset, Size);
    uint32_t k = 0;
    while (k + 1 < R.Sectors && Have[k] == Want[k])
      ++k;
    throw Exception(
        Format("Verify Error: %s differs from the flash at %x", {Name, Offset + k * Sector}));
  }
  R.Verified = true;
}

void TFastPath::Compare(const std::string& Name, uint32_t Offset, std::span<const uint8_t> Image,
                        TImageResult& R) {
  const uint32_t Size = uint32_t(Image.size());
  R.Compared = true;
  R.Sectors = (Size + Sector - 1) / Sector;
  const std::vector<uint64_t> Want = TDigest64::PerUnit(Image, Sector);
  const std::vector<uint64_t> Have = FFast.SectorDigests(Offset, Size);
  for (uint32_t k = 0; k < R.Sectors; ++k)
    if (Have[k] != Want[k]) R.Differing.push_back(Offset + k * Sector);
  R.Verified = R.Differing.empty();
  FLog.F("%s: %d of %d sectors differ", {Name, R.Differing.size(), R.Sectors});
}
