// Feeds arbitrary bytes to the launcher-manifest parser. A crash, a sanitizer report, an escaping
// exception or an accepted manifest that breaks the entry rules is a finding.
#include <cstdint>
#include <string_view>

#include "core/manifest.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace emberdale::core;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto manifest = ParseLauncherManifest(text, CurrentManifestOsKey());
  if (manifest) {
    Check(IsValidComponent(manifest->launcher) &&
          (!manifest->jre.present || IsValidComponent(manifest->jre)) &&
          (!manifest->updater.present || IsValidComponent(manifest->updater)));
  } else {
    Check(!manifest.error().empty());
  }
  return 0;
}
