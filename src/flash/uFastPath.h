#pragma once
// The fast path's work on one image, on a started fast stub: the sectors that already
// hold the image's bytes are found by their digests and left alone (neither erased nor
// written), the others go as one deflated stream (or as they are, when that does not
// shrink them), and afterwards the digest of the image's whole region must equal the
// image's, else the run fails naming the first sector that differs. The decision is
// taken on what the flash holds now, never on what was written before. Also the check
// of an image without writing (verify).
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "../protocol/uEspFast.h"
#include "../support/uDebugLog.h"

// What became of one image, on any path.
struct TImageResult {
  std::string Name; // the bare file name
  uint32_t Offset = 0, Size = 0;
  uint64_t BytesSent = 0; // frames put on the wire for this image (digests, data, checks)
  uint32_t Sectors = 0;   // the 4 KiB sectors the image covers
  uint32_t SectorsWritten = 0, SectorsSkipped = 0;
  double Seconds = 0;
  bool Verified = false;           // the image's region was found to hold exactly the image
  bool Compared = false;           // a verify: nothing was written, only compared
  std::vector<uint32_t> Differing; // the addresses of the sectors that differ (verify)

  // "written", "unchanged", "rewritten 3 of 237 sectors"; for a verify "matches" or
  // "differs in 2 of 237 sectors: 1F000, 20000".
  std::string Outcome() const;
};

class TFastPath {
public:
  TFastPath(TEspFast& Fast, TDebugLog& Log);

  // Writes the image at Offset. Erased: the whole flash was erased in this run, so no
  // sector can hold the image yet and the digests before writing are spared. Progress
  // gets the image bytes done (the skipped sectors count at once); it may raise to stop.
  // Raises on failure, the verify failure naming the sector.
  void Write(const std::string& Name, uint32_t Offset, std::span<const uint8_t> Image, bool Erased,
             const std::function<void(uint32_t)>& Progress, TImageResult& R);
  // Compares the flash with the image, sector by sector, and writes nothing.
  void Compare(const std::string& Name, uint32_t Offset, std::span<const uint8_t> Image,
               TImageResult& R);

private:
  TEspFast& FFast;
  TDebugLog& FLog;
};
