#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "uFormat.h"

// Whatever shows the log (the debug window) hears of every change through this.
class IDebugView {
public:
  virtual ~IDebugView() = default;
  virtual void LineAdded(const std::string& Line) = 0;
  virtual void Cleared() = 0;
};

// The append-only debug log. Qt-free, so the core writes to it directly; the
// debug window only shows what it holds.
class TDebugLog {
public:
  void F(std::string_view Form, std::initializer_list<TFmtArg> Args);
  void C();
  void S(const std::string& s1);
  void D(int32_t n);
  void H(int32_t n);
  void B(bool b);
  void L(char c);
  void TH(const std::string& txt, int32_t n);
  void DUMP(const uint8_t* arr, size_t len, int32_t anz);
  void BUFF(const void* buf, int32_t anz);

  const std::vector<std::string>& Lines() const { return FLines; }
  void SetView(IDebugView* View) { FView = View; }

private:
  void Add(std::string Line);
  std::vector<std::string> FLines;
  IDebugView* FView = nullptr;
};
