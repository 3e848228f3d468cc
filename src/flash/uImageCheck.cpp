#include "uImageCheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "../support/uError.h"
#include "../support/uFileName.h"
#include "../support/uFormat.h"

namespace {

struct TImageRule {
  uint32_t Offset;  // where the window writes it
  const char* Name; // what it is called
  const char* What; // the same with its article, for the rule in words
  int64_t Min;
  int64_t Max; // -1: no upper bound but the flash
};

// By TImageKind. An empty Raw image would write nothing and still report success.
constexpr TImageRule Rules[] = {
    {0x1000, "bootloader", "a bootloader", 10000, 32768},
    {0x8000, "partition table", "a partition table", 3072, 3072},
    {0x10000, "firmware", "a firmware", 65536, -1},
    {0, "image", "an image", 1, -1},
};

const TImageRule& RuleOf(TImageKind Kind) {
  return Rules[static_cast<size_t>(Kind)];
}

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Whether Path names a regular file, and its size.
bool RegularFile(const std::string& Path, int64_t& Size) {
#ifdef _WIN32
  struct _stat64 St {}; // the plain one holds sizes below 2 GiB only
  if (::_stat64(Path.c_str(), &St) != 0 || !(St.st_mode & _S_IFREG)) return false;
#else
  struct stat St {};
  if (::stat(Path.c_str(), &St) != 0 || !S_ISREG(St.st_mode)) return false;
#endif
  Size = static_cast<int64_t>(St.st_size);
  return true;
}

std::string ReadError(const std::string& Path, int Err) {
  return Format("Cannot read image file %s: %s", {Path, std::string(std::strerror(Err))});
}

// Both checks: the name, the file, its size; with ReadData the bytes as well.
TImageFile Examine(TImageKind Kind, uint32_t Offset, const std::string& Name, bool ReadData,
                   uint32_t FlashSize) {
  TImageFile r;
  if (Name.empty()) {
    r.Hint = HintNoFilename;
    return r;
  }
  const std::string Path = Unquoted(Name);
  int64_t Size = 0;
  if (!RegularFile(Path, Size)) {
    r.Hint = HintNotFound;
    return r;
  }
  std::unique_ptr<std::FILE, TFileCloser> F(std::fopen(Path.c_str(), "rb"));
  if (!F) throw Exception(ReadError(Path, errno));
  if (ReadData) {
    // Read to the end rather than trusting the size seen a moment ago: the file may be
    // being rewritten. Stop once it is past anything that could fit the flash.
    uint8_t Buf[65536];
    size_t Got = 0;
    while ((Got = std::fread(Buf, 1, sizeof Buf, F.get())) > 0) {
      r.Data.insert(r.Data.end(), Buf, Buf + Got);
      if (r.Data.size() > FlashSize) break;
    }
    if (std::ferror(F.get())) throw Exception(ReadError(Path, errno));
    r.Size = static_cast<int64_t>(r.Data.size());
  } else {
    r.Size = Size;
  }
  r.Pass = ImageSizeFits(Kind, r.Size, Offset, FlashSize);
  r.Hint = r.Pass ? Name : HintSizeError;
  return r;
}

} // namespace

uint32_t ImageOffset(TImageKind Kind) {
  return RuleOf(Kind).Offset;
}

const char* ImageKindName(TImageKind Kind) {
  return RuleOf(Kind).Name;
}

std::string ImageSizeRule(TImageKind Kind) {
  const TImageRule& R = RuleOf(Kind);
  if (R.Max == R.Min) return Format("%s holds %d bytes", {R.What, R.Min});
  if (R.Max < 0) return Format("%s holds at least %d bytes", {R.What, R.Min});
  return Format("%s holds %d to %d bytes", {R.What, R.Min, R.Max});
}

bool ImageFitsFlash(int64_t Size, uint32_t Offset, uint32_t FlashSize) {
  // The write announces whole blocks, and the loader refuses a region that passes the
  // end of the flash: the image rounded up to them must fit from its offset.
  if (Size < 0 || Offset > FlashSize) return false;
  const int64_t Region = (Size + EspWriteBlockSize - 1) / EspWriteBlockSize * EspWriteBlockSize;
  return Region <= int64_t(FlashSize - Offset);
}

bool ImageSizeFits(TImageKind Kind, int64_t Size, uint32_t Offset, uint32_t FlashSize) {
  const TImageRule& R = RuleOf(Kind);
  return ImageFitsFlash(Size, Offset, FlashSize) && Size >= R.Min && (R.Max < 0 || Size <= R.Max);
}

TImageFile CheckImageFile(TImageKind Kind, uint32_t Offset, const std::string& Name,
                          uint32_t FlashSize) {
  return Examine(Kind, Offset, Name, false, FlashSize);
}

TImageFile ReadImageFile(TImageKind Kind, uint32_t Offset, const std::string& Name,
                         uint32_t FlashSize) {
  return Examine(Kind, Offset, Name, true, FlashSize);
}

std::string ImageCheckMessage(const TImageFile& Checked, const std::string& Name) {
  if (Name.empty()) return Checked.Hint;
  return Checked.Hint + ": " + Name;
}
