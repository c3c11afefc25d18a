#include "core/manifest.h"

#include <cstddef>
#include <format>
#include <nlohmann/json.hpp>

#include "core/ascii.h"
#include "core/deployment.h"
#include "core/guarded_json.h"

namespace emberdale::core {
namespace {

constexpr std::string_view kHttpsScheme = "https://";
constexpr std::size_t kSha256HexDigits = 64;

// Skips one run of digits from `pos`; false when there is none.
bool SkipDigits(std::string_view s, std::size_t& pos) {
  const std::size_t start = pos;
  while (pos < s.size() && IsAsciiDigit(s[pos])) ++pos;
  return pos > start;
}

std::uint64_t ParseSize(const nlohmann::json& object) {
  const auto it = object.find("size");
  if (it == object.end() || !it->is_number_unsigned()) return 0;
  const auto size = it->get<std::uint64_t>();
  return size <= kMaxPackageSize ? size : 0;
}

UpdateInfo ParseUpdateInfo(const nlohmann::json& value) {
  UpdateInfo info;
  info.present = true;
  if (!value.is_object()) return info;
  info.version = OptString(value, "version");
  info.url = OptString(value, "url");
  info.vendorUrl = OptString(value, "vendorUrl");
  info.sha256 = OptString(value, "sha256");
  info.size = ParseSize(value);
  return info;
}

}  // namespace

std::string_view CurrentManifestOsKey() {
  return "mac";
}

std::expected<LauncherManifest, std::string> ParseLauncherManifest(std::string_view text,
                                                                   std::string_view osKey) {
  auto root = ParseJson(text);
  if (!root) return std::unexpected(std::move(root.error()));
  if (!root->is_object()) return std::unexpected("manifest is not a JSON object");
  const auto os = root->find(osKey);
  if (os == root->end() || !os->is_object()) {
    return std::unexpected(std::format("manifest has no \"{}\" object", osKey));
  }

  LauncherManifest manifest;
  if (const auto it = os->find("launcher"); it != os->end())
    manifest.launcher = ParseUpdateInfo(*it);
  if (const auto it = os->find("jre"); it != os->end()) manifest.jre = ParseUpdateInfo(*it);
  if (const auto it = os->find("updater"); it != os->end()) manifest.updater = ParseUpdateInfo(*it);

  if (!IsValidComponent(manifest.launcher)) {
    return std::unexpected("launcher entry is missing or invalid");
  }
  if (manifest.jre.present && !IsValidComponent(manifest.jre)) {
    return std::unexpected("jre entry is invalid");
  }
  if (manifest.updater.present && !IsValidComponent(manifest.updater)) {
    return std::unexpected("updater entry is invalid");
  }
  return manifest;
}

bool IsValidComponent(const UpdateInfo& info) {
  return info.present && IsStrictSemver(info.version) && IsHttpsUrlOnHost(info.url, kCdnHost) &&
         (info.vendorUrl.empty() || IsHttpsUrlOnHost(info.vendorUrl, kSourceHost) ||
          IsHttpsUrlOnHost(info.vendorUrl, kRuntimeVendorHost)) &&
         IsSha256Hex(info.sha256) && info.size != 0;
}

bool IsStrictSemver(std::string_view s) {
  std::size_t pos = 0;
  if (!SkipDigits(s, pos) || pos >= s.size() || s[pos++] != '.') return false;
  if (!SkipDigits(s, pos) || pos >= s.size() || s[pos++] != '.') return false;
  return pos < s.size() && IsAsciiDigit(s[pos]);
}

bool IsSha256Hex(std::string_view s) {
  if (s.size() != kSha256HexDigits) return false;
  for (const char c : s) {
    if (!IsAsciiHexDigit(c)) return false;
  }
  return true;
}

bool IsHttpsUrlOnHost(std::string_view url, std::string_view host) {
  if (!url.starts_with(kHttpsScheme)) return false;
  const std::string_view rest = url.substr(kHttpsScheme.size());
  if (!rest.starts_with(host)) return false;
  return rest.size() == host.size() || rest[host.size()] == '/';
}

}  // namespace emberdale::core
