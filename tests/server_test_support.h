// Helpers for the server tests: a temporary directory and a loopback client that speaks
// the wire format. Every wait is bounded; a helper that runs out of time raises.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "loopback.h"
#include "message.h"
#include "platform/unique_fd.h"

namespace testsupport {

// Generous: the sanitizer builds run on a shared, busy machine.
inline constexpr std::chrono::milliseconds kWait{30000};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kq7server-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
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

inline message request(msgType type, std::string msg, std::string from = "tester") {
  return message(-1, std::move(from), std::move(msg), type);
}

inline message logonMessage(const std::string& name) {
  message m = request(msgInfo, "INFO_LOGON", name);
  m.setValue("screen_name", name);
  m.setValue("logon_msg", "\r\n" + name + " has logged on using version 0.70 - test\r\n");
  return m;
}

// A blocking loopback connection with bounded waits.
class WireClient {
 public:
  // receiveBuffer > 0 fixes the socket's receive buffer (before connecting), to make a
  // client that stops reading fill up quickly.
  explicit WireClient(std::uint16_t port, int receiveBuffer = 0)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (!fd_) fail("socket");
    if (receiveBuffer > 0) {
      ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    const timeval timeout{static_cast<time_t>(kWait.count() / 1000), 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      fail("connect");
    }
  }

  std::uint16_t localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

  void sendRaw(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("send");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void send(const message& m) { sendRaw(m.serialize()); }

  // The next complete message; raises when none comes in time or the connection ends.
  message receive() {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (reader_.empty()) {
      if (readSome(deadline) == 0) throw std::runtime_error("connection ended");
    }
    return reader_.take();
  }

  // Reads and discards until the server ends the connection; raises when it does not.
  void expectClosed() {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (readSome(deadline) > 0) {
    }
  }

  void close() { fd_.reset(); }

 private:
  [[noreturn]] static void fail(const std::string& call) {
    throw std::runtime_error(call + ": " + std::strerror(errno));
  }

  // One read; 0 when the connection has ended (orderly or reset).
  std::size_t readSome(std::chrono::steady_clock::time_point deadline) {
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) throw std::runtime_error("timed out waiting for the server");
      pollfd p{fd_.get(), POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) fail("poll");
      if (ready == 0) continue;
      const ssize_t n = ::recv(fd_.get(), buffer_, sizeof buffer_, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0 && errno == ECONNRESET) return 0;
      if (n < 0) fail("recv");
      if (!reader_.feed(std::string_view(buffer_, static_cast<std::size_t>(n)))) {
        throw std::runtime_error("the server sent bytes that are not a message");
      }
      return static_cast<std::size_t>(n);
    }
  }

  UniqueFd fd_;
  loopback::MessageReader reader_;
  char buffer_[65536];
};

}  // namespace testsupport
