#include "uFastPath.h"

#include "../protocol/uDigest.h"
#include "../support/uError.h"
#include "../support/uFormat.h"

namespace {
constexpr uint32_t Sector = EspSectorSize;
// Differing sectors named in a verify's outcome; the rest are counted.
constexpr size_t SectorsNamed = 8;
} // namespace

std::string TImageReport::Text() const {
  if (Compared) {
    if (Differing.empty()) return "matches";
    std::string Where;
    for (size_t i = 0; i < Differing.size() && i < SectorsNamed; ++i)
      Where += (i ? ", " : "") + Format("%x", {Differing[i]});
    if (Differing.size() > SectorsNamed) Where += ", ...";
    return Format("differs in %d of %d sectors: %s", {Differing.size(), Sectors, Where});
  }
  switch (Outcome) {
  case TImageOutcome::NotStarted:
    return "not started";
  case TImageOutcome::Incomplete:
    return "incomplete";
  case TImageOutcome::Written:
    break;
  case TImageOutcome::Unchanged:
    return "unchanged";
  case TImageOutcome::SectorsRewritten:
    return Format("rewritten %d of %d sectors", {SectorsRewritten, Sectors});
  }
  return "written";
}

TFastPath::TFastPath(TEspFast& Fast, TDebugLog& Log) : FFast(Fast), FLog(Log) {}

void TFastPath::Write(const std::string& Name, uint32_t Offset, std::span<const uint8_t> Image,
                      bool Erased, const std::function<void(uint32_t)>& Progress, TImageReport& R) {
  const uint32_t Size = uint32_t(Image.size());
  R.Size = Size;
  R.Sectors = (Size + Sector - 1) / Sector;
  R.Outcome = TImageOutcome::Incomplete;
  const std::vector<uint64_t> Want = TDigest64::PerUnit(Image, Sector);
  // Which sectors hold the image's bytes already: read from the flash as it is now.
  std::vector<bool> Write(R.Sectors, true);
  if (!Erased) {
    const std::vector<uint64_t> Have = FFast.SectorDigests(Offset, Size);
    for (uint32_t k = 0; k < R.Sectors; ++k)
      Write[k] = Have[k] != Want[k];
  }
  std::vector<uint8_t> Stream;
  uint32_t Rewritten = 0;
  for (uint32_t k = 0; k < R.Sectors; ++k)
    if (Write[k]) {
      const auto Part = Image.subspan(size_t(k) * Sector, std::min(Sector, Size - k * Sector));
      Stream.insert(Stream.end(), Part.begin(), Part.end());
      ++Rewritten;
    }
  R.SectorsRewritten = Rewritten;
  R.SectorsSkipped = R.Sectors - Rewritten;
  const uint32_t Skipped = Size - uint32_t(Stream.size());
  FLog.F("%s: %d of %d sectors to write", {Name, Rewritten, R.Sectors});
  if (Progress) Progress(Skipped);
  if (Rewritten == 0) {
    // Every sector's digest matched: the image is in flash, and that was its check.
    R.Outcome = TImageOutcome::Unchanged;
    R.Verified = true;
    return;
  }
  std::vector<uint8_t> Deflated = DeflateRaw(Stream);
  const bool Deflate = Deflated.size() < Stream.size();
  const std::vector<uint8_t>& Sent = Deflate ? Deflated : Stream;
  FLog.F("%s: %d bytes, sent as %d%s",
         {Name, Stream.size(), Sent.size(), std::string(Deflate ? " deflated" : " as they are")});
  FFast.Write(Offset, Size, Write, Sent, Deflate, [&](size_t Done) {
    R.BytesSent = Done;
    if (Progress) Progress(Skipped + uint32_t(uint64_t(Stream.size()) * Done / Sent.size()));
  });
  R.BytesSent = Sent.size();
  R.Outcome = Rewritten == R.Sectors ? TImageOutcome::Written : TImageOutcome::SectorsRewritten;
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
                        TImageReport& R) {
  const uint32_t Size = uint32_t(Image.size());
  R.Size = Size;
  R.Compared = true;
  R.Sectors = (Size + Sector - 1) / Sector;
  const std::vector<uint64_t> Want = TDigest64::PerUnit(Image, Sector);
  const std::vector<uint64_t> Have = FFast.SectorDigests(Offset, Size);
  for (uint32_t k = 0; k < R.Sectors; ++k)
    if (Have[k] != Want[k]) R.Differing.push_back(Offset + k * Sector);
  R.Verified = R.Differing.empty();
  FLog.F("%s: %d of %d sectors differ", {Name, R.Differing.size(), R.Sectors});
}
