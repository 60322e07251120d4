#include "platform/pulse/pulse_record_handoff.hpp"

#include <atomic>

namespace {

// Only its order matters: every mark is a read-modify-write with acquire and
// release semantics, so each one sees every mark before it.
std::atomic<unsigned long> gHandoffs{0};

}  // namespace

void loop_handoff::mark() { gHandoffs.fetch_add(1, std::memory_order_acq_rel); }
