// Guarded JSON parsing for untrusted text (the launcher manifest, the versions file): a bounded
// nesting depth checked before the parser runs, and every parser error returned as a message.
#pragma once

#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace emberdale::core {

// The deepest bracket nesting a document may have; the next opening bracket is refused.
inline constexpr int kMaxJsonNesting = 100;

// Parses one complete JSON value (no comments, nothing after the value). Errors: "empty
// document", "JSON nested too deeply" (checked by one byte scan before parsing) and
// "malformed JSON: {}" with the library's message. Never throws the library's exceptions.
[[nodiscard]] std::expected<nlohmann::json, std::string> ParseJson(std::string_view text);

// The string value of `key` when `object` is an object holding `key` as a JSON string; an
// empty string in every other case.
[[nodiscard]] std::string OptString(const nlohmann::json& object, const char* key);

}  // namespace emberdale::core
