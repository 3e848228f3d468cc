// The Windows port list read from the real registry key HARDWARE\DEVICEMAP\SERIALCOMM
// (under wine: the ports wine knows). QUORVEX_TEST_SERIALCOMM carries the port names the
// registry holds as `reg query` lists them (comma-separated; "-" when the key is absent,
// as on a machine without serial ports), so the test compares with an independent
// reading; scripts/test-windows.sh sets it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "link/uPortList.h"

namespace {

using Names = std::vector<std::string>;

const wchar_t SerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

Names Sorted(Names N) {
  std::sort(N.begin(), N.end());
  return N;
}

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Values of the test's own in the key, removed again at the end. Wine lets a test write
// there; Windows only with administrator rights.
struct TExtraPorts {
  HKEY Key = nullptr;
  std::vector<std::wstring> Added;
  TExtraPorts() {
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, &Key, nullptr) != ERROR_SUCCESS)
      Key = nullptr;
  }
  bool Add(const std::wstring& Name, const std::wstring& Port) {
    if (!Key) return false;
    Added.push_back(Name);
    return RegSetValueExW(Key, Name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(Port.c_str()),
                          static_cast<DWORD>((Port.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  ~TExtraPorts() {
    if (!Key) return;
    for (const std::wstring& N : Added)
      RegDeleteValueW(Key, N.c_str());
    RegCloseKey(Key);
  }
};

TEST(SerialComm, ListsWhatTheRegistryHolds) {
  const char* Env = std::getenv("QUORVEX_TEST_SERIALCOMM");
  ASSERT_NE(Env, nullptr) << "QUORVEX_TEST_SERIALCOMM is not set (see scripts/test-windows.sh)";
  Names Got = {"left over"};
  if (std::string(Env) == "-") {
    EXPECT_FALSE(SystemPortNames(Got));
    EXPECT_EQ(Got, Names{"left over"}) << "an unreadable key leaves the list as it was";
    return;
  }
  Names Want;
  std::stringstream In(Env);
  for (std::string Item; std::getline(In, Item, ',');)
    if (!Item.empty()) Want.push_back(Item);

  ASSERT_TRUE(SystemPortNames(Got));
  EXPECT_EQ(Sorted(Got), Sorted(Want));
  for (size_t i = 1; i < Got.size(); ++i)
    EXPECT_LE(Lower(Got[i - 1]), Lower(Got[i])) << "not in ascending order, case ignored";
}

TEST(SerialComm, AddedPortsAppearInOrder) {
  TExtraPorts Extra; // makes the key when the machine has none
  Names Before;
  ASSERT_TRUE(!Extra.Key || SystemPortNames(Before));
  if (!Extra.Add(L"\\Device\\QuorvexTest1", L"COM10") ||
      !Extra.Add(L"\\Device\\QuorvexTest2", L"com2"))
    GTEST_SKIP() << "the registry key cannot be written here";
  Names Got;
  ASSERT_TRUE(SystemPortNames(Got));
  Names Want = Before;
  Want.push_back("COM10");
  Want.push_back("com2");
  EXPECT_EQ(Sorted(Got), Sorted(Want));
  // Ascending with letter case ignored (the natural order is the drop-down's own step).
  const auto At = [&](const char* Name) { return std::find(Got.begin(), Got.end(), Name); };
  EXPECT_LT(At("COM10"), At("com2"));
  for (size_t i = 1; i < Got.size(); ++i)
    EXPECT_LE(Lower(Got[i - 1]), Lower(Got[i]));
}

} // namespace
