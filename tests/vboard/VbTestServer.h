#pragma once
// The board's server running on a thread of the test, with its trace and flash files.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "VbServer.h"

namespace vboard {
// How a test's name shows the board kind it ran against.
inline void PrintTo(TBoardOptions::TStubCore C, std::ostream* Os) {
  *Os << (C == TBoardOptions::TStubCore::Machine ? "machine" : "host");
}
} // namespace vboard

namespace vbtest {

// The two boards every stub-path end-to-end run goes against: firmware/stub's core built
// for the host, and the uploaded machine code on the simulated ESP32.
using TStubCore = vboard::TBoardOptions::TStubCore;
inline auto BoardKinds() {
  return ::testing::Values(TStubCore::Host, TStubCore::Machine);
}
inline std::string BoardKindName(const ::testing::TestParamInfo<TStubCore>& I) {
  return I.param == TStubCore::Machine ? "machine" : "host";
}

inline std::string TempPath(const std::string& Name) {
  return ::testing::TempDir() + "vb_" + std::to_string(getpid()) + "_" + Name;
}

inline std::string ReadText(const std::string& File) {
  std::ifstream f(File, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

struct TBoardServer {
  vboard::TBoardOptions Opt;
  vboard::TFlash Flash;
  vboard::TTrace Trace;
  std::string TraceFile = TempPath("trace.jsonl"), FlashFile = TempPath("flash.bin");
  std::unique_ptr<vboard::TServer> Server;
  std::thread Thread;
  int Port = -1;

  void Start() {
    std::remove(FlashFile.c_str());
    ASSERT_TRUE(Trace.Open(TraceFile));
    Server = std::make_unique<vboard::TServer>(Opt, Flash, &Trace, FlashFile);
    std::string err;
    Port = Server->Listen(0, err);
    ASSERT_GT(Port, 0) << err;
    Thread = std::thread([this] { Server->Run(); });
  }
  void Stop() {
    if (Thread.joinable()) {
      Server->Stop();
      Thread.join();
    }
  }
  ~TBoardServer() { Stop(); }
  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(Port); }
  // The "pkt" fields of the trace lines of one event, in order.
  std::vector<std::string> TracedPackets(const std::string& Event) const {
    std::istringstream trace(ReadText(TraceFile));
    std::vector<std::string> out;
    for (std::string line; std::getline(trace, line);)
      if (line.find("\"ev\":\"" + Event + "\"") != std::string::npos) {
        size_t p = line.find("\"pkt\":\"") + 7;
        out.push_back(line.substr(p, line.find('"', p) - p));
      }
    return out;
  }
};

} // namespace vbtest
