// Linux: the first entry of LANGUAGE (a colon-separated list), else LC_ALL, else LC_MESSAGES,
// else LANG; the first one that is set and not empty.
#include <cstdlib>
#include <string_view>

#include "app/preferred_language.h"

std::string PreferredLanguage() {
  if (const char* list = std::getenv("LANGUAGE"); list != nullptr && *list != '\0') {
    const std::string_view languages = list;
    const std::string_view first = languages.substr(0, languages.find(':'));
    if (!first.empty()) return std::string(first);
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') return value;
  }
  return {};
}
