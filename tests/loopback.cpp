#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace loopback {

namespace {

[[noreturn]] void fail(const std::string& call) {
  throw std::runtime_error(call + ": " + std::strerror(errno));
}

}  // namespace

UniqueFd listen(std::uint16_t port, int backlog) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) fail("socket");
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail("bind to 127.0.0.1:" + std::to_string(port));
  }
  if (::listen(fd.get(), backlog) != 0) fail("listen");
  return fd;
}

std::uint16_t portOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
  return ntohs(address.sin_port);
}

bool MessageReader::feed(std::string_view bytes) {
  bool onlyMessages = true;
  while (!bytes.empty()) {
    const MessageStream::Step step = stream_.next(bytes, record_);
    bytes.remove_prefix(step.used);
    if (step.outcome == MessageStream::Outcome::complete) ready_.push_back(record_);
    if (step.outcome == MessageStream::Outcome::dropped ||
        (step.outcome == MessageStream::Outcome::skipped && step.newRun)) {
      onlyMessages = false;
    }
  }
  return onlyMessages;
}

message MessageReader::take() {
  message next = std::move(ready_.front());
  ready_.pop_front();
  return next;
}

void MessageReader::reset() {
  stream_.reset();
  ready_.clear();
}

}  // namespace loopback
