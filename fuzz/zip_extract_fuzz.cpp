// Extracts arbitrary bytes as a ZIP package (whole, without its top-level folder, or one file, as
// the input's size picks). A crash, a sanitizer report, anything beside the destination folder, a
// link, or more bytes written than the extraction limits allow is a finding.
#include <cstdint>
#include <fstream>

#include "core/zip_extract.h"
#include "fuzz/fuzz_support.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path archive = kScratch.root / "package.zip", out = kScratch.root / "out";
  const fs::path destination = out / "stage";
  std::ofstream(archive, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  emberdale::core::ZipExtractOptions options;
  options.stripTopLevelFolder = size % 3 == 1;
  if (size % 3 == 2) options.singleFile = "app.JAR";
  (void)emberdale::core::ExtractZip(archive, destination, options);
  std::uintmax_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kScratch.root)) {
    const fs::path& path = entry.path();
    Check(path == archive || path == out || path == destination ||
          path.native().starts_with(destination.native() + "/"));
    Check(!entry.is_symlink());
    if (!entry.is_regular_file() || path == archive) continue;
    Check(entry.file_size() <= 500ull << 20);  // the limits ExtractZip promises: per entry,
    total += entry.file_size();
  }
  Check(total <= 3072ull << 20);  // and in all
  fs::remove_all(out);
  return 0;
}
