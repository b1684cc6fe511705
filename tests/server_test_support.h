// Helpers for the server tests: requests, and a loopback client that speaks the wire
// format. Every wait is bounded; a helper that runs out of time raises.
#pragma once

#include <netinet/in.h>
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
#include "scratch_dir.h"

namespace testsupport {

// Generous: the sanitizer builds run on a shared, busy machine.
inline constexpr std::chrono::milliseconds kWait{30000};

inline message request(msgType type, std::string msg, std::string from = "tester") {
  return message(-1, std::move(from), std::move(msg), type);
}

inline message downloadRequest(const std::string& fileName, std::string from = "tester") {
  message m = request(msgCommand, "DOWNLOAD_FILE", std::move(from));
  m.setValue("file_name", fileName);
  return m;
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
    const sockaddr_in server = loopback::address(port);
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
      fail("connect");
    }
  }

  std::uint16_t localPort() const { return loopback::portOf(fd_.get()); }

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
  message receive() { return reader_.receiveFrom(fd_.get(), deadline()); }

  // Reads and discards until the server ends the connection; raises when it does not.
  void expectClosed() {
    const loopback::Deadline until = deadline();
    while (reader_.readFrom(fd_.get(), until) > 0) {
    }
  }

  void close() { fd_.reset(); }

 private:
  [[noreturn]] static void fail(const std::string& call) {
    throw std::runtime_error(call + ": " + std::strerror(errno));
  }

  static loopback::Deadline deadline() { return std::chrono::steady_clock::now() + kWait; }

  UniqueFd fd_;
  loopback::MessageReader reader_;
};

}  // namespace testsupport
