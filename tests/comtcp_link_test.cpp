#include "comtcp_link.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "client_fakes.h"
#include "comtcp.h"
#include "loopback.h"
#include "platform/unique_fd.h"

namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 at a port the system picks.
class Listener {
 public:
  std::uint16_t port() const { return port_; }
  // The next connection, or none after a few seconds.
  UniqueFd accept() {
    if (!loopback::waitFor(fd_.get(), POLLIN, std::chrono::steady_clock::now() + 5s)) return {};
    return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  void close() { fd_.reset(); }

 private:
  UniqueFd fd_ = loopback::listen();
  std::uint16_t port_ = loopback::portOf(fd_.get());
};

// The next whole message from a peer socket; a failure to get one fails the test.
message readMessage(int fd, loopback::MessageReader& reader) {
  try {
    return reader.receiveFrom(fd, std::chrono::steady_clock::now() + 30s);
  } catch (const std::exception& failure) {
    ADD_FAILURE() << "no whole message arrived: " << failure.what();
    return message();
  }
}

ReadResult awaitRead(ServerLink& link, std::span<char> buffer) {
  for (int round = 0; round < 100; ++round) {
    link.waitReadable(100ms);
    const ReadResult result = link.receive(buffer);
    if (result.kind != ReadResult::Kind::nothing) return result;
  }
  return {};
}

std::string connectFailure(ServerLink& link, const std::string& host) {
  try {
    link.connect(host);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "nothing raised";
}

TEST(TcpServerLink, ConnectsLogsOnAndSendsWholeMessages) {
  Listener server;
  ClientFixture f;
  f.state.tcpSocket = makeTcpServerLink(server.port());
  processInput(f.state, "@connect", true);
  processInput(f.state, "127.0.0.1", true);
  UniqueFd peer = server.accept();
  ASSERT_TRUE(peer);
  loopback::MessageReader reader;
  const message logon = readMessage(peer.get(), reader);
  EXPECT_EQ(logon.type, msgInfo);
  EXPECT_EQ(logon.getMsg(), "INFO_LOGON");
  EXPECT_EQ(logon.getValue("screen_name"), "Bob");

  // A big message goes out whole while the peer is slow to read it.
  const std::string big(8 << 20, 'b');
  std::thread sender([&] { processInput(f.state, big, true); });
  std::this_thread::sleep_for(200ms);
  const message chat = readMessage(peer.get(), reader);
  sender.join();
  EXPECT_EQ(chat.type, msgChat);
  EXPECT_EQ(chat.getMsg(), big);
  EXPECT_EQ(chat.getValue("_msgVersion"), "0.70");

  // Data from the server arrives; a second connect while connected is refused.
  const std::string reply = message(-1, "srv", "hello", msgChat).serialize();
  ASSERT_EQ(::send(peer.get(), reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
  std::vector<char> buffer(65536);
  const ReadResult got = awaitRead(*f.state.tcpSocket, buffer);
  EXPECT_EQ(got.kind, ReadResult::Kind::data);
  EXPECT_EQ(std::string(buffer.data(), got.count), reply);
  EXPECT_EQ(connectFailure(*f.state.tcpSocket, "127.0.0.1"), "Unable to connect socket");
}

TEST(TcpServerLink, ALostConnectionCanBeMadeAgain) {
  Listener server;
  auto link = makeTcpServerLink(server.port());
  link->connect("127.0.0.1");
  {
    UniqueFd first = server.accept();
    ASSERT_TRUE(first);
  }  // the server ends the connection
  std::vector<char> buffer(1024);
  EXPECT_EQ(awaitRead(*link, buffer).kind, ReadResult::Kind::closed);
  EXPECT_FALSE(link->connected());
  EXPECT_TRUE(link->alive());
  EXPECT_EQ(link->send("lost"), SendResult::notConnected);

  link->connect("127.0.0.1");
  UniqueFd second = server.accept();
  ASSERT_TRUE(second);
  EXPECT_EQ(link->send("again"), SendResult::sent);
  char got[5];
  EXPECT_EQ(::recv(second.get(), got, sizeof got, MSG_WAITALL), 5);
  EXPECT_EQ(std::string(got, 5), "again");
}

TEST(TcpServerLink, FailedConnectsRaiseAndLeaveTheLinkUsable) {
  Listener closed;
  const std::uint16_t deadPort = closed.port();
  closed.close();
  auto link = makeTcpServerLink(deadPort);
  EXPECT_EQ(connectFailure(*link, "127.0.0.1"), "Unable to connect socket");
  EXPECT_EQ(connectFailure(*link, ""), "Unable to resolve host ''");
  EXPECT_TRUE(link->alive());
  EXPECT_FALSE(link->connected());
  EXPECT_EQ(link->send("x"), SendResult::notConnected);

  link->close();
  link->close();
  EXPECT_FALSE(link->alive());
  EXPECT_EQ(connectFailure(*link, "127.0.0.1"), "Unable to connect socket");
  EXPECT_EQ(link->send("x"), SendResult::notConnected);
}

TEST(TcpServerLink, SendingToAPeerThatLeftNeverKillsTheProcess) {
  Listener server;
  auto link = makeTcpServerLink(server.port());
  link->connect("127.0.0.1");
  server.accept().reset();
  std::vector<char> buffer(1024);
  SendResult last = SendResult::sent;
  // The first send after the peer left may still be accepted by the system.
  for (int i = 0; i < 50 && last == SendResult::sent; ++i) {
    last = link->send(std::string(65536, 'x'));
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_NE(last, SendResult::sent);
  const ReadResult end = awaitRead(*link, buffer);
  EXPECT_TRUE(end.kind == ReadResult::Kind::lost || end.kind == ReadResult::Kind::closed);
}

TEST(UtcTimeText, FormatsLikeTheHeaderOfAnEmail) {
  struct Case {
    std::int64_t millis;
    const char* text;
  };
  const Case kCases[] = {
      {1231138989750, "Mon, 05 Jan 2009 07:03:09 UTC"},
      {0, "Thu, 01 Jan 1970 00:00:00 UTC"},
      {-1, "Wed, 31 Dec 1969 23:59:59 UTC"},
      {1798761599999, "Thu, 31 Dec 2026 23:59:59 UTC"},
      {951868799999, "Tue, 29 Feb 2000 23:59:59 UTC"},
      {951868800000, "Wed, 01 Mar 2000 00:00:00 UTC"},
  };
  for (const Case& c : kCases) EXPECT_EQ(utcTimeText(c.millis), c.text) << c.millis;
}

}  // namespace
