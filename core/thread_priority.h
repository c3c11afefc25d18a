// Priorities of the program's own threads.
#pragma once

namespace emberdale::core {

// Makes the calling thread yield to the rest of the machine's work of normal priority: it still
// runs at full speed on an otherwise idle core. For work that trails other work (hashing what a
// download has written) and must not slow it down. Best effort: a failure changes nothing.
void LowerThisThreadsPriority() noexcept;

}  // namespace emberdale::core
