#include "uCliPlan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>

#include "link/uPortName.h"
#include "support/uFileName.h"
#include "support/uFormat.h"

#ifndef _WIN32
#include <sys/sysmacros.h>
#endif

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A key's default as the settings file would hold it ("921600", "TRUE").
std::string DefaultText(const TSettingKey& Key) {
  TIniStore Ini;
  WriteSettings(Ini, TSettings());
  const std::string* v = Ini.Value(Key.Section, Key.Name);
  return v ? *v : std::string();
}

} // namespace

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

std::string SettingProblemText(const TSettingProblem& P) {
  const TSettingKey& K = *P.Key;
  std::string What = std::string(K.Name) + "=" + P.Value;
  if (K.Type == TSettingType::Boolean)
    What += " is neither true nor false (TRUE, YES, Y, FALSE, NO, N or a number)";
  else if (P.Fault == TSettingFault::OutOfRange)
    What += Format(" is out of range (%d to %d)", {K.Min, K.Max});
  else
    What +=
        Format(" is not a number (%d to %d, decimal or hexadecimal after 0x or $)", {K.Min, K.Max});
  const std::string Default = DefaultText(K);
  return What +
         (Default.empty() ? "; the default is used" : "; the default " + Default + " is used");
}

std::string ParseOffset(const std::string& Text, uint32_t& Offset) {
  const std::string Quoted = "'" + Text + "'";
  if (Text.empty()) return "an empty OFFSET";
  if (Text[0] == '-' || Text[0] == '+') return Quoted + " is no offset: an offset has no sign";
  const bool Hex = Text.size() >= 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
  const std::string Digits = Hex ? Text.substr(2) : Text;
  if (Hex && Digits.empty()) return Quoted + " is no offset: hexadecimal digits must follow 0x";
  const auto IsDigit = [Hex](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return Hex ? std::isxdigit(u) != 0 : std::isdigit(u) != 0;
  };
  if (!std::all_of(Digits.begin(), Digits.end(), IsDigit))
    return Quoted + " is no offset: write it in " + OffsetRule;
  // 010000 is 10000 to some tools and 4096 (octal) to others.
  if (!Hex && Digits.size() > 1 && Digits[0] == '0') {
    const size_t First = std::min(Digits.find_first_not_of('0'), Digits.size() - 1);
    return Quoted + " is ambiguous: a leading 0 may mean octal or decimal; write " +
           Digits.substr(First) + " for decimal or 0x" + Digits.substr(First) + " for hexadecimal";
  }
  uint64_t v = 0;
  for (char c : Digits) {
    const unsigned char u = static_cast<unsigned char>(c);
    v = v * (Hex ? 16 : 10) + uint64_t(std::isdigit(u) ? u - '0' : std::toupper(u) - 'A' + 10);
    if (v > 0xFFFFFFFFull)
      return Quoted + Format(" is past the end of the %d MiB flash", {EspFlashSize >> 20});
  }
  Offset = static_cast<uint32_t>(v);
  return {};
}

std::vector<TFlashImage> ImageList(const std::string& Boot, const std::string& Part,
                                   const std::string& Firm, const std::vector<std::string>& Pairs,
                                   std::vector<std::string>& Problems) {
  std::vector<TFlashImage> Images;
  const size_t Before = Problems.size();
  const std::vector<TFlashImage> Named = WindowImages(Boot, Part, Firm);
  std::copy_if(Named.begin(), Named.end(), std::back_inserter(Images),
               [](const TFlashImage& Im) { return !Im.FileName.empty(); });
  if (Pairs.size() % 2 != 0)
    Problems.push_back("image " + Pairs.back() +
                       ": an OFFSET needs a FILE after it (OFFSET: " + OffsetRule + ")");
  for (size_t i = 0; i + 1 < Pairs.size(); i += 2) {
    uint32_t Offset = 0;
    const std::string Why = ParseOffset(Pairs[i], Offset);
    if (!Why.empty())
      Problems.push_back(Why);
    else
      Images.push_back({Offset, Pairs[i + 1], TImageKind::Raw});
  }
  // An argument that was refused above already says what is wrong.
  if (Images.empty() && Problems.size() == Before)
    Problems.push_back("no image to write (--boot, --part, --firm or OFFSET FILE)");
  return Images;
}

namespace {

// "" for a regular file (Size set to its size), "file not found" when there is nothing
// of that name, else what the name is instead.
std::string NotRegularFile(const std::string& Path, int64_t& Size) {
#ifdef _WIN32
  struct _stat64 St {};
  if (::_stat64(Path.c_str(), &St) != 0) return "file not found";
  if (St.st_mode & _S_IFREG) {
    Size = St.st_size;
    return {};
  }
  return (St.st_mode & _S_IFDIR) ? "not a regular file (a folder)"
                                 : "not a regular file (a device)";
#else
  struct stat St {};
  if (::stat(Path.c_str(), &St) != 0) return "file not found";
  if (S_ISREG(St.st_mode)) {
    Size = static_cast<int64_t>(St.st_size);
    return {};
  }
  const char* What = S_ISDIR(St.st_mode)    ? "a folder"
                     : S_ISFIFO(St.st_mode) ? "a FIFO"
                     : S_ISSOCK(St.st_mode) ? "a socket"
                                            : "a device";
  return std::string("not a regular file (") + What + ")";
#endif
}

// Why an image of Size bytes does not fit, in the terms a user can act on.
std::string SizeProblem(const TFlashImage& Im, int64_t Size, uint32_t FlashSize) {
  const std::string What =
      Format("%s %s (%d bytes at 0x%x)", {ImageKindName(Im.Kind), Im.FileName, Size, Im.Offset});
  if (Size == 0) return What + ": the file is empty";
  if (!ImageFitsFlash(Size, Im.Offset, FlashSize))
    return What + Format(": passes the end of the %d MiB flash (images are sent in whole "
                         "%d KiB blocks)",
                         {FlashSize >> 20, EspWriteBlockSize >> 10});
  return What + ": " + ImageSizeRule(Im.Kind);
}

} // namespace

std::vector<std::string> CheckImages(const std::vector<TFlashImage>& Images,
                                     std::vector<uint64_t>& Sizes, uint32_t FlashSize) {
  std::vector<std::string> Problems;
  Sizes.assign(Images.size(), 0);
  for (size_t i = 0; i < Images.size(); ++i) {
    const TFlashImage& Im = Images[i];
    if (Im.Offset % EspSectorSize != 0) {
      Problems.push_back(Format("%s %s: offset 0x%x is not a multiple of 0x1000 (4 KiB)",
                                {ImageKindName(Im.Kind), Im.FileName, Im.Offset}));
      continue;
    }
    // Looked at before it is opened: a FIFO would hold the open until someone writes.
    int64_t FileSize = 0;
    const std::string NotRegular = NotRegularFile(Unquoted(Im.FileName), FileSize);
    if (!NotRegular.empty()) {
      Problems.push_back(Format("%s %s: %s", {ImageKindName(Im.Kind), Im.FileName, NotRegular}));
      continue;
    }
    try {
      const TImageFile F = ReadImageFile(Im.Kind, Im.Offset, Im.FileName, FlashSize);
      if (F.Size < 0)
        Problems.push_back(Format("%s %s: file not found", {ImageKindName(Im.Kind), Im.FileName}));
      else if (!F.Pass)
        // The reading stops past what any flash holds; the size on disk tells more.
        Problems.push_back(SizeProblem(Im, std::max(F.Size, FileSize), FlashSize));
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
#ifdef _WIN32
  std::string Id = Port;
  if (Id.rfind("\\\\.\\", 0) == 0) Id = Id.substr(4);
  for (char& c : Id)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Id;
#else
  // One device under several names (a link such as /dev/serial/by-id/..., a path with
  // ..) has one device number.
  const std::string Path = ComDevicePath(Port);
  struct stat St {};
  if (::stat(Path.c_str(), &St) == 0 && S_ISCHR(St.st_mode))
    return "character device " + std::to_string(major(St.st_rdev)) + ":" +
           std::to_string(minor(St.st_rdev));
  return Path;
#endif
}

const TSystemPort* FindSystemPort(const std::string& Port, const std::vector<TSystemPort>& System) {
  if (IsRfc2217Name(Port)) return nullptr;
  const std::string Id = PortIdentity(Port);
  for (const TSystemPort& S : System)
    if (PortIdentity(S.Name) == Id) return &S;
  return nullptr;
}

namespace {

// The port of the one adapter with that serial number, or "" with Problem set.
std::string PortOfSerial(const std::string& Given, const std::vector<TSystemPort>& System,
                         std::string& Problem) {
  const std::string Serial = Given.substr(std::string(UsbSerialPrefix).size());
  std::vector<std::string> Found;
  for (const TSystemPort& S : System)
    if (!Serial.empty() && Lower(S.Usb.Serial) == Lower(Serial)) Found.push_back(S.Name);
  if (Found.size() == 1) return Found[0];
  if (Found.empty())
    Problem = "unknown port " + Given + ": no USB serial adapter has the serial number '" + Serial +
              "' (see quorvex-cli ports)";
  else
    Problem = "--port " + Given + " is ambiguous: " + Found[0] + " and " + Found[1] +
              " have that serial number";
  return {};
}

struct TSeen {
  std::string Given;
  std::string Local;                  // PortIdentity of a local port
  std::vector<std::string> Endpoints; // the addresses of a network port
};

// A same device: the same local identity, or a network address and port both reach.
std::string SameDevice(const TSeen& A, const TSeen& B) {
  if (A.Endpoints.empty() != B.Endpoints.empty()) return {};
  if (A.Endpoints.empty()) return A.Local == B.Local ? A.Local : std::string();
  for (const std::string& E : A.Endpoints)
    if (std::find(B.Endpoints.begin(), B.Endpoints.end(), E) != B.Endpoints.end()) {
      const size_t Blank = E.rfind(' ');
      return E.substr(0, Blank) + " port " + E.substr(Blank + 1);
    }
  return {};
}

} // namespace

std::vector<std::string> CheckPorts(std::vector<std::string>& Ports,
                                    const std::vector<TSystemPort>& System) {
  std::vector<std::string> Problems;
  if (Ports.empty()) Problems.push_back("no port: give --port (several for several boards)");
  std::vector<TSeen> Seen;
  for (std::string& P : Ports) {
    const std::string Given = P;
    if (Lower(P).rfind(UsbSerialPrefix, 0) == 0) {
      std::string Why;
      const std::string Found = PortOfSerial(P, System, Why);
      if (Found.empty()) {
        Problems.push_back(Why);
        continue;
      }
      P = Found;
    }
    const std::string Why = CheckPort(P);
    if (!Why.empty()) {
      Problems.push_back(Why);
      continue;
    }
    TSeen This{Given, {}, {}};
    if (IsRfc2217Name(P)) {
      std::string Error;
      if (!ResolveRfc2217(P, This.Endpoints, Error) || This.Endpoints.empty()) {
        Problems.push_back("unknown port " + P + ": " +
                           (Error.empty() ? "the host has no address" : Error));
        continue;
      }
    } else {
      This.Local = PortIdentity(P);
    }
    std::string Same;
    const auto Twin = std::find_if(Seen.begin(), Seen.end(), [&](const TSeen& S) {
      Same = SameDevice(S, This);
      return !Same.empty();
    });
    if (Twin != Seen.end())
      Problems.push_back("--port " + Given + " names the same device as --port " + Twin->Given +
                         " (" + Same + ")");
    else
      Seen.push_back(This);
  }
  return Problems;
}
