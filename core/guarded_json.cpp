#include "core/guarded_json.h"

#include <cstddef>
#include <format>

namespace emberdale::core {
namespace {

// One pass over the bytes, tracking JSON strings, that refuses the first opening bracket met
// while kMaxJsonNesting brackets are open. Runs before the parser allocates anything.
bool NestedTooDeeply(std::string_view text) {
  std::ptrdiff_t open = 0;  // signed: a stray closer counts below zero
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (open >= kMaxJsonNesting) return true;
        ++open;
        break;
      case ']':
      case '}':
        --open;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

std::expected<nlohmann::json, std::string> ParseJson(std::string_view text) {
  if (text.empty()) return std::unexpected("empty document");
  if (NestedTooDeeply(text)) return std::unexpected("JSON nested too deeply");
  try {
    return nlohmann::json::parse(text.data(), text.data() + text.size(), nullptr,
                                 /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& error) {
    return std::unexpected(std::format("malformed JSON: {}", error.what()));
  }
}

std::string OptString(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return {};
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

}  // namespace emberdale::core
