// One ordered record of the calls a test's fakes receive, as readable strings such as
// "ReportStep(Preparing,-,0)" or "WaitBeforeRetry(1000)", so a test compares whole sequences.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace emberdale::test {

class CallRecord {
 public:
  // Appends `call`, then runs the actions registered for it (see OnCall).
  void Add(std::string call);

  // Every call so far, in order.
  const std::vector<std::string>& calls() const { return calls_; }

  // The calls without those equal to `call` (for example "Cancelled()").
  std::vector<std::string> Without(std::string_view call) const;

  // How often `call` was recorded.
  int Count(std::string_view call) const;

  // Runs `action` right after `call` is recorded for the `occurrence`-th time (1 = the first).
  void OnCall(std::string call, int occurrence, std::function<void()> action);

 private:
  struct Trigger {
    std::string call;
    int occurrence;
    std::function<void()> action;
  };

  std::vector<std::string> calls_;
  std::vector<Trigger> triggers_;
};

}  // namespace emberdale::test
