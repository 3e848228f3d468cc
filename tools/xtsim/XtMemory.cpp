#include "XtMemory.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace xtsim {

std::string Hex32(uint32_t V) {
  char B[16];
  std::snprintf(B, sizeof B, "0x%08x", unsigned(V));
  return B;
}

void TStorage::Invalidate(uint32_t Offset, uint32_t Len) {
  if (!Decoded) return;
  // An instruction is at most 3 bytes long: one starting up to 2 bytes before the range
  // may cover it.
  const uint32_t From = Offset >= 2 ? Offset - 2 : 0;
  const uint32_t To = std::min<uint64_t>(uint64_t(Offset) + Len, Size());
  for (uint32_t i = From; i < To; ++i)
    Decoded[i].Len = 0;
}

TInsn* TStorage::Code() {
  if (!Decoded) Decoded = std::make_unique<TInsn[]>(Bytes.size());
  return Decoded.get();
}

TMemory::TMemory() = default;

void TMemory::Add(std::unique_ptr<TRegion> R) {
  if (R->Size == 0) throw std::invalid_argument("region " + R->Name + " is empty");
  if (uint64_t(R->Base) + R->Size > (1ull << 32))
    throw std::invalid_argument("region " + R->Name + " wraps the address space");
  if (R->Store && uint64_t(R->StoreOffset) + R->Size > R->Store->Size())
    throw std::invalid_argument("region " + R->Name + " leaves its storage");
  if (R->Reversed && ((R->Size | R->StoreOffset) & 3u))
    throw std::invalid_argument("region " + R->Name + " reversed but not in whole words");
  if (R->Reversed && (R->Allow & AllowFetch))
    throw std::invalid_argument("region " + R->Name + " fetches in reversed word order");
  for (const auto& O : List) {
    // Decoded code is kept per storage byte, with its branch targets: one address only.
    if (R->Store && O->Store == R->Store && (R->Allow & O->Allow & AllowFetch))
      throw std::invalid_argument("region " + R->Name + " fetches storage " + O->Name +
                                  " fetches too");
    if (R->Base < O->Base + uint64_t(O->Size) && O->Base < R->Base + uint64_t(R->Size))
      throw std::invalid_argument("region " + R->Name + " overlaps " + O->Name);
  }
  auto At =
      std::upper_bound(List.begin(), List.end(), R->Base,
                       [](uint32_t B, const std::unique_ptr<TRegion>& X) { return B < X->Base; });
  List.insert(At, std::move(R));
  ++Gen;
}

std::shared_ptr<TStorage> TMemory::AddRam(const std::string& Name, uint32_t Base, uint32_t Size,
                                          uint8_t Allow, bool WordOnly, uint8_t Fill) {
  auto S = std::make_shared<TStorage>(Size, Fill);
  AddAlias(Name, Base, Size, Allow, WordOnly, S, 0, false);
  return S;
}

void TMemory::AddAlias(const std::string& Name, uint32_t Base, uint32_t Size, uint8_t Allow,
                       bool WordOnly, std::shared_ptr<TStorage> Store, uint32_t StoreOffset,
                       bool Reversed) {
  if (!Store) throw std::invalid_argument("region " + Name + " has no storage");
  auto R = std::make_unique<TRegion>();
  R->Name = Name;
  R->Base = Base;
  R->Size = Size;
  R->Allow = Allow;
  R->WordOnly = WordOnly;
  R->Reversed = Reversed;
  R->Store = std::move(Store);
  R->StoreOffset = StoreOffset;
  Add(std::move(R));
}

void TMemory::AddMmio(const std::string& Name, uint32_t Base, uint32_t Size, uint8_t Allow,
                      TMmioHook Hook, uint32_t WaitCycles) {
  if (!Hook) throw std::invalid_argument("region " + Name + " has no hook");
  if (Allow & AllowFetch) throw std::invalid_argument("region " + Name + ": no fetch from MMIO");
  auto R = std::make_unique<TRegion>();
  R->Name = Name;
  R->Base = Base;
  R->Size = Size;
  R->Allow = Allow;
  R->Hook = std::move(Hook);
  R->WaitCycles = WaitCycles;
  Add(std::move(R));
}

void TMemory::SetNoFetch(uint32_t Base, std::string Why) {
  for (auto& R : List)
    if (R->Base == Base) R->NoFetch = std::move(Why);
}

const TRegion* TMemory::Find(uint32_t A) const {
  auto At =
      std::upper_bound(List.begin(), List.end(), A,
                       [](uint32_t B, const std::unique_ptr<TRegion>& X) { return B < X->Base; });
  if (At == List.begin()) return nullptr;
  const TRegion* R = std::prev(At)->get();
  return R->Contains(A) ? R : nullptr;
}

bool TMemory::Write(uint32_t Addr, const void* Data, uint32_t Len) {
  const uint8_t* P = static_cast<const uint8_t*>(Data);
  for (uint32_t i = 0; i < Len; ++i) {
    const TRegion* R = Find(Addr + i);
    if (!R || !R->Store) return false;
  }
  for (uint32_t i = 0; i < Len; ++i) {
    const TRegion* R = Find(Addr + i);
    const uint32_t Off = R->OffsetOf(Addr + i);
    R->Store->Data()[Off] = P[i];
    R->Store->Invalidate(Off, 1);
  }
  return true;
}

bool TMemory::Read(uint32_t Addr, void* Data, uint32_t Len) const {
  uint8_t* P = static_cast<uint8_t*>(Data);
  for (uint32_t i = 0; i < Len; ++i) {
    const TRegion* R = Find(Addr + i);
    if (!R || !R->Store) return false;
    P[i] = R->Store->Data()[R->OffsetOf(Addr + i)];
  }
  return true;
}

} // namespace xtsim
