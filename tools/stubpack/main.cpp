// quorvex-stubpack: writes the flasher stub blob from a code image and a data image.
//   quorvex-stubpack CODE DATA OUT [--text-start A] [--entry A] [--data-start A]
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
               "[--entry ADDR] [--data-start ADDR]\n";
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  try {
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
    std::vector<uint8_t> Blob = PackStub(Image);

    // Written beside the target and renamed, so a failed run leaves no half blob.
    std::string Tmp = Files[2] + ".tmp";
    {
      std::ofstream o(Tmp, std::ios::binary | std::ios::trunc);
      o.write(reinterpret_cast<const char*>(Blob.data()), std::streamsize(Blob.size()));
      o.close();
      if (!o) {
        std::remove(Tmp.c_str());
        throw EStubPack("cannot write " + Files[2]);
      }
    }
    if (std::rename(Tmp.c_str(), Files[2].c_str()) != 0) {
      std::remove(Tmp.c_str());
      throw EStubPack("cannot write " + Files[2]);
    }
    return 0;
  } catch (const EStubPack& e) {
    std::cerr << "quorvex-stubpack: " << e.what() << "\n";
    return 1;
  }
}
