// Directories and files for tests that write to the disk: a fresh directory removed with
// everything in it, a scoped change of the working directory, and reading a file back.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

// A fresh directory under the system's temporary directory, private to its creator
// (mode 0700), removed with everything in it when the object dies. Raises when it cannot
// be made, so a test never writes somewhere it did not mean to.
class ScratchDir {
 public:
  explicit ScratchDir(std::string_view prefix = "kq7test") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Makes (if needed) and returns a directory inside.
  std::filesystem::path sub(const std::string& name) const {
    const std::filesystem::path dir = path_ / name;
    std::filesystem::create_directories(dir);
    return dir;
  }
  // Writes a file inside, replacing one of that name; returns its path.
  std::filesystem::path write(const std::string& name, std::string_view bytes) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
    return file;
  }

 private:
  std::filesystem::path path_;
};

// The process works in `dir` for the life of the object, then where it was before.
class ScopedCurrentPath {
 public:
  explicit ScopedCurrentPath(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCurrentPath() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  ScopedCurrentPath(const ScopedCurrentPath&) = delete;
  ScopedCurrentPath& operator=(const ScopedCurrentPath&) = delete;

 private:
  std::filesystem::path previous_;
};

// Every byte of a file; nullopt when it cannot be opened.
inline std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}
