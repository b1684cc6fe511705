#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/unfinished_files.h"
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

// A file being written beside its final place. Preferably it has no name at all until it
// is complete, so that not even a process killed while writing leaves part of it behind;
// where the file system has no unnamed files it is a hidden named one. A name, once given,
// is registered for removal should the process be killed before it is renamed or removed.
struct Temporary {
  std::string hiddenStem;  // directory + "/." + stem + ".part"
  std::string name;        // empty while the file is unnamed
  RemovedIfKilled nameGuard;
  UniqueFd fd;
};

// Picks a hidden name for t, registers it, and lets make(name) create it; 0 or the errno
// of the failure. Another process may hold a name: the next one is tried.
template <typename Make>
int giveName(Temporary& t, Make make) {
  static std::atomic<unsigned> serial{0};
  for (unsigned attempt = 0;; ++attempt) {
    std::string name =
        t.hiddenStem + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1));
    RemovedIfKilled guard(name);
    if (make(name)) {
      t.name = std::move(name);
      t.nameGuard = std::move(guard);
      return 0;
    }
    if (errno != EEXIST || attempt == 100) return errno;
  }
}

// Makes the temporary in `directory`, readable as a plain create would leave it (the umask
// honoured). No descriptor on failure.
Temporary makeTemporary(const std::string& directory, const std::string& stem) {
  Temporary t;
  t.hiddenStem = directory + "/." + stem + ".part";
  t.fd.reset(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
  if (t.fd) return t;
  giveName(t, [&](const std::string& name) {
    t.fd.reset(::open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666));
    return static_cast<bool>(t.fd);
  });
  return t;
}

// Gives an unnamed temporary a hidden name, for the rename into place; 0 or errno.
int nameTemporary(Temporary& t) {
  if (!t.name.empty()) return 0;
  const std::string self = "/proc/self/fd/" + std::to_string(t.fd.get());
  return giveName(t, [&](const std::string& name) {
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  });
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

// Names, closes and renames the temporary over path; the temporary is gone either way.
void closeAndReplace(Temporary t, const std::string& path, const std::string& cannotOpen) {
  const auto fail = [&](int error) {
    if (!t.name.empty()) ::unlink(t.name.c_str());
    cannotWrite(path, error);
  };
  if (const int error = nameTemporary(t); error != 0) fail(error);
  if (::close(t.fd.release()) != 0) fail(errno);
  if (::rename(t.name.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(t.name.c_str());
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

// Empty, or refused as an open for writing would refuse it: an existing file this process
// may not write to is not replaced, although the rename into place could do it.
bool unusablePath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return true;
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT;
}

class SpillFile final : public SpilledValue {
 public:
  SpillFile(std::string directory, Temporary temporary)
      : directory_(std::move(directory)), temporary_(std::move(temporary)) {}
  ~SpillFile() override {
    if (!committed_ && !temporary_.name.empty()) ::unlink(temporary_.name.c_str());
  }
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;

  void append(std::string_view bytes) override {
    size_ += bytes.size();
    // A failure is kept for the end, where it fails the value as a whole.
    if (error_ == 0) error_ = writeAll(temporary_.fd.get(), bytes);
  }

  std::size_t size() const override { return size_; }

  std::string load() const override {
    if (!temporary_.fd || error_ != 0) {
      throw std::runtime_error("Cannot keep a received value: " +
                               std::string(std::strerror(error_ != 0 ? error_ : EBADF)));
    }
    std::string out(size_, '\0');
    std::size_t filled = 0;
    while (filled < out.size()) {
      const ssize_t n = ::pread(temporary_.fd.get(), out.data() + filled, out.size() - filled,
                                static_cast<off_t>(filled));
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
    if (unusablePath(path) || !temporary_.fd) throw std::runtime_error(cannotOpen);
    if (error_ != 0) cannotWrite(path, error_);
    if (directoryOf(path) != directory_) {
      // Another directory may be another file system: copy there the ordinary way.
      writeFileReplacing(path, load());
      return;
    }
    committed_ = true;
    closeAndReplace(std::move(temporary_), path, cannotOpen);
  }

 private:
  std::string directory_;
  Temporary temporary_;
  bool committed_ = false;  // the temporary is handed on and no longer ours
  std::size_t size_ = 0;
  int error_ = 0;
};

}  // namespace

void writeFileReplacing(std::string_view pathView, std::string_view data) {
  const std::string path(pathView);
  const std::string cannotOpen = cannotOpenText(path);
  if (unusablePath(path)) throw std::runtime_error(cannotOpen);

  // A hidden temporary beside the target, so that the final rename stays on one file system.
  Temporary temporary = makeTemporary(directoryOf(path), baseNameOf(path));
  if (!temporary.fd) throw std::runtime_error(cannotOpen);
  if (const int error = writeAll(temporary.fd.get(), data); error != 0) {
    if (!temporary.name.empty()) ::unlink(temporary.name.c_str());
    cannotWrite(path, error);
  }
  closeAndReplace(std::move(temporary), path, cannotOpen);
}

std::shared_ptr<SpilledValue> makeSpillFile(std::string_view directoryView) {
  std::string directory(directoryView);
  if (directory.empty()) directory = ".";
  Temporary temporary = makeTemporary(directory, "kq7com-incoming");
  if (!temporary.fd) return nullptr;
  return std::make_shared<SpillFile>(std::move(directory), std::move(temporary));
}
