#pragma once
// The fast stub's commands over the loader session's packet layer: its upload, the
// flash part, digests of flash regions, the write of chosen sectors from one stream,
// and the windowed read (firmware/stub/README.md has the words of each command). No
// fixed pauses: each step waits for the stub's answer, which paces the program.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "uEsp.h"

// The embedded fast stub blob (generated from resources/stub_esp32_fast.bin).
std::span<const uint8_t> StubEsp32FastBlob();

// What the fast stub found out about the flash part at its start.
struct TFlashPart {
  uint32_t Jedec = 0; // JEDEC id: maker, memory type, capacity (lowest byte first)
  uint32_t Size = 0;  // bytes the stub writes and reads: the part's size, at most 16 MiB
  uint32_t Facts = 0; // the stub's STUB_PART_* word (maker, SFDP, erase units)
  uint8_t Maker() const { return uint8_t(Jedec); }
};

// The size the stub takes from a JEDEC id (the capacity byte as a power of two, 64 KiB
// to 16 MiB; larger parts are used up to 16 MiB, a part that says nothing useful as
// 16 MiB), so that the program bounds its images as the stub bounds its writes.
uint32_t FlashSizeOfJedec(uint32_t Jedec);
// The maker's name from the JEDEC maker byte, "" for one not in the table.
std::string FlashMakerName(uint8_t Maker);
// "Winbond EF4016, 4 MiB" (the maker's byte when it has no name here).
std::string FlashPartText(const TFlashPart& Part);

// The stream the fast stub inflates: raw deflate (RFC 1951, no zlib header or check
// value) at zlib's best level.
std::vector<uint8_t> DeflateRaw(std::span<const uint8_t> Bytes);

class TEspFast {
public:
  // Esp carries the packets over Link (the same serial service).
  TEspFast(TEsp& Esp, IByteLink& Link, TDebugLog& Debug,
           std::span<const uint8_t> Blob = StubEsp32FastBlob());

  // Uploads the fast stub into RAM with the loader's memory commands, starts it and
  // waits for its greeting. Raises the standard upload's messages ("Error MEM_BEGIN",
  // ..., "Error ENTRY", "Error Entry-Code"), or "Error FAST_STUB" for a blob that does
  // not parse.
  void Install();

  TFlashPart Info();
  // One digest per 4 KiB sector of the region, the last of what is left.
  std::vector<uint64_t> SectorDigests(uint32_t Offset, uint32_t Length);
  uint64_t Digest(uint32_t Offset, uint32_t Length);
  // Writes the sectors of [Offset, Offset + Length) that Write names (one flag a sector)
  // from Stream: their bytes one after the other, deflated (raw RFC 1951) or as they
  // are. Progress gets the stream bytes the stub has taken so far.
  void Write(uint32_t Offset, uint32_t Length, const std::vector<bool>& Write,
             std::span<const uint8_t> Stream, bool Deflated,
             const std::function<void(size_t)>& Progress = {});
  // The region's bytes, checked against the stub's digest of them. Progress gets the
  // bytes received so far.
  std::vector<uint8_t> Read(uint32_t Offset, uint32_t Length,
                            const std::function<void(size_t)>& Progress = {});

private:
  void Send(uint8_t Com, const std::vector<uint8_t>& Payload, bool Purge = true);
  // Sends and waits for the answer to Com (others are passed over); raises Msg on no
  // answer, and with the stub's code on a refusal.
  void Command(uint8_t Com, const std::vector<uint8_t>& Payload, int Timeout, const char* Msg);
  void Judge(int Result, const char* Msg);
  std::vector<uint64_t> Digests(uint32_t Offset, uint32_t Length, uint32_t Unit);

  TEsp& FEsp;
  IByteLink& FLink;
  TDebugLog& FDebug;
  std::span<const uint8_t> FBlob;
};
