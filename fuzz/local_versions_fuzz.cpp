// Two round trips through the versions file format, neither of which may crash or throw:
// 1. arbitrary text -> ParseLocalVersions -> SerializeLocalVersions -> parse again must give the
//    same record and the same text;
// 2. arbitrary bytes split at '\x1f' into the five values (as a record built from outside data
//    would be) -> SerializeLocalVersions must give a document that reads back and serialises
//    identically.
#include <array>
#include <cstdint>
#include <tuple>

#include "core/guarded_json.h"
#include "core/local_versions.h"
#include "fuzz/fuzz_support.h"

using namespace emberdale::core;

namespace {
auto Values(LocalVersions& v) {
  return std::tie(v.launcher.version, v.launcher.sha256, v.jre.version, v.jre.sha256,
                  v.updater_archive_sha256);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  LocalVersions parsed = ParseLocalVersions(bytes);
  const std::string serialized = SerializeLocalVersions(parsed);
  LocalVersions reparsed = ParseLocalVersions(serialized);
  Check(Values(parsed) == Values(reparsed) && SerializeLocalVersions(reparsed) == serialized);

  std::array<std::string, 5> values;
  std::size_t index = 0;
  for (const char c : bytes) c == '\x1f' && index < 4 ? void(++index) : values[index].push_back(c);
  LocalVersions raw;
  Values(raw) = std::tuple_cat(values);
  const std::string document = SerializeLocalVersions(raw);
  const auto root = ParseJson(document);
  Check(root.has_value() && root->is_object() && root->size() == 3);
  Check(SerializeLocalVersions(ParseLocalVersions(document)) == document);
  return 0;
}
