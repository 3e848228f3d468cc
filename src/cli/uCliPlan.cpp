#include "uCliPlan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>

#include "link/uPortList.h"
#include "link/uPortName.h"
#include "support/uFormat.h"

#ifndef _WIN32
#include <climits>
#include <cstdlib>
#endif

bool LoadSettings(const std::string& File, bool Required, TSettings& S,
                  std::vector<TSettingProblem>& Problems, std::string& Error) {
  S = TSettings();
  Problems.clear();
  std::error_code Ec;
  if (!std::filesystem::exists(File, Ec)) {
    if (!Required) return true;
    Error = "settings file " + File + " not found";
    return false;
  }
  TIniStore Ini;
  Ini.SetFileName(File);
  if (Ini.LoadProblem() != TIniLoadProblem::None) {
    Error = "settings file " + File + " " + IniLoadProblemText(Ini.LoadProblem());
    return false;
  }
  S = ReadSettings(Ini, Problems);
  return true;
}

bool ParseOffset(const std::string& Text, uint32_t& Offset) {
  const bool Hex = Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
  const std::string Digits = Hex ? Text.substr(2) : Text;
  if (Digits.empty() || Digits.size() > 10) return false;
  uint64_t v = 0;
  for (char c : Digits) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (Hex ? !std::isxdigit(u) : !std::isdigit(u)) return false;
    v = v * (Hex ? 16 : 10) + uint64_t(std::isdigit(u) ? u - '0' : std::toupper(u) - 'A' + 10);
  }
  if (v > 0xFFFFFFFFull) return false;
  Offset = static_cast<uint32_t>(v);
  return true;
}

std::vector<TFlashImage> ImageList(const std::string& Boot, const std::string& Part,
                                   const std::string& Firm, const std::vector<std::string>& Pairs,
                                   std::vector<std::string>& Problems) {
  std::vector<TFlashImage> Images;
  const std::vector<TFlashImage> Named = WindowImages(Boot, Part, Firm);
  std::copy_if(Named.begin(), Named.end(), std::back_inserter(Images),
               [](const TFlashImage& Im) { return !Im.FileName.empty(); });
  if (Pairs.size() % 2 != 0)
    Problems.push_back("image " + Pairs.back() + ": an OFFSET needs a FILE after it");
  for (size_t i = 0; i + 1 < Pairs.size(); i += 2) {
    uint32_t Offset = 0;
    if (!ParseOffset(Pairs[i], Offset))
      Problems.push_back("'" + Pairs[i] + "' is no offset (OFFSET FILE pairs: 0x10000 app.bin)");
    else
      Images.push_back({Offset, Pairs[i + 1], TImageKind::Raw});
  }
  return Images;
}

namespace {

// Why an image of Size bytes does not fit, in the terms a user can act on.
std::string SizeProblem(const TFlashImage& Im, int64_t Size) {
  const std::string What =
      Format("%s %s (%d bytes at 0x%x)", {ImageKindName(Im.Kind), Im.FileName, Size, Im.Offset});
  if (Size == 0) return What + ": the file is empty";
  if (!ImageFitsFlash(Size, Im.Offset))
    return What + Format(": passes the end of the %d MiB flash (images are sent in whole "
                         "%d KiB blocks)",
                         {EspFlashSize >> 20, EspWriteBlockSize >> 10});
  return What + ": " + ImageSizeRule(Im.Kind);
}

} // namespace

std::vector<std::string> CheckImages(const std::vector<TFlashImage>& Images,
                                     std::vector<uint64_t>& Sizes) {
  std::vector<std::string> Problems;
  Sizes.assign(Images.size(), 0);
  if (Images.empty())
    Problems.push_back("no image to write (--boot, --part, --firm or OFFSET FILE)");
  for (size_t i = 0; i < Images.size(); ++i) {
    const TFlashImage& Im = Images[i];
    if (Im.Offset % EspSectorSize != 0) {
      Problems.push_back(Format("%s %s: offset 0x%x is not a multiple of 0x1000 (4 KiB)",
                                {ImageKindName(Im.Kind), Im.FileName, Im.Offset}));
      continue;
    }
    try {
      const TImageFile F = ReadImageFile(Im.Kind, Im.Offset, Im.FileName);
      if (F.Size < 0)
        Problems.push_back(Format("%s %s: file not found", {ImageKindName(Im.Kind), Im.FileName}));
      else if (!F.Pass)
        Problems.push_back(SizeProblem(Im, F.Size));
      else
        Sizes[i] = uint64_t(F.Size);
    } catch (const std::exception& E) {
      Problems.push_back(E.what());
    }
  }
  // Offsets are sector-aligned, so two byte ranges that do not meet never share a sector.
  for (size_t i = 0; i < Images.size(); ++i)
    for (size_t j = i + 1; j < Images.size(); ++j) {
      const uint64_t A = Images[i].Offset, B = Images[j].Offset;
      if (Sizes[i] && Sizes[j] && A < B + Sizes[j] && B < A + Sizes[i])
        Problems.push_back(
            Format("%s at 0x%x and %s at 0x%x overlap",
                   {Images[i].FileName, Images[i].Offset, Images[j].FileName, Images[j].Offset}));
    }
  return Problems;
}

std::string CheckPort(const std::string& Port) {
  if (Port.empty()) return "an empty port name";
  if (IsRfc2217Name(Port)) {
    std::string Host, Number;
    return ParseRfc2217Address(Port, Host, Number)
               ? std::string()
               : "unknown port " + Port + ": expected rfc2217://host:port";
  }
#ifdef _WIN32
  std::vector<std::string> Names;
  if (!SystemPortNames(Names)) return {}; // no list to go by: the open will tell
  const std::string Id = PortIdentity(Port);
  for (const std::string& N : Names)
    if (PortIdentity(N) == Id) return {};
  return "unknown port " + Port + " (see quorvex-cli ports)";
#else
  const std::string Path = ComDevicePath(Port);
  struct stat St {};
  if (::stat(Path.c_str(), &St) != 0)
    return "unknown port " + Port + ": there is no " + Path + " (see quorvex-cli ports)";
  if (!S_ISCHR(St.st_mode)) return "unknown port " + Port + ": " + Path + " is no serial device";
  return {};
#endif
}

std::string PortIdentity(const std::string& Port) {
  std::string Host, Number;
  if (ParseRfc2217Address(Port, Host, Number)) {
    for (char& c : Host)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "rfc2217://" + Host + ":" + std::to_string(std::stol(Number));
  }
#ifdef _WIN32
  std::string Id = Port;
  if (Id.rfind("\\\\.\\", 0) == 0) Id = Id.substr(4);
  for (char& c : Id)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Id;
#else
  const std::string Path = ComDevicePath(Port);
  char Real[PATH_MAX + 1] = {};
  return ::realpath(Path.c_str(), Real) ? std::string(Real) : Path;
#endif
}

std::vector<std::string> CheckPorts(const std::vector<std::string>& Ports) {
  std::vector<std::string> Problems;
  if (Ports.empty()) Problems.push_back("no port: give --port (several for several boards)");
  std::vector<std::pair<std::string, std::string>> Seen; // identity, name given
  for (const std::string& P : Ports) {
    const std::string Why = CheckPort(P);
    if (!Why.empty()) {
      Problems.push_back(Why);
      continue;
    }
    const std::string Id = PortIdentity(P);
    const auto Same =
        std::find_if(Seen.begin(), Seen.end(), [&Id](const auto& S) { return S.first == Id; });
    if (Same != Seen.end())
      Problems.push_back("--port " + P + " names the same device as --port " + Same->second + " (" +
                         Id + ")");
    else
      Seen.emplace_back(Id, P);
  }
  return Problems;
}
