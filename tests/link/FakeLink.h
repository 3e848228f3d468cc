#pragma once
// Test doubles for the serial link: a scripted backend that records every call, and a
// lamp that records the LED.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/ComBackend.h"
#include "link/uComIo.h"

struct TFakeLine {
  std::vector<std::string> Ops;                             // every backend call, in order
  std::vector<std::chrono::steady_clock::time_point> Times; // when each of Ops was made
  std::map<std::string, int> Fail;                          // call name -> OS code it fails with
  std::deque<uint8_t> Rx;                                   // bytes the next reads return
  std::vector<uint8_t> Tx;                                  // bytes written
};

class TFakeBackend final : public IComBackend {
public:
  explicit TFakeBackend(std::shared_ptr<TFakeLine> Line) : L(std::move(Line)) {}
  void Open(const std::string& Device) override { Do("open", "open " + Device); }
  void Close() noexcept override {
    L->Ops.push_back("close");
    L->Times.push_back(std::chrono::steady_clock::now());
  }
  void SetupBuffers(uint32_t In, uint32_t Out) override {
    Do("buffers", "buffers " + std::to_string(In) + "/" + std::to_string(Out));
  }
  void ApplyLine(uint32_t Baud) override { Do("line", "line " + std::to_string(Baud)); }
  void ApplyTimeouts(const TComTimeouts& T) override {
    Do("timeouts",
       "timeouts " + std::to_string(T.ReadInterval) + "/" + std::to_string(T.ReadTotalMultiplier) +
           "/" + std::to_string(T.ReadTotalConstant) + "/" +
           std::to_string(T.WriteTotalMultiplier) + "/" + std::to_string(T.WriteTotalConstant));
  }
  int32_t Read(uint8_t* Buffer, int32_t Count) override {
    Do("read", "read " + std::to_string(Count));
    int32_t n = 0;
    while (n < Count && !L->Rx.empty()) {
      Buffer[n++] = L->Rx.front();
      L->Rx.pop_front();
    }
    return n;
  }
  int32_t Write(const uint8_t* Buffer, int32_t Count) override {
    Do("write", "write " + std::to_string(Count));
    L->Tx.insert(L->Tx.end(), Buffer, Buffer + Count);
    return Count;
  }
  void Purge(bool In, bool Out) override {
    Do("purge", std::string("purge ") + (In ? "1" : "0") + (Out ? "1" : "0"));
  }
  void SetDTR(bool On) override { Do("dtr", std::string("dtr ") + (On ? "1" : "0")); }
  void SetRTS(bool On) override { Do("rts", std::string("rts ") + (On ? "1" : "0")); }

private:
  void Do(const std::string& Name, const std::string& Op) {
    L->Ops.push_back(Op);
    L->Times.push_back(std::chrono::steady_clock::now());
    if (auto it = L->Fail.find(Name); it != L->Fail.end()) throw EComBackend(it->second);
  }
  std::shared_ptr<TFakeLine> L;
};

inline TComPort::BackendFactory FakeFactory(std::shared_ptr<TFakeLine> Line) {
  return [Line](const std::string&) { return std::make_unique<TFakeBackend>(Line); };
}

// The connection lamp, recording every change.
class TFakeLamp : public IPortLamp {
public:
  std::vector<bool> LedHistory;
  void SetLed(bool On) override { LedHistory.push_back(On); }
};

// Runs Op, which must raise EComPort, and returns the error (Code 0 when none came).
template <class Fn> EComPort RaisedBy(Fn&& Op, const std::string& What = {}) {
  try {
    Op();
  } catch (const EComPort& e) {
    return e;
  }
  ADD_FAILURE() << "no EComPort raised " << What;
  return EComPort(0, -1);
}
