// The user's first preferred language, as a locale or language tag ("ru_RU.UTF-8", "en"), or
// empty when none is known.
#pragma once

#include <string>

std::string PreferredLanguage();
