// ASCII character rules that never follow the process locale (the window toolkit sets it): only
// the 26 Latin letters have case, only '0'-'9' are digits, and bytes from 0x80 up are neither.
// For text the program compares or shows, in place of <cctype>.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace emberdale::core {

constexpr bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

constexpr bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr bool IsAsciiHexDigit(char c) {
  return IsAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// 'A'-'Z' as 'a'-'z'; every other byte unchanged.
constexpr char ToLowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text with 'A'-'Z' lowered; every other byte unchanged.
inline std::string ToLowerAscii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = ToLowerAscii(c);
  return lowered;
}

// Whether both texts have the same bytes once 'A'-'Z' are lowered.
constexpr bool EqualsIgnoringAsciiCase(std::string_view text, std::string_view other) {
  return std::ranges::equal(text, other,
                            [](char a, char b) { return ToLowerAscii(a) == ToLowerAscii(b); });
}

}  // namespace emberdale::core
