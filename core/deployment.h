// Deployment values fixed at build time (CMake cache variables of the same names).
#pragma once

#include <string_view>

namespace emberdale::core {

// The product CDN: the only host allowed in a manifest entry's url, and the manifest's host.
inline constexpr std::string_view kCdnHost = EMBERDALE_CDN_HOST;
// The two hosts allowed in a manifest entry's vendorUrl.
inline constexpr std::string_view kSourceHost = EMBERDALE_SOURCE_HOST;
inline constexpr std::string_view kRuntimeVendorHost = EMBERDALE_RUNTIME_VENDOR_HOST;

// The updater's own version, shown in the log header, user agent and confirmations.
inline constexpr std::string_view kUpdaterVersion = "1.0.0";

}  // namespace emberdale::core
