// The flasher stub upload, the embedded blob's layout and the stubpack tool.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

#include "FakeLink.h"
#include "StubPack.h"
#include "protocol/uEsp.h"

namespace {

namespace fs = std::filesystem;

const Bytes Ohai{'O', 'H', 'A', 'I'};

Bytes PatternCode(size_t n) {
  Bytes c(n);
  for (size_t i = 0; i < n; ++i)
    c[i] = uint8_t(i * 7 + 3); // hits C0 and DB too
  return c;
}

TStubImage TestImage() {
  TStubImage im;
  im.Code = PatternCode(StubCodeSize);
  im.Data = {0xDE, 0xAD, 0xBE, 0xEF};
  return im;
}

std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.what();
  }
  return "";
}

// What the upload sends: the five requests, word for word.
std::vector<Bytes> ExpectedUpload(const TStubImage& im) {
  Bytes Code = im.Code;
  Code.resize(StubCodeSize, 0);
  Bytes Data = im.Data;
  Data.resize(StubDataSize, 0);
  Bytes MemData1 = Words({StubCodeSize, 0, 0, 0});
  MemData1.insert(MemData1.end(), Code.begin(), Code.end());
  Bytes MemData2 = Words({StubDataSize, 0, 0, 0});
  MemData2.insert(MemData2.end(), Data.begin(), Data.end());
  return {RequestPacket(0x05, Words({StubCodeSize, 0, 6144, im.TextStart})),
          RequestPacket(0x07, MemData1),
          RequestPacket(0x05, Words({StubDataSize, 1, 6144, im.DataStart})),
          RequestPacket(0x07, MemData2), RequestPacket(0x06, Words({0, im.Entry}))};
}

// Answers for the five memory commands; the greeting follows the MEM_END answer
// without a request of its own.
void ScriptUpload(TFakeLink& Link, uint8_t Status, const Bytes& Greeting) {
  for (uint8_t Com : {0x05, 0x07, 0x05, 0x07, 0x06})
    Link.Replies.push_back(Slip(ResponsePacket(Com, 0, Status, Status)));
  Link.Replies.back().insert(Link.Replies.back().end(), Greeting.begin(), Greeting.end());
}

std::vector<Bytes> SentPackets(const TFakeLink& Link) {
  std::vector<Bytes> s;
  for (const Bytes& w : Link.Writes)
    s.push_back(Unslip(w));
  return s;
}

struct EspStub : ::testing::Test {
  TFakeLink Link;
  TDebugLog Log;
  Bytes Blob = PackStub(TestImage());
  std::unique_ptr<TEsp> Esp = std::make_unique<TEsp>(Link, Log, Blob);

  void Script(uint8_t Status, const Bytes& Greeting) { ScriptUpload(Link, Status, Greeting); }
  std::vector<Bytes> Sent() const { return SentPackets(Link); }
};

TEST_F(EspStub, UploadsCodeAndDataThenStarts) {
  Script(0, Slip(Ohai));
  Esp->ESP32_InstallStub();
  EXPECT_EQ(Sent(), ExpectedUpload(TestImage()));
  EXPECT_EQ(Sent()[1].size(), 8u + 3304u);
  EXPECT_EQ(Sent()[3].size(), 8u + 20u);
  // Per-byte limits: 200 for MEM_BEGIN and MEM_END, 500 for MEM_DATA, 200 for the greeting.
  std::vector<int> Limits(Link.Timeouts.begin(), Link.Timeouts.end());
  const size_t AnswerReads = Slip(ResponsePacket(0x05)).size();
  ASSERT_EQ(Limits.size(), 5 * AnswerReads + Slip(Ohai).size());
  const int PerStep[] = {200, 500, 200, 500, 200, 200};
  for (size_t i = 0; i < Limits.size(); ++i)
    EXPECT_EQ(Limits[i], PerStep[std::min<size_t>(i / AnswerReads, 5)]) << i;
  // Four answer dumps of 10 bytes, then the greeting's four bytes.
  ASSERT_EQ(Log.Lines().size(), 5u);
  EXPECT_EQ(Log.Lines()[0].substr(0, 39), "0000:  01 05 02 00 00 00 00 00 00 00 ..");
  EXPECT_EQ(Log.Lines()[4].substr(0, 18), "0000:  4F 48 41 49");
}

TEST_F(EspStub, NonZeroStatusDoesNotStopTheUpload) {
  Script(1, Slip(Ohai));
  EXPECT_EQ(Raised([&] { Esp->ESP32_InstallStub(); }), "");
  EXPECT_EQ(Link.Writes.size(), 5u);
}

TEST_F(EspStub, Greetings) {
  struct Case {
    const char* Name;
    Bytes Greeting;
    std::string Message;
    std::string Dump; // the greeting's dump line, "" when none is written
  } Cases[] = {
      {"OHAI", Slip(Ohai), "", "0000:  4F 48 41 49 .."},
      {"five bytes", Slip({'O', 'H', 'A', 'I', '!'}), "Error ENTRY", ""},
      {"OHAJ", Slip({'O', 'H', 'A', 'J'}), "Error Entry-Code", "0000:  4F 48 41 4A .."},
      {"silence", {}, "Error ENTRY", ""},
      {"bad escape", {0xC0, 'O', 0xDB, 'H'}, "Error ENTRY", ""},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    Log.C();
    Link.In.clear();
    Script(0, c.Greeting);
    EXPECT_EQ(Raised([&] { Esp->ESP32_InstallStub(); }), c.Message);
    ASSERT_EQ(Log.Lines().size(), c.Dump.empty() ? 4u : 5u);
    if (!c.Dump.empty()) {
      EXPECT_EQ(Log.Lines().back().substr(0, c.Dump.size()), c.Dump);
    }
  }
}

TEST_F(EspStub, UnansweredStepsStopTheUpload) {
  const char* Messages[] = {"Error MEM_BEGIN", "Error MEM_DATA", "Error MEM_BEGIN",
                            "Error MEM_DATA", "Error MEM_END"};
  for (size_t Step = 0; Step < 5; ++Step) {
    SCOPED_TRACE(Step);
    Link.Writes.clear();
    Link.In.clear();
    Link.Replies.clear();
    const uint8_t Coms[] = {0x05, 0x07, 0x05, 0x07, 0x06};
    for (size_t i = 0; i < Step; ++i)
      Link.Replies.push_back(Slip(ResponsePacket(Coms[i])));
    // A wrong direction counts as no answer.
    Link.Replies.push_back(Slip(ResponsePacket(Coms[Step], 0, 0, 0, 0)));
    EXPECT_EQ(Raised([&] { Esp->ESP32_InstallStub(); }), Messages[Step]);
    EXPECT_EQ(Link.Writes.size(), Step + 1);
  }
}

TEST_F(EspStub, MalformedBlobIsRefusedWithoutReadingPastIt) {
  Bytes Short(Blob.begin(), Blob.begin() + 3391);
  Bytes LongCode = Blob;
  LongCode[18] = 0xFF; // states a code far longer than the blob
  LongCode[19] = 0xFF;
  Bytes LongData = Blob;
  LongData.resize(3370); // data length 4 still fits, the address does not
  for (const Bytes* b : {&Short, &LongCode, &LongData}) {
    TEsp e(Link, Log, *b);
    EXPECT_EQ(Raised([&] { e.ESP32_InstallStub(); }), "Error STUB_ESP32");
  }
  EXPECT_TRUE(Link.Writes.empty());
}

// ---- the blob's layout, checked by python's own pickle reader ----

const char* Python = "/usr/bin/python3";

Bytes ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Loads the blob with pickle and prints its keys, then each value (bytes as hex).
std::string PickleDump(const fs::path& Blob) {
  std::string Cmd =
      std::string(Python) +
      " -c \"import pickle,sys; d=pickle.load(open(sys.argv[1],'rb'));"
      " print(type(d).__name__, *d.keys());"
      " [print(v.hex() if isinstance(v,bytes) else '%x' % v) for v in d.values()]\" '" +
      Blob.string() + "'";
  std::string Out;
  if (FILE* p = popen(Cmd.c_str(), "r")) {
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
      Out.append(buf.data(), n);
    if (pclose(p) != 0) return "python failed";
  }
  return Out;
}

std::string Hex(const Bytes& b) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (uint8_t v : b) {
    s += d[v >> 4];
    s += d[v & 15];
  }
  return s;
}

// The dictionary python reads must hold the values the upload sends.
void ExpectPickleMatchesUpload(const fs::path& BlobFile, const Bytes& Blob) {
  TFakeLink Link;
  TDebugLog Log;
  TEsp Esp(Link, Log, Blob);
  ScriptUpload(Link, 0, Slip(Ohai));
  Esp.ESP32_InstallStub();
  const std::vector<Bytes> Req = SentPackets(Link);
  ASSERT_EQ(Req.size(), 5u);
  const size_t Payload = 8, BlockData = 8 + 16;
  std::ostringstream Want;
  Want << "dict text text_start entry data data_start\n"
       << Hex(Bytes(Req[1].begin() + BlockData, Req[1].end())) << "\n"
       << std::hex << GetLe32(Req[0], Payload + 12) << "\n"
       << GetLe32(Req[4], Payload + 4) << "\n"
       << Hex(Bytes(Req[3].begin() + BlockData, Req[3].end())) << "\n"
       << GetLe32(Req[2], Payload + 12) << "\n";
  const std::string Expected = Want.str();
  EXPECT_EQ(PickleDump(BlobFile), Expected);
}

TEST(StubBlob, EmbeddedBlobIsTheResourceAndPickleReadsItsValues) {
  const fs::path File = fs::path(QUORVEX_SOURCE_DIR) / "resources" / "stub_esp32.bin";
  const Bytes OnDisk = ReadFile(File);
  ASSERT_EQ(OnDisk.size(), StubBlobSize);
  auto Embedded = StubEsp32Blob();
  EXPECT_EQ(Bytes(Embedded.begin(), Embedded.end()), OnDisk);
  if (access(Python, X_OK) != 0) GTEST_SKIP() << Python << " is absent";
  ExpectPickleMatchesUpload(File, OnDisk);
}

// ---- stubpack ----

struct TempDir {
  fs::path Path;
  TempDir() {
    char t[] = "/tmp/stubpackXXXXXX";
    Path = mkdtemp(t);
  }
  ~TempDir() { fs::remove_all(Path); }
  fs::path Write(const std::string& Name, const Bytes& b) const {
    std::ofstream(Path / Name, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    return Path / Name;
  }
};

TEST(StubPack, ShortImagesArePaddedAndReadBackAsPacked) {
  TStubImage im;
  im.Code = PatternCode(100);
  im.Data = {0x11, 0x22};
  im.TextStart = 0x40080000;
  im.Entry = 0x40080010;
  im.DataStart = 0x3FFB0000;
  Bytes Blob = PackStub(im);
  ASSERT_EQ(Blob.size(), StubBlobSize);

  TFakeLink Link;
  TDebugLog Log;
  TEsp Esp(Link, Log, Blob);
  ScriptUpload(Link, 0, Slip(Ohai));
  Esp.ESP32_InstallStub();
  EXPECT_EQ(SentPackets(Link), ExpectedUpload(im));

  if (access(Python, X_OK) != 0) GTEST_SKIP() << Python << " is absent";
  TempDir d;
  ExpectPickleMatchesUpload(d.Write("blob.bin", Blob), Blob);
}

TEST(StubPack, RefusesWhatDoesNotFit) {
  auto Fails = [](std::function<void(TStubImage&)> Edit) {
    TStubImage im = TestImage();
    Edit(im);
    EXPECT_THROW(PackStub(im), EStubPack);
  };
  Fails([](TStubImage& im) { im.Code.resize(StubCodeSize + 1); });
  Fails([](TStubImage& im) { im.Data.resize(StubDataSize + 1); });
  Fails([](TStubImage& im) { im.TextStart = 0x80000000; });
  Fails([](TStubImage& im) { im.Entry = 0xFFFFFFFF; });
  Fails([](TStubImage& im) { im.DataStart = 0x80000000; });
}

TEST(StubPack, CommandLine) {
  TempDir d;
  const fs::path Code = d.Write("code.bin", PatternCode(StubCodeSize));
  const fs::path Data = d.Write("data.bin", {1, 2, 3, 4});
  const fs::path TooLong = d.Write("long.bin", PatternCode(StubCodeSize + 1));
  const fs::path Out = d.Path / "out.bin";
  auto Run = [&](const std::string& Args) {
    std::string Cmd = std::string("'") + STUBPACK_EXE + "' " + Args + " 2>/dev/null";
    int rc = std::system(Cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  };
  auto q = [](const fs::path& p) { return "'" + p.string() + "'"; };

  ASSERT_EQ(Run(q(Code) + " " + q(Data) + " " + q(Out) + " --entry 0x400BE600"), 0);
  TStubImage im;
  im.Code = PatternCode(StubCodeSize);
  im.Data = {1, 2, 3, 4};
  im.Entry = 0x400BE600;
  EXPECT_EQ(ReadFile(Out), PackStub(im));

  struct Case {
    const char* Name;
    std::string Args;
    int Rc;
  } Cases[] = {
      {"code too long", q(TooLong) + " " + q(Data) + " " + q(d.Path / "x1"), 1},
      {"missing file", q(d.Path / "none") + " " + q(Data) + " " + q(d.Path / "x2"), 1},
      {"bad address", q(Code) + " " + q(Data) + " " + q(d.Path / "x3") + " --entry 0x1G", 1},
      {"address past 32 bits",
       q(Code) + " " + q(Data) + " " + q(d.Path / "x4") + " --data-start 0x100000000", 1},
      {"missing output", q(Code) + " " + q(Data), 2},
      {"unknown option", q(Code) + " " + q(Data) + " " + q(d.Path / "x5") + " --fast", 2},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(Run(c.Args), c.Rc);
  }
  for (const char* n : {"x1", "x2", "x3", "x4", "x5", "x1.tmp"})
    EXPECT_FALSE(fs::exists(d.Path / n)) << n;
}

} // namespace
