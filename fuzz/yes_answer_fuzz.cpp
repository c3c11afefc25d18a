// Checks arbitrary text as the answer to a console yes/no question. A crash, a sanitizer report,
// or an answer taken as yes that is not one of the accepted forms (or the reverse) is a finding.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "core/ui_text.h"
#include "fuzz/fuzz_support.h"

namespace {
// Every accepted form once spaces and tabs around it and carriage returns after it are removed.
constexpr std::string_view kYes[] = {"",    "y",   "Y", "yes", "yeS", "yEs", "yES", "Yes", "YeS",
                                     "YEs", "YES", "д", "Д",   "да",  "дА",  "Да",  "ДА"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  text.remove_prefix(std::min(text.size(), text.find_first_not_of(" \t")));
  text = text.substr(0, text.find_last_not_of(" \t\r") + 1);  // npos + 1 == 0
  Check(emberdale::core::IsYesAnswer({reinterpret_cast<const char*>(data), size}) ==
        std::ranges::contains(kYes, text));
  return 0;
}
