#include "tests/support/call_record.h"

#include <algorithm>
#include <utility>

namespace emberdale::test {

void CallRecord::Add(std::string call) {
  calls_.push_back(call);
  const int seen = Count(call);
  // An action may record further calls or register triggers: work on copies.
  const std::vector<Trigger> triggers = triggers_;
  for (const Trigger& trigger : triggers) {
    if (trigger.call == call && trigger.occurrence == seen) trigger.action();
  }
}

std::vector<std::string> CallRecord::Without(std::string_view call) const {
  std::vector<std::string> kept;
  std::ranges::copy_if(calls_, std::back_inserter(kept),
                       [call](const std::string& c) { return c != call; });
  return kept;
}

int CallRecord::Count(std::string_view call) const {
  return static_cast<int>(std::ranges::count(calls_, call));
}

void CallRecord::OnCall(std::string call, int occurrence, std::function<void()> action) {
  triggers_.push_back({std::move(call), occurrence, std::move(action)});
}

}  // namespace emberdale::test
