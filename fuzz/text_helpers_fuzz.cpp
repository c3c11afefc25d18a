// Trims arbitrary text and takes the last lines of it as a file (the first byte picks how many).
// A crash, a sanitizer report, or a result other than the helpers' rules give is a finding.
#include <cstdint>
#include <fstream>
#include <ranges>
#include <vector>

#include "app/path_helpers.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kBlank = " \t\n\r";
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string trimmed = Trim(text);  // text == blanks + trimmed + blanks
  const std::size_t at = std::min(text.size(), text.find_first_not_of(kBlank));
  Check(text.substr(at).starts_with(trimmed) &&
        text.substr(at + trimmed.size()).find_first_not_of(kBlank) == std::string_view::npos);
  Check(trimmed.empty() ? at == text.size() : !kBlank.contains(trimmed.back()));
  const unsigned count = size == 0 ? 0 : data[0] % 8;
  std::vector<std::string> lines;  // the last `count` non-empty trimmed lines, at most 200 bytes
  for (const auto line : text | std::views::split('\n'))
    lines.push_back(Trim(std::string_view(line)));
  std::erase(lines, "");
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - count);
  std::string joined;
  for (const std::string& line : lines) joined += (joined.empty() ? "" : " | ") + line;
  if (joined.size() > 200) joined.erase(0, joined.size() - 200);
  std::ofstream(kScratch.root / "text", std::ios::binary | std::ios::trunc) << text;
  Check(LastLines(kScratch.root / "text", count) == joined);
  return 0;
}
