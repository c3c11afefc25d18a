#include "core/local_versions.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "core/guarded_json.h"
#include "core/logging.h"
#include "core/output_file.h"
#include "core/paths.h"

namespace emberdale::core {
namespace {

constexpr int kIndent = 2;
constexpr std::size_t kReadChunkBytes = 16 * 1024;

ComponentVersion ParseComponent(const nlohmann::json& root, const char* key) {
  const auto it = root.find(key);
  if (it == root.end() || !it->is_object()) return {};
  return {.version = OptString(*it, "version"), .sha256 = OptString(*it, "sha256")};
}

nlohmann::json ComponentJson(const ComponentVersion& component) {
  nlohmann::json object = nlohmann::json::object();
  object["sha256"] = component.sha256;
  object["version"] = component.version;
  return object;
}

// The whole file, or nothing when it cannot be read or holds more than kMaxVersionsFileBytes
// (recognised by reading at most one chunk past the limit).
std::optional<std::string> ReadBounded(const std::filesystem::path& path) {
  std::ifstream in(ExtendedLengthPath(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char buffer[kReadChunkBytes];
  while (text.size() <= kMaxVersionsFileBytes && in.read(buffer, sizeof buffer).gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad() || text.size() > kMaxVersionsFileBytes) return std::nullopt;
  return text;
}

// Writes a fresh file and waits until its content is on the disk, so that the rename that follows
// never puts an empty file in place of the old one after a power loss.
bool WriteFileDurably(const std::filesystem::path& path, std::string_view content) {
  OutputFile out;
  return out.Create(ExtendedLengthPath(path)) && out.Write(content) && out.Sync() && out.Close();
}

}  // namespace

std::filesystem::path VersionsFile(const std::filesystem::path& root) {
  return root / "config" / "versions.json";
}

LocalVersions ParseLocalVersions(std::string_view text) {
  LocalVersions versions;
  const auto root = ParseJson(text);
  if (!root || !root->is_object()) return versions;
  versions.launcher = ParseComponent(*root, "launcher");
  versions.jre = ParseComponent(*root, "jre");
  versions.updater_archive_sha256 = OptString(*root, "updater_archive_sha256");
  return versions;
}

std::string SerializeLocalVersions(const LocalVersions& versions) {
  nlohmann::json root = nlohmann::json::object();
  root["launcher"] = ComponentJson(versions.launcher);
  root["jre"] = ComponentJson(versions.jre);
  root["updater_archive_sha256"] = versions.updater_archive_sha256;
  // Values can carry bytes from outside (a digest read from a file); replacing invalid UTF-8
  // keeps the rest of the record savable instead of throwing.
  return root.dump(kIndent, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

LocalVersions ReadLocalVersions(const std::filesystem::path& root) {
  const auto text = ReadBounded(VersionsFile(root));
  if (!text) return {};
  return ParseLocalVersions(*text);
}

bool SaveLocalVersions(const std::filesystem::path& root, const LocalVersions& versions) {
  const std::filesystem::path path = VersionsFile(root);
  std::filesystem::path tmp = path;
  tmp += ".tmp";

  std::error_code ignored;
  std::filesystem::create_directories(ExtendedLengthPath(path.parent_path()), ignored);

  if (!WriteFileDurably(tmp, SerializeLocalVersions(versions) + "\n")) {
    logging::Error("Can't write {}", PathToUtf8(tmp));
    return false;
  }
  std::error_code error;
  std::filesystem::rename(ExtendedLengthPath(tmp), ExtendedLengthPath(path), error);
  if (error) {
    logging::Error("Can't replace {}: {}", PathToUtf8(path), error.message());
    return false;
  }
  (void)SyncDirectory(ExtendedLengthPath(path.parent_path()));  // the rename itself is durable
  return true;
}

}  // namespace emberdale::core
