// Feeds arbitrary bytes to the launcher-manifest parser. A crash, a sanitizer report, an escaping
// exception or an accepted manifest that breaks the entry rules is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace emberdale::core;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto manifest = ParseLauncherManifest(text, CurrentManifestOsKey());
  if (manifest) {
    const bool consistent = IsValidComponent(manifest->launcher) &&
                            (!manifest->jre.present || IsValidComponent(manifest->jre)) &&
                            (!manifest->updater.present || IsValidComponent(manifest->updater));
    if (!consistent) std::abort();
  } else if (manifest.error().empty()) {
    std::abort();
  }
  return 0;
}
