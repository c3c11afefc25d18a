// The launcher manifest: the per-OS JSON document naming the current launcher, Java runtime and
// updater packages. The parser is strict: an accepted entry has a semantic version, a package
// URL on the CDN host, an optional vendor URL on a known vendor host, a SHA-256 and a size.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "core/model.h"

namespace emberdale::core {

// The largest package size an entry may declare: 10 GiB.
inline constexpr std::uint64_t kMaxPackageSize = 10ull * 1024 * 1024 * 1024;

// The key of this operating system's entries in the manifest: "mac".
[[nodiscard]] std::string_view CurrentManifestOsKey();

// Parses and validates the manifest text, taking the entries under `osKey`. The launcher entry
// is required; "jre" and "updater" are optional but must be valid when present. Returns the
// first error found as an English message; never throws.
[[nodiscard]] std::expected<LauncherManifest, std::string> ParseLauncherManifest(
    std::string_view text, std::string_view osKey);

// True when the entry is present and every rule below holds for it: strict semver version, url
// on the CDN host, vendorUrl empty or on a vendor host, 64-digit SHA-256, non-zero size.
[[nodiscard]] bool IsValidComponent(const UpdateInfo& info);

// True when `s` begins with digits, '.', digits, '.', a digit ("1.2.3", "1.2.3-rc1").
[[nodiscard]] bool IsStrictSemver(std::string_view s);

// True when `s` is exactly 64 hexadecimal digits, either case.
[[nodiscard]] bool IsSha256Hex(std::string_view s);

// True when `url` is "https://" followed by exactly `host` and then the end or a '/'.
[[nodiscard]] bool IsHttpsUrlOnHost(std::string_view url, std::string_view host);

}  // namespace emberdale::core
