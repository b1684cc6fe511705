// A descriptor one thread can poll on and another can make readable: the way to end a
// wait in poll() early.
#pragma once

#include "platform/unique_fd.h"

class Wakeup {
 public:
  // Raises std::system_error when the descriptor cannot be made.
  Wakeup();
  // Makes fd() readable until drain(). Any thread; async-signal-safe.
  void signal();
  // Empties the descriptor after poll() saw it readable.
  void drain();
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};
