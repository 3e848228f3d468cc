#pragma once
// Natural order: digit runs inside texts compare as numbers, so COM2 comes before COM10.
// Texts are UTF-16; positions past either end read as the character 0.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// -1 when a comes first, 1 when b comes first, 0 when equal in natural order.
int NatCompare(std::u16string_view a, std::u16string_view b, bool CaseSensitive);

// Sort callback over a list: NatCompare(List[Index1], List[Index2]), case-insensitive.
int NatSortCompare(const std::vector<std::u16string>& List, size_t Index1, size_t Index2);

// Steps of NatCompare on two digit runs; x and y run from the current digit to the end.
int CompareRight(std::u16string_view x, std::u16string_view y); // by run length
int CompareLeft(std::u16string_view x, std::u16string_view y);  // digit by digit from the left

// The upper-case form of one UTF-16 unit, or the unit itself when it has none.
char16_t NatUpCase(char16_t c);
