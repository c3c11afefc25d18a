#include "core/manifest.h"

#include <gtest/gtest.h>

#include <format>
#include <string>

#include "core/deployment.h"
#include "core/guarded_json.h"

namespace emberdale::core {
namespace {

const std::string kDigest(64, 'a');

std::string CdnUrl(std::string_view file) {
  return std::format("https://{}/{}", kCdnHost, file);
}

// One manifest entry as JSON text; `size` is inserted verbatim so tests can give any JSON value.
std::string Entry(std::string_view version, std::string_view size = "1024",
                  std::string_view sha256 = kDigest, std::string_view vendorUrl = {},
                  std::string_view url = {}) {
  const std::string packageUrl = url.empty() ? CdnUrl("launcher.zip") : std::string(url);
  std::string vendor = vendorUrl.empty() ? "" : std::format(R"("vendorUrl":"{}",)", vendorUrl);
  return std::format(R"({{"version":"{}","url":"{}",{}"sha256":"{}","size":{}}})", version,
                     packageUrl, vendor, sha256, size);
}

std::string Manifest(std::string_view macEntries) {
  return std::format(R"({{"windows":{{}},"mac":{{{}}}}})", macEntries);
}

std::string LauncherOnly(std::string_view entry) {
  return Manifest(std::format(R"("launcher":{})", entry));
}

std::string ErrorOf(std::string_view text) {
  const auto result = ParseLauncherManifest(text, CurrentManifestOsKey());
  return result ? std::string("<accepted>") : result.error();
}

std::string Nested(int depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(ManifestTest, ParsesEveryEntryAndIgnoresUnknownKeys) {
  const std::string vendor = std::format("https://{}/jre.tar.gz", kRuntimeVendorHost);
  const std::string text =
      std::format(R"({{"extra":[1,2],"mac":{{"launcher":{},"jre":{},"updater":{},"other":5}}}})",
                  R"({"version":"1.2.3","url":")" + CdnUrl("l.zip") + R"(","sha256":")" + kDigest +
                      R"(","size":10,"note":"x"})",
                  Entry("17.0.2", "20", std::string(64, 'B'), vendor), Entry("1.0.1-rc1", "30"));

  const auto manifest = ParseLauncherManifest(text, "mac");
  ASSERT_TRUE(manifest) << manifest.error();
  EXPECT_TRUE(manifest->launcher.present);
  EXPECT_EQ(manifest->launcher.version, "1.2.3");
  EXPECT_EQ(manifest->launcher.url, CdnUrl("l.zip"));
  EXPECT_EQ(manifest->launcher.vendorUrl, "");
  EXPECT_EQ(manifest->launcher.sha256, kDigest);
  EXPECT_EQ(manifest->launcher.size, 10u);
  EXPECT_EQ(manifest->jre.vendorUrl, vendor);
  EXPECT_EQ(manifest->jre.sha256, std::string(64, 'B'));
  EXPECT_EQ(manifest->jre.size, 20u);
  EXPECT_EQ(manifest->updater.version, "1.0.1-rc1");
  EXPECT_EQ(CurrentManifestOsKey(), "mac");

  // The optional entries may be left out.
  const auto launcherOnly = ParseLauncherManifest(LauncherOnly(Entry("1.2.3")), "mac");
  ASSERT_TRUE(launcherOnly) << launcherOnly.error();
  EXPECT_FALSE(launcherOnly->jre.present);
  EXPECT_FALSE(launcherOnly->updater.present);
}

TEST(ManifestTest, ReportsTheFirstProblemWithItsExactText) {
  EXPECT_EQ(ErrorOf(""), "empty document");
  for (const char* root : {"[]", "null", "\"mac\"", "42", "true"}) {
    EXPECT_EQ(ErrorOf(root), "manifest is not a JSON object") << root;
  }
  EXPECT_EQ(ErrorOf(R"({"windows":{}})"), R"(manifest has no "mac" object)");
  EXPECT_EQ(ErrorOf(R"({"mac":[]})"), R"(manifest has no "mac" object)");
  EXPECT_EQ(ParseLauncherManifest(R"({"mac":{}})", "linux").error(),
            R"(manifest has no "linux" object)");
  EXPECT_EQ(ErrorOf(Manifest("")), "launcher entry is missing or invalid");
  EXPECT_EQ(ErrorOf(Manifest(R"("launcher":null)")), "launcher entry is missing or invalid");
  EXPECT_EQ(ErrorOf(Manifest(std::format(R"("launcher":{},"jre":null)", Entry("1.2.3")))),
            "jre entry is invalid");
  EXPECT_EQ(ErrorOf(Manifest(std::format(R"("launcher":{},"updater":"1.0.0")", Entry("1.2.3")))),
            "updater entry is invalid");
  // The launcher is checked before the jre, the jre before the updater.
  EXPECT_EQ(ErrorOf(Manifest(R"("launcher":[],"jre":null,"updater":null)")),
            "launcher entry is missing or invalid");
  EXPECT_EQ(ErrorOf(Manifest(std::format(R"("launcher":{},"jre":0,"updater":0)", Entry("1.0.0")))),
            "jre entry is invalid");
}

TEST(ManifestTest, AcceptsOnlyUnsignedIntegerSizesUpToTenGibibytes) {
  for (const char* size : {"0", "-1", "1.5", "\"123\"", "10737418241", "1e3", "-0",
                           "99999999999999999999999", "null", "true"}) {
    EXPECT_EQ(ErrorOf(LauncherOnly(Entry("1.2.3", size))), "launcher entry is missing or invalid")
        << size;
  }
  const auto largest = ParseLauncherManifest(LauncherOnly(Entry("1.2.3", "10737418240")), "mac");
  ASSERT_TRUE(largest) << largest.error();
  EXPECT_EQ(largest->launcher.size, 10737418240u);
  EXPECT_EQ(ParseLauncherManifest(LauncherOnly(Entry("1.2.3", "1")), "mac")->launcher.size, 1u);
  EXPECT_EQ(ErrorOf(LauncherOnly(R"({"version":"1.2.3","url":")" + CdnUrl("a") + R"(","sha256":")" +
                                 kDigest + R"("})")),
            "launcher entry is missing or invalid");
}

TEST(ManifestTest, RequiresSixtyFourHexDigits) {
  EXPECT_TRUE(IsSha256Hex(std::string(64, 'F')));
  EXPECT_TRUE(IsSha256Hex("0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdef0123"));
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a')));
  EXPECT_FALSE(IsSha256Hex(std::string(65, 'a')));
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a') + "g"));
  EXPECT_FALSE(IsSha256Hex(std::string(63, 'a') + " "));
  EXPECT_FALSE(IsSha256Hex(""));

  EXPECT_TRUE(
      ParseLauncherManifest(LauncherOnly(Entry("1.2.3", "5", std::string(64, 'E'))), "mac"));
  EXPECT_EQ(ErrorOf(LauncherOnly(Entry("1.2.3", "5", std::string(63, 'e')))),
            "launcher entry is missing or invalid");
  EXPECT_EQ(ErrorOf(LauncherOnly(Entry("1.2.3", "5", std::string(65, 'e')))),
            "launcher entry is missing or invalid");
}

TEST(ManifestTest, RequiresThreeLeadingDigitRuns) {
  for (const char* good : {"1.2.3", "10.0.25", "1.2.3-rc1", "0.0.0", "1.2.3.4", "1.2.3x"}) {
    EXPECT_TRUE(IsStrictSemver(good)) << good;
  }
  for (const char* bad : {"", "1.2", "1..3", ".1.2.3", "1.2.", "v1.2.3", "1.2.x", "1,2,3", "1.a.3",
                          " 1.2.3", "\xd9\xa1.2.3"}) {
    EXPECT_FALSE(IsStrictSemver(bad)) << bad;
  }
  EXPECT_EQ(ErrorOf(LauncherOnly(Entry("1.2"))), "launcher entry is missing or invalid");
}

TEST(ManifestTest, AcceptsUrlsOnlyOnTheExactHostOverHttps) {
  constexpr std::string_view host = "cdn.example.org";
  EXPECT_TRUE(IsHttpsUrlOnHost("https://cdn.example.org", host));
  EXPECT_TRUE(IsHttpsUrlOnHost("https://cdn.example.org/", host));
  EXPECT_TRUE(IsHttpsUrlOnHost("https://cdn.example.org/a/b.zip?x=1", host));
  for (const char* bad :
       {"http://cdn.example.org/a", "HTTPS://cdn.example.org/a", "https://CDN.example.org/a",
        "https://cdn.example.org:443/a", "https://user@cdn.example.org/a",
        "https://cdn.example.org.evil.test/a", "https://cdn.example.orgx/a",
        "https://cdn.example.org?x=/a", "https://cdn.example.org#a", "https:/cdn.example.org/a",
        " https://cdn.example.org/a", "https://", "", "https://evil.test/cdn.example.org/"}) {
    EXPECT_FALSE(IsHttpsUrlOnHost(bad, host)) << bad;
  }

  const std::string portUrl = std::format("https://{}:443/launcher.zip", kCdnHost);
  EXPECT_EQ(ErrorOf(LauncherOnly(Entry("1.2.3", "5", kDigest, {}, portUrl))),
            "launcher entry is missing or invalid");
  // The CDN host is not a vendor host, and a vendor URL must use https.
  for (const std::string& vendor :
       {std::format("http://{}/launcher.zip", kSourceHost), CdnUrl("launcher.zip"),
        std::format("https://{}.evil.test/x", kRuntimeVendorHost)}) {
    EXPECT_EQ(ErrorOf(LauncherOnly(Entry("1.2.3", "5", kDigest, vendor))),
              "launcher entry is missing or invalid")
        << vendor;
  }
  for (const auto vendorHost : {kSourceHost, kRuntimeVendorHost}) {
    const std::string vendor = std::format("https://{}/releases/launcher.zip", vendorHost);
    EXPECT_TRUE(ParseLauncherManifest(LauncherOnly(Entry("1.2.3", "5", kDigest, vendor)), "mac"))
        << vendor;
  }
}

TEST(ManifestTest, RefusesTheHundredAndFirstNestedBracketBeforeParsing) {
  EXPECT_TRUE(ParseJson(Nested(100)));
  EXPECT_EQ(ParseJson(Nested(101)).error(), "JSON nested too deeply");
  EXPECT_EQ(ParseJson(std::string(50, '{') + std::string(51, '[')).error(),
            "JSON nested too deeply");
  // Unclosed brackets followed by garbage: the library would call this malformed, so the refusal
  // shows the parser never ran.
  EXPECT_EQ(ErrorOf(std::string(101, '[') + "garbage"), "JSON nested too deeply");
  EXPECT_EQ(ErrorOf(std::string(5 * 1024 * 1024, '[')), "JSON nested too deeply");

  // Brackets inside strings do not count, also after an escaped quote.
  const std::string brackets(300, '[');
  EXPECT_TRUE(ParseJson(R"({"a":")" + brackets + R"("})"));
  EXPECT_TRUE(ParseJson(R"({"a":"\")" + brackets + "\"}"));
  // An escaped backslash does end the string before its quote: these brackets count.
  EXPECT_EQ(ParseJson(R"(["\\")" + std::string(100, '[')).error(), "JSON nested too deeply");
  // A closer counts down even when nothing is open; the library then rejects the text.
  EXPECT_TRUE(ParseJson("]" + std::string(101, '[')).error().starts_with("malformed JSON: "));

  const std::string deepButAllowed =
      std::format(R"({{"pad":{},"mac":{{"launcher":{}}}}})", Nested(99), Entry("1.2.3"));
  EXPECT_TRUE(ParseLauncherManifest(deepButAllowed, "mac"));
  const std::string tooDeep =
      std::format(R"({{"pad":{},"mac":{{"launcher":{}}}}})", Nested(100), Entry("1.2.3"));
  EXPECT_EQ(ErrorOf(tooDeep), "JSON nested too deeply");
}

TEST(ManifestTest, ReportsTheLibraryMessageForMalformedText) {
  const std::string valid = LauncherOnly(Entry("1.2.3"));
  const std::string trailing = ErrorOf(valid + " x");
  EXPECT_TRUE(trailing.starts_with(
      std::format("malformed JSON: [json.exception.parse_error.101] parse error at line 1, column "
                  "{}: syntax error while parsing value - invalid literal;",
                  valid.size() + 2)))
      << trailing;
  EXPECT_TRUE(trailing.ends_with("expected end of input")) << trailing;
  EXPECT_TRUE(
      ErrorOf(valid + "{}").starts_with("malformed JSON: [json.exception.parse_error.101]"));
  EXPECT_TRUE(ErrorOf("// comment\n" + valid).starts_with("malformed JSON: "));
  EXPECT_TRUE(ErrorOf(valid + "\n/* comment */").starts_with("malformed JSON: "));
  EXPECT_TRUE(ParseLauncherManifest(" \n\t" + valid + "\r\n", "mac"));
}

TEST(ManifestTest, RefusesHostileDocumentsWithoutThrowing) {
  EXPECT_EQ(ErrorOf(R"({"mac":{"launcher":{"size":1e400}}})"),
            "malformed JSON: [json.exception.out_of_range.406] number overflow parsing '1e400'");
  EXPECT_EQ(ErrorOf(LauncherOnly(Entry("1.2.3", "99999999999999999999999"))),
            "launcher entry is missing or invalid");
  for (const std::string& text :
       {std::string(R"({"mac":"\xff\xfe"})"), std::string(R"({"mac":"\xc0\xaf"})"),
        std::string(R"({"mac":"\ud800"})"), std::string("{\"mac\":\"a\0b\"}", 12),
        std::string("\xef\xbb\xbf{}\xff"), std::string(1000, ']'), std::string("{\"mac\":")}) {
    EXPECT_TRUE(ErrorOf(text).starts_with("malformed JSON: [json.exception.")) << ErrorOf(text);
  }
  // A well-formed document at the host's 5 MiB cap is parsed whole.
  std::string padded = std::format(R"({{"pad":"{}","mac":{{"launcher":{}}}}})",
                                   std::string(5 * 1024 * 1024 - 200, 'p'), Entry("1.2.3"));
  EXPECT_TRUE(ParseLauncherManifest(padded, "mac"));
}

TEST(GuardedJsonTest, OptStringReadsOnlyStringsOfObjects) {
  const auto value = ParseJson(R"({"s":"text","n":5,"o":{},"null":null,"e":""})");
  ASSERT_TRUE(value);
  EXPECT_EQ(OptString(*value, "s"), "text");
  EXPECT_EQ(OptString(*value, "n"), "");
  EXPECT_EQ(OptString(*value, "o"), "");
  EXPECT_EQ(OptString(*value, "null"), "");
  EXPECT_EQ(OptString(*value, "missing"), "");
  EXPECT_EQ(OptString(*ParseJson(R"(["s"])"), "s"), "");
  EXPECT_EQ(OptString(*ParseJson(R"("s")"), "s"), "");
}

}  // namespace
}  // namespace emberdale::core
