#include "uImageCheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "../support/uError.h"
#include "../support/uFormat.h"

uint32_t ImageOffset(TImageKind Kind) {
  switch (Kind) {
  case TImageKind::Boot:
    return 0x1000;
  case TImageKind::Part:
    return 0x8000;
  case TImageKind::Firm:
    return 0x10000;
  case TImageKind::Raw:
    break;
  }
  return 0;
}

bool ImageSizeFits(TImageKind Kind, int64_t Size, uint32_t Offset) {
  // The write announces whole blocks, and the loader refuses a region that passes the
  // end of the flash: the image rounded up to them must fit from its offset.
  if (Size < 0 || Offset > FlashSize) return false;
  const int64_t Region = (Size + FlashBlockSize - 1) / FlashBlockSize * FlashBlockSize;
  if (Region > int64_t(FlashSize - Offset)) return false;
  switch (Kind) {
  case TImageKind::Boot:
    return Size >= 10000 && Size <= 32768;
  case TImageKind::Part:
    return Size == 3072;
  case TImageKind::Firm:
    return Size >= 65536;
  case TImageKind::Raw:
    return Size >= 1; // an empty image would write nothing and still report success
  }
  return false;
}

std::string UnquotedName(const std::string& Text) {
  if (Text.size() >= 2 && Text.front() == '"' && Text.back() == '"')
    return Text.substr(1, Text.size() - 2);
  return Text;
}

namespace {

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string ReadError(const std::string& Path, int Err) {
  return Format("Cannot read image file %s: %s", {Path, std::string(std::strerror(Err))});
}

} // namespace

TImageFile ReadImageFile(TImageKind Kind, uint32_t Offset, const std::string& Name) {
  TImageFile r;
  if (Name.empty()) {
    r.Hint = HintNoFilename;
    return r;
  }
  const std::string Path = UnquotedName(Name);
  struct stat St {};
  if (::stat(Path.c_str(), &St) != 0 || !S_ISREG(St.st_mode)) {
    r.Hint = HintNotFound;
    return r;
  }
  std::unique_ptr<std::FILE, TFileCloser> F(std::fopen(Path.c_str(), "rb"));
  if (!F) throw Exception(ReadError(Path, errno));
  // Read to the end rather than trusting the size seen a moment ago: the file may be
  // being rewritten. Stop once it is past anything that could fit the flash.
  std::vector<uint8_t> Data;
  uint8_t Buf[65536];
  size_t Got = 0;
  while ((Got = std::fread(Buf, 1, sizeof Buf, F.get())) > 0) {
    Data.insert(Data.end(), Buf, Buf + Got);
    if (Data.size() > FlashSize) break;
  }
  if (std::ferror(F.get())) throw Exception(ReadError(Path, errno));
  r.Size = static_cast<int64_t>(Data.size());
  r.Pass = ImageSizeFits(Kind, r.Size, Offset);
  r.Hint = r.Pass ? Name : HintSizeError;
  r.Data = std::move(Data);
  return r;
}

std::string ImageCheckMessage(const TImageFile& Checked, const std::string& Name) {
  if (Name.empty()) return Checked.Hint;
  return Checked.Hint + ": " + Name;
}
