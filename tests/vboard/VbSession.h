#pragma once
// The program's serial service, loader entry and loader session on a board of the
// test (over the RFC 2217 backend), for the tests that run the program's own units.
#include <chrono>
#include <string>
#include <thread>

#include "VbTestServer.h"
#include "link/uComIo.h"
#include "protocol/uComEsp.h"
#include "protocol/uEsp.h"

namespace vbtest {

class TView : public IEntryProgress {
public:
  void Attempt(int, bool) override {}
  void Try(int) override {}
  std::string Port;
  TEntrySettings Cfg;
};

// The program's serial service and loader session on a board, connected and
// identified at the connect rate.
struct TSession {
  TView view;
  TDebugLog debug;
  TComIo comIo;
  TEsp esp{comIo, debug};
  TComEsp comEsp{comIo, debug};

  explicit TSession(const std::string& Url) {
    view.Port = Url;
    comEsp.AttachEsp(&esp);
  }
  void ConnectAndIdentify() {
    ASSERT_TRUE(comEsp.DoConnect(view.Port, view.Cfg, view));
    comIo.ComFlush();
    uint32_t id = 0;
    esp.readReg(0x40001000, id);
    EXPECT_EQ(id, 0x00F01D83u);
  }
  void ResetAndLeave(TBoardServer& board) {
    comIo.DoReset();
    comIo.DisConnect();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the chip leaves reset 10 ms later
    board.Stop();
  }
};

} // namespace vbtest
