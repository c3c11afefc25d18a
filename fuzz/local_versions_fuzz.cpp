// Two round trips through the versions file format, neither of which may crash or throw:
// 1. arbitrary text -> ParseLocalVersions -> SerializeLocalVersions -> parse again must give the
//    same record and the same text;
// 2. arbitrary bytes split into the five values (as a record built from outside data would be)
//    -> SerializeLocalVersions must give a document that reads back and serialises identically.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/guarded_json.h"
#include "core/local_versions.h"

namespace {

using emberdale::core::LocalVersions;

bool Same(const LocalVersions& a, const LocalVersions& b) {
  return a.launcher.version == b.launcher.version && a.launcher.sha256 == b.launcher.sha256 &&
         a.jre.version == b.jre.version && a.jre.sha256 == b.jre.sha256 &&
         a.updater_archive_sha256 == b.updater_archive_sha256;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void RoundTripText(std::string_view text) {
  using namespace emberdale::core;
  const LocalVersions parsed = ParseLocalVersions(text);
  const std::string serialized = SerializeLocalVersions(parsed);
  const LocalVersions reparsed = ParseLocalVersions(serialized);
  Check(Same(parsed, reparsed));
  Check(SerializeLocalVersions(reparsed) == serialized);
}

// Splits the bytes at '\x1f' into the five values, whatever their encoding.
LocalVersions SplitIntoValues(std::string_view bytes) {
  std::array<std::string, 5> values;
  std::size_t index = 0;
  for (const char c : bytes) {
    if (c == '\x1f' && index + 1 < values.size()) {
      ++index;
    } else {
      values[index] += c;
    }
  }
  LocalVersions versions;
  versions.launcher = {values[0], values[1]};
  versions.jre = {values[2], values[3]};
  versions.updater_archive_sha256 = values[4];
  return versions;
}

void RoundTripRawValues(std::string_view bytes) {
  using namespace emberdale::core;
  const std::string serialized = SerializeLocalVersions(SplitIntoValues(bytes));
  const auto root = ParseJson(serialized);
  Check(root.has_value() && root->is_object() && root->size() == 3);
  Check(SerializeLocalVersions(ParseLocalVersions(serialized)) == serialized);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  RoundTripText(bytes);
  RoundTripRawValues(bytes);
  return 0;
}
