#pragma once

#include <functional>

// Disables the default action of SIGTERM, then of SIGINT, and turns every
// arrival of either signal into one call of `handler`, later, as an ordinary
// block on the main queue (MainQueue::shared()), never inside the signal.
// A signal that arrives before the main loop runs waits for it. Arming again
// replaces the handler.
void armStopSignals(std::function<void()> handler);
