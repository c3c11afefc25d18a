// Linux: a nice value belongs to the thread, not the process, and setpriority() for `who` 0
// changes the calling thread's alone.
#include <sys/resource.h>

#include "core/thread_priority.h"

namespace emberdale::core {
namespace {

// Weight 110 against 1,024 for normal priority: about a tenth of a contended core, still all of
// an idle one. Nineteen would let the trailing work fall too far behind on a busy machine. A
// thread already nicer than this stays as it is (raising a priority needs a privilege).
constexpr int kLowerNice = 10;

}  // namespace

void LowerThisThreadsPriority() noexcept {
  setpriority(PRIO_PROCESS, 0, kLowerNice);
}

}  // namespace emberdale::core
