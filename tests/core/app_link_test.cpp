#include "core/app_link.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

using test::LogCapture;
using test::TempDir;
using test::WriteFile;

TEST(AppLinkTest, RecognisesTheSchemeInAnyCaseAndRefusesControlCharacters) {
  EXPECT_TRUE(IsAppLink("emberdale://open"));
  EXPECT_TRUE(IsAppLink("EMBERDALE://open"));
  EXPECT_TRUE(IsAppLink("EmberDale://server/join?name=\xd0\x9c\xd0\xb8\xd1\x80"));
  EXPECT_TRUE(IsAppLink("emberdale://x"));  // 13 bytes, the shortest link
  EXPECT_FALSE(IsAppLink("emberdale://"));  // 12 bytes
  EXPECT_FALSE(IsAppLink("emberdale:/open"));
  EXPECT_FALSE(IsAppLink("emberdale:\\\\open"));
  EXPECT_FALSE(IsAppLink("emberdalf://open"));
  EXPECT_FALSE(IsAppLink("emberdale://op\ten"));
  EXPECT_FALSE(IsAppLink("emberdale://open\n"));
  EXPECT_FALSE(
      IsAppLink("emberdale://op\x7f"
                "en"));
  EXPECT_FALSE(IsAppLink(""));

  std::string longest = "emberdale://" + std::string(4096 - 12, 'a');
  EXPECT_TRUE(IsAppLink(longest));
  EXPECT_FALSE(IsAppLink(longest + "a"));
}

TEST(AppLinkTest, FindsTheFirstLinkAmongArguments) {
  EXPECT_EQ(FindAppLink({"-v", "emberdale://a/1", "emberdale://b/2"}), "emberdale://a/1");
  EXPECT_EQ(FindAppLink({"-v", "emberdale:/a"}), std::nullopt);
  EXPECT_EQ(FindAppLink({}), std::nullopt);
}

// A launcher's side of the socket: accepts one connection, records the request and answers.
class FakeLauncherSocket {
 public:
  FakeLauncherSocket(const std::filesystem::path& socketPath, std::string reply, bool answer = true)
      : reply_(std::move(reply)) {
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    server_ = std::thread([this, answer] {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      char buffer[256];
      std::string request;
      ssize_t n;
      while (request.find('\n') == std::string::npos &&
             (n = read(client, buffer, sizeof buffer)) > 0) {
        request.append(buffer, static_cast<std::size_t>(n));
      }
      request_ = request;
      if (answer) {
        (void)!write(client, reply_.data(), reply_.size());
      } else {
        char ignored;
        (void)!read(client, &ignored, 1);  // until the updater gives up and closes
      }
      close(client);
    });
  }
  ~FakeLauncherSocket() {
    if (server_.joinable()) server_.join();
    close(listener_);
  }
  // What the updater sent, once the exchange is over.
  std::string request() {
    if (server_.joinable()) server_.join();
    return request_;
  }

 private:
  int listener_ = -1;
  std::string reply_;
  std::string request_;
  std::thread server_;
};

class ForwardAppLinkTest : public ::testing::Test {
 protected:
  void PointEndpointAt(const std::string& content) {
    WriteFile(dir_ / "launcher-app-link.endpoint", content);
  }
  std::filesystem::path SocketPath() const { return dir_ / "s.sock"; }

  TempDir dir_;
  LogCapture log_;
};

TEST_F(ForwardAppLinkTest, SendsTheLinkAndAcceptsOk) {
  FakeLauncherSocket launcher(SocketPath(), "OK\n");
  PointEndpointAt(SocketPath().native() + "\r\n");
  EXPECT_TRUE(ForwardAppLink(dir_.path(), "emberdale://open"));
  EXPECT_EQ(launcher.request(), "OPEN emberdale://open\n");
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{"[INFO] App link handed to the running launcher"});
}

TEST_F(ForwardAppLinkTest, RefusesAnAnswerWithoutItsLineFeed) {
  FakeLauncherSocket launcher(SocketPath(), "OK");
  PointEndpointAt(SocketPath().native());
  EXPECT_FALSE(ForwardAppLink(dir_.path(), "emberdale://open"));
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"[INFO] No running launcher took the app link"});
}

TEST_F(ForwardAppLinkTest, GivesUpOnALauncherThatNeverAnswers) {
  FakeLauncherSocket launcher(SocketPath(), "", /*answer=*/false);
  PointEndpointAt(SocketPath().native());
  EXPECT_FALSE(ForwardAppLink(dir_.path(), "emberdale://open"));
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"[INFO] No running launcher took the app link"});
}

TEST_F(ForwardAppLinkTest, AStaleEndpointIsRefusedAndLogged) {
  PointEndpointAt(SocketPath().native());  // nobody listens there
  EXPECT_FALSE(ForwardAppLink(dir_.path(), "emberdale://open"));
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"[INFO] No running launcher took the app link"});
}

TEST_F(ForwardAppLinkTest, SilentlyRefusesWhatCannotBeTried) {
  EXPECT_FALSE(ForwardAppLink(dir_.path(), "emberdale://open"));  // no endpoint file
  PointEndpointAt("\r\n\n");
  EXPECT_FALSE(ForwardAppLink(dir_.path(), "emberdale://open"));  // empty endpoint
  PointEndpointAt(SocketPath().native());
  EXPECT_FALSE(ForwardAppLink(dir_.path(), "not a link"));
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ForwardAppLinkTest, AnEndpointPathTooLongForASocketAddressIsRefused) {
  const std::string longPath = "/" + std::string(103, 'p');  // 104 bytes
  PointEndpointAt(longPath + "\n");
  EXPECT_FALSE(ForwardAppLink(dir_.path(), "emberdale://open"));
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{"[WARN] App link endpoint path is unusable: " + longPath});
}

}  // namespace
}  // namespace emberdale::core
