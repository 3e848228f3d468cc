#pragma once
// The two builds of firmware/stub's core behind one interface: the standard stub and
// the fast stub (stub_core.c built with STUB_FAST=1, whose entry points carry their own
// names), each in a unit of its own so that each sees its own struct stub.
#include <memory>

namespace vboard {

class IStubCore {
public:
  virtual ~IStubCore() = default;
  // The core's functions, to be called with the hardware seam bound to the thread.
  virtual void Init() = 0;
  virtual void Greet() = 0;
  virtual int Service() = 0;
};

std::unique_ptr<IStubCore> MakeStandardCore();
std::unique_ptr<IStubCore> MakeFastCore();

} // namespace vboard
