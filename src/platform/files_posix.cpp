#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/files.h"
#include "platform/unique_fd.h"

namespace {

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

[[noreturn]] void cannotWrite(const std::string& path, int error) {
  throw std::runtime_error("Cannot write file '" + path + "': " + std::strerror(error));
}

}  // namespace

void writeFileReplacing(std::string_view pathView, std::string_view data) {
  const std::string path(pathView);
  const std::string cannotOpen = "Cannot open or create file '" + path + "'";
  if (path.empty() || path.find('\0') != std::string::npos) throw std::runtime_error(cannotOpen);

  // A hidden temporary beside the target, so that the final rename stays on one file
  // system. Preferably an unnamed one: it gets its name only once every byte is written,
  // so a process killed while writing leaves nothing behind.
  const std::string hidden = directoryOf(path) + "/." + baseNameOf(path) + ".part";
  std::string temporary;
  UniqueFd fd(::open(directoryOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (!fd) {
    // Not every file system has unnamed files: a named one, then.
    temporary = hidden + "XXXXXX";
    fd.reset(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) throw std::runtime_error(cannotOpen);
    // Honour the umask as a plain create would, rather than mkostemp's 0600.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd.get(), 0666 & ~mask);
  }
  const auto fail = [&](int error) {
    if (!temporary.empty()) ::unlink(temporary.c_str());
    cannotWrite(path, error);
  };

  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t written = ::write(fd.get(), next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  if (temporary.empty()) {
    // The unnamed file gets a free hidden name; the rename below moves it into place.
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    for (unsigned attempt = 0;; ++attempt) {
      const std::string name = hidden + std::to_string(::getpid()) + "-" + std::to_string(attempt);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temporary = name;
        break;
      }
      if (errno != EEXIST || attempt == 100) fail(errno);
    }
  }
  if (::close(fd.release()) != 0) fail(errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    // Renaming onto a directory, say, means the target itself cannot be made.
    if (error == EISDIR || error == ENOTDIR || error == EACCES || error == EPERM) {
      throw std::runtime_error(cannotOpen);
    }
    cannotWrite(path, error);
  }
}
