#pragma once

// Orders the capture code's own memory accesses with the sound server's loop
// thread in a way ThreadSanitizer can see.
//
// Everything the capture code shares with libpulse's callbacks is ordered by
// the loop's lock, but that lock is taken inside libpulse, which is not built
// with the sanitizer (and whose own calls the sanitizer is told to ignore):
// to it, an object made on one thread and used in a callback on the loop
// thread looks unsynchronised. A mark on both sides of every hand-over (just
// after taking the loop's lock, just before letting it go, after every wait
// for the loop, and at the start and end of every callback) is one
// read-modify-write of a single atomic, which orders the two threads exactly
// as the lock already does. It costs one atomic operation per mark.
namespace loop_handoff {

// One hand-over point.
void mark();

// Marks at construction and at destruction: hold one for the scope of a
// callback, or declare one just after a loop lock so that it marks before
// the lock is let go.
class Scope {
 public:
  Scope() { mark(); }
  ~Scope() { mark(); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

}  // namespace loop_handoff
