#pragma once
// One board on a virtual clock, driven as a client would: the connect sequence on the
// lines, bytes written, time let pass; what reached the host side collected.
#include <memory>
#include <string>

#include "VbBoard.h"
#include "VbTestUtil.h"

namespace vbtest {

using vboard::TBoard;
using vboard::TBoardOptions;
using vboard::TFlash;

constexpr int64_t Ms = 1000000;

struct TBoardFixture {
  TBoardOptions Opt;
  TFlash Flash;
  vboard::TTrace* Trace = nullptr;
  std::unique_ptr<TBoard> Board;
  int64_t Now = 0;
  TBytes Out;

  void Start() {
    Board = std::make_unique<TBoard>(Opt, Flash, Trace, 0);
    Board->OnOutput = [this](const uint8_t* p, size_t n) { Out.insert(Out.end(), p, p + n); };
    Board->Connect(Now);
    Wait(50); // power-on boot into the application and its boot text
    Out.clear();
  }
  void Wait(int64_t ms) {
    Now += ms * Ms;
    Board->Advance(Now);
  }
  // The connect sequence: each group of three line writes goes out back to back,
  // unless a client pauses GapMs after each write.
  void Connect(int64_t LowMs, int64_t HighMs, int64_t GapMs = 0) {
    auto dtr = [&](bool v) { Board->SetDtr(Now, v), Wait(GapMs); };
    auto rts = [&](bool v) { Board->SetRts(Now, v), Wait(GapMs); };
    dtr(false), rts(true), dtr(false);
    Wait(LowMs);
    dtr(true), rts(false), dtr(true);
    Wait(HighMs);
    dtr(false);
    Wait(20);
  }
  std::string Text() const { return std::string(Out.begin(), Out.end()); }
  void Write(const TBytes& b) { Board->HostWrite(Now, b.data(), b.size()); }
};

} // namespace vbtest
