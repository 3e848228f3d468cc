// quorvex-stubpack: writes the flasher stub blob from a code image and a data image,
// or the fast stub's blob from its segments.
//   quorvex-stubpack CODE DATA OUT [--text-start A] [--entry A] [--data-start A]
//   quorvex-stubpack --fast OUT --entry A ADDR:FILE [ADDR:FILE ...]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "StubPack.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string& Name) {
  std::ifstream f(Name, std::ios::binary);
  if (!f) throw EStubPack("cannot open " + Name);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) throw EStubPack("cannot read " + Name);
  return b;
}

uint32_t ParseAddress(const std::string& Opt, const std::string& Text) {
  errno = 0;
  char* End = nullptr;
  unsigned long long v = std::strtoull(Text.c_str(), &End, 0);
  if (Text.empty() || Text[0] == '-' || *End != '\0' || errno != 0 || v > 0xFFFFFFFFull)
    throw EStubPack(Opt + ": not a 32-bit address: '" + Text + "'");
  return uint32_t(v);
}

int Usage() {
  std::cerr << "usage: quorvex-stubpack CODE.bin DATA.bin OUT.bin [--text-start ADDR] "
               "[--entry ADDR] [--data-start ADDR]\n"
               "       quorvex-stubpack --fast OUT.bin --entry ADDR ADDR:FILE [ADDR:FILE ...]\n";
  return 2;
}

// Written beside the target and renamed, so a failed run leaves no half blob.
void WriteBlob(const std::string& Name, const std::vector<uint8_t>& Blob) {
  std::string Tmp = Name + ".tmp";
  {
    std::ofstream o(Tmp, std::ios::binary | std::ios::trunc);
    o.write(reinterpret_cast<const char*>(Blob.data()), std::streamsize(Blob.size()));
    o.close();
    if (!o) {
      std::remove(Tmp.c_str());
      throw EStubPack("cannot write " + Name);
    }
  }
  if (std::rename(Tmp.c_str(), Name.c_str()) != 0) {
    std::remove(Tmp.c_str());
    throw EStubPack("cannot write " + Name);
  }
}

int PackFast(int argc, char** argv) {
  if (argc < 6 || std::string(argv[3]) != "--entry") return Usage();
  const uint32_t Entry = ParseAddress("--entry", argv[4]);
  std::vector<TFastSegment> Segments;
  for (int i = 5; i < argc; ++i) {
    const std::string a = argv[i];
    const size_t Colon = a.find(':');
    if (Colon == std::string::npos) return Usage();
    TFastSegment S;
    S.Address = ParseAddress("segment", a.substr(0, Colon));
    S.Bytes = ReadFile(a.substr(Colon + 1));
    Segments.push_back(std::move(S));
  }
  WriteBlob(argv[2], PackFastStub(Entry, Segments));
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::string(argv[1]) == "--fast") return PackFast(argc, argv);
    std::vector<std::string> Files;
    TStubImage Image;
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      if (a == "--text-start" || a == "--entry" || a == "--data-start") {
        if (i + 1 >= argc) return Usage();
        uint32_t v = ParseAddress(a, argv[++i]);
        (a == "--text-start" ? Image.TextStart
         : a == "--entry"    ? Image.Entry
                             : Image.DataStart) = v;
      } else if (a.starts_with("--")) {
        return Usage();
      } else {
        Files.push_back(a);
      }
    }
    if (Files.size() != 3) return Usage();
    Image.Code = ReadFile(Files[0]);
    Image.Data = ReadFile(Files[1]);
    WriteBlob(Files[2], PackStub(Image));
    return 0;
  } catch (const EStubPack& e) {
    std::cerr << "quorvex-stubpack: " << e.what() << "\n";
    return 1;
  }
}
