#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/wakeup.h"

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void Wakeup::signal() {
  const std::uint64_t one = 1;
  // A full counter already wakes the reader, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t ignored = ::write(fd_.get(), &one, sizeof one);
}

void Wakeup::drain() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t ignored = ::read(fd_.get(), &count, sizeof count);
}
