// Two arbitrary UTF-16 texts: the natural order must never crash or read out of bounds,
// and must be antisymmetric.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "support/StrNatComp.h"

namespace {
std::u16string Text(FuzzedDataProvider& In) {
  std::u16string s;
  const size_t Len = In.ConsumeIntegralInRange<size_t>(0, 64);
  for (size_t i = 0; i < Len && In.remaining_bytes() > 0; ++i)
    s += static_cast<char16_t>(In.ConsumeIntegral<uint16_t>());
  return s;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  const bool Sensitive = In.ConsumeBool();
  const std::u16string a = Text(In), b = Text(In);
  const int ab = NatCompare(a, b, Sensitive), ba = NatCompare(b, a, Sensitive);
  if (ab < -1 || ab > 1 || ab != -ba) std::abort();
  if (NatCompare(a, a, Sensitive) != 0) std::abort();
  return 0;
}
