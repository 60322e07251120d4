#pragma once

#include <chrono>

#include "capture/record_source.hpp"

// Stops a source and waits, bounded, until its last buffer was delivered
// (its stop's completion ran). False when the wait ran out first.
bool stopAndWait(RecordSource& source, std::chrono::milliseconds limit);
