#include "core/logging.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace emberdale::core {
namespace {

TEST(LoggingTest, FormatsAndForwardsToTheSinkUntilUninstalled) {
  std::vector<std::pair<LogLevel, std::string>> seen;
  SetLogSink([&](LogLevel level, std::string_view text) { seen.emplace_back(level, text); });
  logging::Warn("Download from {} failed: {}", "CDN", "HTTP 503");
  logging::Info("{} {} installed", std::string_view("JRE"), 17);
  logging::Error("Manifest unavailable after {} attempts", 4LL);
  SetLogSink(nullptr);
  logging::Warn("dropped {}", 1);

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(LogLevel::Warn, std::string("Download from CDN failed: HTTP 503")));
  EXPECT_EQ(seen[1], std::make_pair(LogLevel::Info, std::string("JRE 17 installed")));
  EXPECT_EQ(seen[2], std::make_pair(LogLevel::Error, std::string("Manifest unavailable after 4 attempts")));
}

}  // namespace
}  // namespace emberdale::core
