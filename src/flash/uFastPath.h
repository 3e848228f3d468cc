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

// What became of one image of an Update (or a Verify).
enum class TImageOutcome {
  NotStarted,       // the run ended before it
  Incomplete,       // the run ended while it was being written
  Written,          // every block sent and accepted
  Unchanged,        // the flash held it already, nothing was sent (the fast path)
  SectorsRewritten, // only the sectors that differed were sent (the fast path)
};

struct TImageReport {
  uint32_t Offset = 0;
  uint64_t Size = 0; // the image's bytes as the run read them; 0 until it read them
  TImageOutcome Outcome = TImageOutcome::NotStarted;
  // Data bytes in the FLASH_DATA blocks the board accepted (the ROM loader's blocks with
  // their padding); on the fast path the bytes of the stream it sent (deflated or not).
  uint64_t BytesSent = 0;
  int64_t SectorsRewritten = -1; // -1: not counted (the path writes every sector)
  int64_t SectorsSkipped = -1;   // sectors that held the image's bytes already; -1: not counted
  // The image's region was found to hold exactly the image (its digest, the fast path).
  bool Verified = false;
  double Seconds = 0;              // how long the image took
  uint32_t Sectors = 0;            // the 4 KiB sectors the image covers (the fast path)
  bool Compared = false;           // a Verify: nothing was written, only compared
  std::vector<uint32_t> Differing; // a Verify: the addresses of the sectors that differ

  // "written", "unchanged", "rewritten 3 of 237 sectors"; for a Verify "matches" or
  // "differs in 2 of 237 sectors: 1f000, 20000".
  std::string Text() const;
};

class TFastPath {
public:
  TFastPath(TEspFast& Fast, TDebugLog& Log);

  // Writes the image at Offset. Erased: the whole flash was erased in this run, so no
  // sector can hold the image yet and the digests before writing are spared. Progress
  // gets the image bytes done (the skipped sectors count at once); it may raise to stop.
  // Raises on failure, the verify failure naming the sector.
  void Write(const std::string& Name, uint32_t Offset, std::span<const uint8_t> Image, bool Erased,
             const std::function<void(uint32_t)>& Progress, TImageReport& R);
  // Compares the flash with the image, sector by sector, and writes nothing.
  void Compare(const std::string& Name, uint32_t Offset, std::span<const uint8_t> Image,
               TImageReport& R);

private:
  TEspFast& FFast;
  TDebugLog& FLog;
};
