#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

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

  // A hidden temporary beside the target, so that the final rename stays on one file system.
  std::string temporary = directoryOf(path) + "/." + baseNameOf(path) + ".partXXXXXX";
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) throw std::runtime_error(cannotOpen);
  // Honour the umask as a plain create would, rather than mkostemp's 0600.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd.get(), 0666 & ~mask);

  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t written = ::write(fd.get(), next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::unlink(temporary.c_str());
      cannotWrite(path, error);
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  if (::close(fd.release()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    cannotWrite(path, error);
  }
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
