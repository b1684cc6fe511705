#include "comtcp_link.h"

#include <poll.h>

#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/socket.h"
#include "platform/wakeup.h"
#include "utc_time.h"

namespace {

// Lock order: sendMutex_ before stateMutex_. stateMutex_ guards socket_ and state_ and is
// held only for short, non-blocking calls; sendMutex_ keeps whole messages apart on the
// wire and keeps the socket from being replaced or closed under a send in progress.
class TcpServerLink final : public ServerLink {
 public:
  explicit TcpServerLink(std::uint16_t port) : port_(port), socket_(TcpSocket::create()) {}

  bool alive() const override {
    std::lock_guard lock(stateMutex_);
    // The socket is closed exactly when the link is: it is made with the link and every
    // replacement is made before the old one goes.
    return state_ != State::closed;
  }

  bool connected() const override {
    std::lock_guard lock(stateMutex_);
    return state_ == State::connected;
  }

  void connect(const std::string& host) override {
    std::this_thread::sleep_for(kConnectPause);
    const in_addr address = resolveIPv4(host);
    {
      std::scoped_lock lock(sendMutex_, stateMutex_);
      if (state_ == State::connected || state_ == State::closed) {
        throw std::runtime_error("Unable to connect socket");
      }
      // A socket that has seen a connect cannot connect again: start from a fresh one.
      if (state_ != State::fresh) socket_ = TcpSocket::create();
      state_ = State::connecting;
    }
    // Only this thread (the input worker) replaces or closes the socket, and nothing else
    // touches it while connecting, so the wait runs without the locks.
    try {
      socket_.connect(address, port_, kConnectTimeout);
    } catch (...) {
      std::lock_guard lock(stateMutex_);
      state_ = State::broken;
      throw;
    }
    {
      std::lock_guard lock(stateMutex_);
      state_ = State::connected;
    }
    wakeup_.signal();
  }

  SendResult send(std::string_view bytes) override {
    std::lock_guard sendLock(sendMutex_);
    {
      std::lock_guard lock(stateMutex_);
      if (state_ != State::connected) return SendResult::notConnected;
    }
    // The receive side may read meanwhile; it never replaces the socket.
    if (socket_.sendAll(bytes, kSendTimeout) == TcpSocket::SendStatus::sent) {
      return SendResult::sent;
    }
    // Part of a message may have left: the stream is out of step, so the connection ends
    // here and the receive side reports it once.
    std::lock_guard lock(stateMutex_);
    socket_.shutdownBoth();
    return SendResult::failed;
  }

  ReadResult receive(std::span<char> buffer) override {
    std::lock_guard lock(stateMutex_);
    if (state_ != State::connected) return {};
    const TcpSocket::Received got = socket_.receive(buffer);
    switch (got.status) {
      case TcpSocket::RecvStatus::data:
        return {ReadResult::Kind::data, got.count};
      case TcpSocket::RecvStatus::wouldBlock:
        return {};
      case TcpSocket::RecvStatus::closed:
        state_ = State::broken;
        return {ReadResult::Kind::closed, 0};
      case TcpSocket::RecvStatus::failed:
        break;
    }
    state_ = State::broken;
    return {ReadResult::Kind::lost, 0};
  }

  void waitReadable(std::chrono::milliseconds timeout) override {
    pollfd entries[2] = {{wakeup_.fd(), POLLIN, 0}, {-1, POLLIN, 0}};
    {
      std::lock_guard lock(stateMutex_);
      if (state_ == State::connected) entries[1].fd = socket_.fd();
    }
    // A socket closed meanwhile shows up as POLLNVAL, which only ends the wait early.
    if (::poll(entries, 2, static_cast<int>(timeout.count())) > 0 &&
        (entries[0].revents & POLLIN) != 0) {
      wakeup_.drain();
    }
  }

  void wake() override { wakeup_.signal(); }

  void close() override {
    {
      std::lock_guard lock(stateMutex_);
      if (state_ == State::closed) return;
      state_ = State::closed;
      // Ends a send stalled on a peer that does not read, so the lock below comes soon.
      socket_.shutdownBoth();
    }
    {
      std::scoped_lock lock(sendMutex_, stateMutex_);
      socket_.close();
    }
    wakeup_.signal();
  }

 private:
  enum class State { fresh, connecting, connected, broken, closed };

  const std::uint16_t port_;
  mutable std::mutex stateMutex_;
  std::mutex sendMutex_;
  TcpSocket socket_;
  State state_ = State::fresh;
  Wakeup wakeup_;
};

}  // namespace

std::unique_ptr<ServerLink> makeTcpServerLink(std::uint16_t port) {
  return std::make_unique<TcpServerLink>(port);
}

void initNetwork(ClientState& state, std::uint16_t port) {
  state.tcpSocket = makeTcpServerLink(port);
  state.inbound = message();
  state.partialData.spillLargeValues(
      {kSpillValueBytes, [](std::string_view, std::size_t) { return makeSpillFile("."); }});
}

bool socketAlive(const ClientState& state) {
  return state.tcpSocket->alive();
}

void sendMessage(ClientState& state, message& m) {
  m.setValue("_msgTime", utcTimeText(nowUnixMillis()));
  m.setValue("_msgVersion", std::string(clientVersion));
  if (state.tcpSocket->send(m.serialize()) != SendResult::sent) {
    state.hooks.showMessage("Not connected: message not sent");
  }
}

void sendNewMessage(ClientState& state, msgType type, std::string msg) {
  message m(-1, state.screenName.get(), std::move(msg), type);
  sendMessage(state, m);
}

void sendNewMessage(ClientState& state, msgType type, std::string msg, std::string key,
                    std::string value) {
  message m(-1, state.screenName.get(), std::move(msg), type);
  m.setValue(std::move(key), std::move(value));
  sendMessage(state, m);
}

void sendNewMessage(ClientState& state, msgType type, std::string msg, std::string key1,
                    std::string value1, std::string key2, std::string value2) {
  message m(-1, state.screenName.get(), std::move(msg), type);
  m.setValue(std::move(key1), std::move(value1));
  m.setValue(std::move(key2), std::move(value2));
  sendMessage(state, m);
}

void connectAndLogon(ClientState& state, const std::string& host) {
  state.hooks.showMessage("Attempting Connection to " + host);
  state.tcpSocket->connect(host);
  const std::string name = state.screenName.get();
  std::string logon = "\r\n" + name + " has logged on using version ";
  logon.append(clientVersion).append(" - ").append(state.guiName).append("\r\n");
  sendNewMessage(state, msgInfo, "INFO_LOGON", "screen_name", name, "logon_msg", std::move(logon));
}
