#include "VbStubCore.h"

#include "stub_core.h"

#include "VbStubCore.inc"

std::unique_ptr<vboard::IStubCore> vboard::MakeStandardCore() {
  return std::make_unique<TCore>();
}
