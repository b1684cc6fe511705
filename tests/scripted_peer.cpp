#include "scripted_peer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Longest a send may wait for the client to make room: only a guard against a hang.
constexpr std::chrono::milliseconds kSendLimit{30000};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("scripted peer: " + what + ": " + std::strerror(errno));
}

std::string fromServer(msgType type, std::string_view text,
                       std::initializer_list<std::pair<std::string, std::string>> pairs = {}) {
  message m(-1, "server", std::string(text), type);
  for (const auto& [key, value] : pairs) m.setValue(key, value);
  return m.serialize();
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::uint16_t port, std::function<void()> whileBlocked)
    : listener_(loopback::listen(port, 4)), whileBlocked_(std::move(whileBlocked)) {}

message ScriptedPeer::acceptLogon(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  connection_ = loopback::acceptBefore(listener_.get(), deadline, SOCK_CLOEXEC | SOCK_NONBLOCK);
  // Each send leaves as it is, so pieces are not merged on the way.
  const int on = 1;
  ::setsockopt(connection_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  reader_.reset();
  message logon = reader_.receiveFrom(connection_.get(), deadline);
  if (logon.type != msgInfo || logon.getMsg() != "INFO_LOGON") {
    throw std::runtime_error("scripted peer: the first message was not the logon but '" +
                             logon.getMsg() + "'");
  }
  return logon;
}

message ScriptedPeer::receive(std::chrono::milliseconds timeout) {
  if (!connection_) throw std::runtime_error("scripted peer: no connection");
  return reader_.receiveFrom(connection_.get(), Clock::now() + timeout);
}

void ScriptedPeer::send(std::string_view bytes) {
  if (!connection_) throw std::runtime_error("scripted peer: no connection");
  auto deadline = Clock::now() + kSendLimit;
  while (!bytes.empty()) {
    const ssize_t sent = ::send(connection_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      deadline = Clock::now() + kSendLimit;
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN) fail("send");
    if (Clock::now() >= deadline) {
      throw std::runtime_error("scripted peer: the client stopped reading");
    }
    if (whileBlocked_) whileBlocked_();
    loopback::waitFor(connection_.get(), POLLOUT,
                      std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
  }
}

void ScriptedPeer::sendInPieces(std::string_view bytes, std::size_t piece,
                                std::chrono::microseconds pause) {
  while (!bytes.empty()) {
    const std::size_t take = std::min(piece, bytes.size());
    send(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (!bytes.empty()) std::this_thread::sleep_for(pause);
  }
}

void ScriptedPeer::reset() {
  if (!connection_) return;
  const linger abort{1, 0};
  ::setsockopt(connection_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  connection_.reset();
}

void ScriptedPeer::close() {
  if (!connection_) return;
  // Unread input would turn the close into a reset; take it first.
  char buffer[4096];
  while (::recv(connection_.get(), buffer, sizeof buffer, 0) > 0) {
  }
  ::shutdown(connection_.get(), SHUT_WR);
  connection_.reset();
}

std::string ScriptedPeer::chat(std::string_view from, std::string_view text) {
  return message(-1, std::string(from), std::string(text), msgChat).serialize();
}

std::string ScriptedPeer::info(std::string_view text) {
  return fromServer(msgInfo, text);
}

std::string ScriptedPeer::file(std::string_view name, std::string_view data) {
  return fromServer(msgData, "RECEIVE_FILE",
                    {{"file_name", std::string(name)}, {"file_data", std::string(data)}});
}

std::string ScriptedPeer::userList(const std::vector<std::string>& names) {
  message m(-1, "server", "USER_LIST", msgData);
  m.setValue("user_count", std::to_string(names.size()));
  for (std::size_t i = 0; i < names.size(); ++i) m.setValue(std::to_string(i), names[i]);
  return m.serialize();
}
