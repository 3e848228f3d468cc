// Arbitrary formats against a fixed mix of arguments: the formatter may refuse a format,
// but it must never crash or read out of bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

#include "support/uFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  const int32_t n1 = In.ConsumeIntegral<int32_t>();
  const int64_t n2 = In.ConsumeIntegral<int64_t>();
  const std::string s1 = In.ConsumeRandomLengthString(64);
  const std::string Form = In.ConsumeRemainingBytesAsString();
  try {
    (void)Format(Form, {n1, s1, static_cast<long long>(n2), "text"});
  } catch (const EConvertError&) {
  }
  return 0;
}
