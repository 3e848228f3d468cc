// The fast stub's core: this unit sees stub_core.h with STUB_FAST set, so `stub` and the
// core's entry points are the fast build's (stub_fast, stub_fast_init, ...).
#define STUB_FAST 1
#include "VbStubCore.h"

#include "stub_core.h"

#include "VbStubCore.inc"

std::unique_ptr<vboard::IStubCore> vboard::MakeFastCore() {
  return std::make_unique<TCore>();
}
