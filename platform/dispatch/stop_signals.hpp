#pragma once

#include <functional>

// Disables the default action of SIGTERM, then of SIGINT, then of SIGHUP
// (a terminal that went away), and turns every arrival of any of them into one call of `handler`, later, as an ordinary
// block on the main queue (MainQueue::shared()), never inside the signal.
// A signal that arrives before the main loop runs waits for it. Arming again
// replaces the handler.
void armStopSignals(std::function<void()> handler);
