#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

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

namespace {

// Makes a hidden temporary file in `directory`, readable as a plain create would leave it
// (the umask honoured, rather than mkostemp's 0600). Empty name and descriptor on failure.
std::pair<std::string, UniqueFd> makeTemporary(const std::string& directory,
                                               const std::string& stem) {
  std::string temporary = directory + "/." + stem + ".partXXXXXX";
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return {};
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd.get(), 0666 & ~mask);
  return {std::move(temporary), std::move(fd)};
}

// Writes all of data at the end of fd; 0, or the errno of the failure.
int writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// Closes fd and renames the temporary over path; the temporary is gone either way.
void closeAndReplace(UniqueFd fd, const std::string& temporary, const std::string& path,
                     const std::string& cannotOpen) {
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

std::string cannotOpenText(const std::string& path) {
  return "Cannot open or create file '" + path + "'";
}

bool unusablePath(const std::string& path) {
  return path.empty() || path.find('\0') != std::string::npos;
}

class SpillFile final : public SpilledValue {
 public:
  SpillFile(std::string directory, std::string temporary, UniqueFd fd)
      : directory_(std::move(directory)), temporary_(std::move(temporary)), fd_(std::move(fd)) {}
  ~SpillFile() override {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
  }
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;

  void append(std::string_view bytes) override {
    size_ += bytes.size();
    // A failure is kept for the end, where it fails the value as a whole.
    if (error_ == 0) error_ = writeAll(fd_.get(), bytes);
  }

  std::size_t size() const override { return size_; }

  std::string load() const override {
    if (!fd_ || error_ != 0) {
      throw std::runtime_error("Cannot keep a received value: " +
                               std::string(std::strerror(error_ != 0 ? error_ : EBADF)));
    }
    std::string out(size_, '\0');
    std::size_t filled = 0;
    while (filled < out.size()) {
      const ssize_t n =
          ::pread(fd_.get(), out.data() + filled, out.size() - filled, static_cast<off_t>(filled));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        throw std::runtime_error("Cannot read back a received value: " +
                                 std::string(n < 0 ? std::strerror(errno) : "it shrank"));
      }
      filled += static_cast<std::size_t>(n);
    }
    return out;
  }

  void commitAs(std::string_view nameView) override {
    const std::string path(nameView);
    const std::string cannotOpen = cannotOpenText(path);
    if (unusablePath(path) || !fd_) throw std::runtime_error(cannotOpen);
    if (error_ != 0) cannotWrite(path, error_);
    if (directoryOf(path) != directory_) {
      // Another directory may be another file system: copy there the ordinary way.
      writeFileReplacing(path, load());
      return;
    }
    const std::string temporary = std::exchange(temporary_, std::string());
    closeAndReplace(std::move(fd_), temporary, path, cannotOpen);
  }

 private:
  std::string directory_;
  std::string temporary_;  // empty once committed
  UniqueFd fd_;
  std::size_t size_ = 0;
  int error_ = 0;
};

}  // namespace

void writeFileReplacing(std::string_view pathView, std::string_view data) {
  const std::string path(pathView);
  const std::string cannotOpen = cannotOpenText(path);
  if (unusablePath(path)) throw std::runtime_error(cannotOpen);

  // A hidden temporary beside the target, so that the final rename stays on one file system.
  auto [temporary, fd] = makeTemporary(directoryOf(path), baseNameOf(path));
  if (!fd) throw std::runtime_error(cannotOpen);
  if (const int error = writeAll(fd.get(), data); error != 0) {
    ::unlink(temporary.c_str());
    cannotWrite(path, error);
  }
  closeAndReplace(std::move(fd), temporary, path, cannotOpen);
}

std::shared_ptr<SpilledValue> makeSpillFile(std::string_view directoryView) {
  std::string directory(directoryView);
  if (directory.empty()) directory = ".";
  auto [temporary, fd] = makeTemporary(directory, "kq7com-incoming");
  if (!fd) return nullptr;
  return std::make_shared<SpillFile>(std::move(directory), std::move(temporary), std::move(fd));
}
