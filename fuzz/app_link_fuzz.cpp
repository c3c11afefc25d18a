// Checks arbitrary text against the app-link rule, and the arguments split from it at line feeds
// for the first app link. A crash, a sanitizer report or an answer that breaks the rule is a
// finding.
#include <algorithm>
#include <cstdint>
#include <ranges>
#include <string>
#include <string_view>
#include <vector>

#include "core/app_link.h"
#include "fuzz/fuzz_support.h"

namespace {
// The rule, written out independently: 13 to 4096 bytes, "emberdale://" in any ASCII case, and
// no control characters.
bool FollowsRule(std::string_view text) {
  constexpr std::string_view kScheme = "emberdale://";
  if (text.size() < 13 || text.size() > 4096) return false;
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (!std::ranges::equal(text.substr(0, kScheme.size()), kScheme, {}, fold)) return false;
  return std::ranges::none_of(text, [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace emberdale::core;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Check(IsAppLink(text) == FollowsRule(text));
  std::vector<std::string> args;
  for (const auto part : text | std::views::split('\n')) {
    args.emplace_back(std::string_view(part));
  }
  const auto first = std::ranges::find_if(args, FollowsRule);
  const auto found = FindAppLink(args);
  Check(first == args.end() ? !found : found == *first);
  return 0;
}
