// Reads arbitrary bytes as the install pointer file. A crash, a sanitizer report, or an answer
// other than the file's first line without trailing carriage returns, spaces and slashes (none
// unless that is an absolute path without NUL bytes) is a finding.
#include <cstdint>
#include <fstream>
#include <optional>

#include "fuzz/fuzz_support.h"
#include "posix/install_pointer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto pointer = kScratch.root / "pointer";
  std::ofstream(pointer, std::ios::binary | std::ios::trunc) << text;
  std::string_view line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '/')) {
    line.remove_suffix(1);
  }
  std::optional<std::string> expected;
  if (line.starts_with('/') && !line.contains('\0')) expected = std::string(line);
  Check(emberdale::posix::ReadInstallPointer(pointer) == expected);
  return 0;
}
