// What the user reads and types (language choice, sizes, the yes/no prompt), and app links
// handed to a running launcher over its socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "core/app_link.h"
#include "core/ui_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

TEST(UiTextTest, LanguageSizesAndAnswers) {
  for (const char* name : {"ru", "RU", "ru-RU", "ru_RU", "ru.UTF-8", "rU-x"}) {
    EXPECT_EQ(&UiTextFor(LanguageFromLocaleName(name)), &UiTextFor(Language::Russian)) << name;
  }
  for (const char* name : {"", "r", "rus", "ru:RU", "en-RU", "uk", "C", " ru"}) {
    EXPECT_EQ(LanguageFromLocaleName(name), Language::English) << name;
  }
  const UiStrings& en = UiTextFor(Language::English);
  EXPECT_EQ(g_uiText, &en);
  EXPECT_EQ(FormatMegabytes(en, 1'000'000), "0.95 MB");
  EXPECT_EQ(FormatMegabytes(en, 1ULL << 30), "1024.00 MB");
  EXPECT_EQ(FormatUpdateLine(en, en.launcherName, "1.4.0", "1.5.0", 39'059'456),
            "  \u2022 Emberdale Launcher: 1.4.0 \u2192 1.5.0 (37.25 MB)");
  for (const char* yes :
       {"", " \t", "\r", " Y ", "YES", "Yes\r\r", "\u0414\u0410", "\u0434", " \u0434\u0430\r"}) {
    EXPECT_TRUE(IsYesAnswer(yes)) << yes;
  }
  for (const char* no : {"n", "no", "\u043d\u0435\u0442", "ye", "yes!", "y es", "\nyes", "da",
                         "\u0434\u0430\u0430"}) {
    EXPECT_FALSE(IsYesAnswer(no)) << no;
  }
}

TEST(AppLinkTest, RecognisesLinks) {
  const std::string longest = "emberdale://" + std::string(4096 - 12, 'a');
  for (const std::string& link : std::initializer_list<std::string>{("emberdale://x"), "EmberDale://j?n=\xd0\x9c", longest})
    EXPECT_TRUE(IsAppLink(link));
  for (const std::string& text : std::initializer_list<std::string>{("emberdale://"), "emberdale:/open", "emberdalf://open",
                                 "emberdale://o\tp", "emberdale://op\x7f", longest + "a"}) {
    EXPECT_FALSE(IsAppLink(text)) << text;
  }
  EXPECT_EQ(FindAppLink({"-v", "emberdale:/a", "emberdale://a/1", "emberdale://b/2"}),
            "emberdale://a/1");
}

// The launcher's side of the socket, on a thread that gives up after five seconds.
TEST(AppLinkTest, HandsTheLinkToTheRunningLauncher) {
  test::TempDir dir;
  const std::string socketPath = (dir / "s").native();
  for (const auto& [reply, accepted] : {std::pair{"OK\n", true}, {"OK", false}, {"NO\n", false}}) {
    SCOPED_TRACE(reply);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    socketPath.copy(address.sun_path, socketPath.size());
    unlink(socketPath.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    std::string request;
    std::thread launcher([&, reply] {
      pollfd waiting{listener, POLLIN, 0};
      if (poll(&waiting, 1, 5000) != 1) return;
      const int client = accept(listener, nullptr, nullptr);
      char buffer[256];
      for (ssize_t n; request.find('\n') == std::string::npos &&
                      (n = read(client, buffer, sizeof buffer)) > 0;) {
        request.append(buffer, n);
      }
      (void)!write(client, reply, std::strlen(reply));
      close(client);
    });
    test::WriteFile(dir / "launcher-app-link.endpoint", socketPath + "\r\n");
    test::LogCapture log;
    EXPECT_EQ(ForwardAppLink(dir.path(), "emberdale://open"), accepted);
    launcher.join();
    close(listener);
    EXPECT_EQ(request, "OPEN emberdale://open\n");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{accepted ? "[INFO] App link handed to the running launcher"
                                                : "[INFO] No running launcher took the app link"});
  }
  test::LogCapture log;
  EXPECT_FALSE(ForwardAppLink(dir.path(), "emberdale://open"));  // nobody listens any more
  test::WriteFile(dir / "launcher-app-link.endpoint", "/" + std::string(103, 'p'));
  EXPECT_FALSE(ForwardAppLink(dir.path(), "emberdale://open"));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"[INFO] No running launcher took the app link",
                                                   "[WARN] App link endpoint path is unusable: /" +
                                                       std::string(103, 'p')}));
}

}  // namespace
}  // namespace emberdale::core
