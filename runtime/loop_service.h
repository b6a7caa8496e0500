// The loop service step: lets long loops in our functions serve signals and other threads.
#pragma once

namespace smsline {

// The countdown shared by every loop of every function.  Starts at 20 and is
// reset to 20 whenever it drops below zero, so the service itself runs once
// in 21 steps.
extern int loop_service_countdown;

// The service itself, when the countdown has run out: resets it and serves.
int loop_service_run() noexcept;

// Run at the end of a loop pass.  Every 21st step runs the interpreter's
// pending calls (signal handlers among them), lets other threads take the
// interpreter lock, and raises an asynchronous exception posted to this
// thread.  0 on success, -1 with an exception set.
inline int loop_service_step() noexcept {
  if (--loop_service_countdown >= 0) return 0;
  return loop_service_run();
}

}  // namespace smsline
