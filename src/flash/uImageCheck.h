#pragma once
// The rules an image file must pass before it is written, shared by the window's file
// fields (as colour and hint), the command line's checks and the flash job (checked
// again when a run starts).
#include <cstdint>
#include <string>
#include <vector>

#include "../protocol/uEspLimits.h"

// The window's three images (the fields' tags), and any other image a caller names.
enum class TImageKind { Boot = 0, Part = 1, Firm = 2, Raw = 3 };

// Where the window writes each of its images; 0 for Raw.
uint32_t ImageOffset(TImageKind Kind);
// What the kind is called: "bootloader", "partition table", "firmware", "image".
const char* ImageKindName(TImageKind Kind);
// The kind's own size rule in words: "a bootloader holds 10000 to 32768 bytes".
std::string ImageSizeRule(TImageKind Kind);

// Whether a file of Size bytes may be written as an image of this kind at Offset: the
// kind's own size rule, and the image, rounded up to whole blocks, must end inside the
// flash (the 4 MiB the window writes, unless the fast path knows the part's size).
bool ImageSizeFits(TImageKind Kind, int64_t Size, uint32_t Offset,
                   uint32_t FlashSize = EspFlashSize);
inline bool ImageSizeFits(TImageKind Kind, int64_t Size) {
  return ImageSizeFits(Kind, Size, ImageOffset(Kind));
}
// Whether Size bytes at Offset, in the whole blocks their write announces, fit the flash.
bool ImageFitsFlash(int64_t Size, uint32_t Offset, uint32_t FlashSize = EspFlashSize);

// The hints the fields show for a file that fails.
inline constexpr const char* HintNoFilename = "No Filename";
inline constexpr const char* HintNotFound = "File not found";
inline constexpr const char* HintSizeError = "Filesize Error";

struct TImageFile {
  bool Pass = false;
  std::string Hint;          // as the field would show it; the name itself when it passes
  int64_t Size = -1;         // -1 when no file of that name exists
  std::vector<uint8_t> Data; // the bytes read (all of them when it passes); ReadImageFile
};

// Checks one image by the fields' rules without reading it. Name is 8-bit text (the
// system's code page on Windows, UTF-8 elsewhere), in double quotes or not; a bare name
// is looked up in the working directory. Raises Exception when the file exists but
// cannot be opened.
TImageFile CheckImageFile(TImageKind Kind, uint32_t Offset, const std::string& Name,
                          uint32_t FlashSize = EspFlashSize);
// The same, reading the file: the bytes checked are the bytes returned. Raises
// Exception when the file exists but cannot be read.
TImageFile ReadImageFile(TImageKind Kind, uint32_t Offset, const std::string& Name,
                         uint32_t FlashSize = EspFlashSize);

// The message a run stops with for a file that fails: the field's hint and the name.
std::string ImageCheckMessage(const TImageFile& Checked, const std::string& Name);
