#include "server/chat_server.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server_test_support.h"

namespace {

using testsupport::downloadRequest;
using testsupport::logonMessage;
using testsupport::request;
using testsupport::WireClient;

// The real event loop on a port of the system's choice, run on a thread of its own.
class LoopbackTest : public ::testing::Test {
 protected:
  void start(std::size_t outputLimit = std::size_t{64} << 20) {
    ServerSettings settings;
    settings.port = 0;
    settings.outputLimit = outputLimit;
    settings.room.filesDir = files.path();
    settings.room.log = [this](std::string_view line) {
      std::lock_guard lock(logMutex);
      logLines.emplace_back(line);
      logChanged.notify_all();
    };
    server = std::make_unique<ChatServer>(std::move(settings));
    loop = std::thread([this] { server->run(); });
  }

  void TearDown() override { stopServer(); }

  void stopServer() {
    if (!loop.joinable()) return;
    server->stop();
    loop.join();
  }

  // Waits until a log line contains text; returns the line.
  std::string awaitLog(const std::string& text) {
    std::unique_lock lock(logMutex);
    std::string found;
    const bool seen = logChanged.wait_for(lock, testsupport::kWait, [&] {
      for (const std::string& line : logLines) {
        if (line.find(text) != std::string::npos) {
          found = line;
          return true;
        }
      }
      return false;
    });
    if (!seen) throw std::runtime_error("no log line with '" + text + "'");
    return found;
  }

  std::vector<std::string> logSnapshot() {
    std::lock_guard lock(logMutex);
    return logLines;
  }

  // "connection N" of a client, from the line that logged its arrival.
  std::string connectionOf(const WireClient& client) {
    const std::string line = awaitLog(" from 127.0.0.1:" + std::to_string(client.localPort()));
    return line.substr(0, line.find(" from "));
  }

  WireClient loggedOn(const std::string& name) {
    WireClient client(server->port());
    client.send(logonMessage(name));
    const message welcome = client.receive();
    EXPECT_EQ(welcome.getMsg(), "Welcome to the local KQ7Com server, " + name);
    return client;
  }

  ScratchDir files;
  std::unique_ptr<ChatServer> server;
  std::thread loop;
  std::mutex logMutex;
  std::condition_variable logChanged;
  std::vector<std::string> logLines;
};

std::string userListOf(const message& m) {
  std::string names = m.getValue("user_count") + ":";
  for (int i = 0; i < std::stoi(m.getValue("user_count")); ++i) {
    names += " " + m.getValue(std::to_string(i));
  }
  return names;
}

TEST_F(LoopbackTest, TwoClientsChatListUsersAndSeeEachOtherLeave) {
  start();
  awaitLog("listening on 127.0.0.1:" + std::to_string(server->port()));
  WireClient alice = loggedOn("alice");
  WireClient bob = loggedOn("bob");

  const message joined = alice.receive();
  EXPECT_EQ(joined.type, msgInfo);
  EXPECT_EQ(joined.getMsg(), "\r\nbob has logged on using version 0.70 - test\r\n");
  EXPECT_EQ(joined.getValue("refresh_chat"), "yes");

  alice.send(request(msgChat, "hello, bob", "alice"));
  for (WireClient* client : {&alice, &bob}) {
    const message chat = client->receive();
    EXPECT_EQ(chat.type, msgChat);
    EXPECT_EQ(chat.from, "alice");
    EXPECT_EQ(chat.getMsg(), "hello, bob");
  }

  bob.send(request(msgCommand, "CHAT_SEND_USER_LIST", "bob"));
  const message list = bob.receive();
  EXPECT_EQ(list.getMsg(), "USER_LIST");
  EXPECT_EQ(userListOf(list), "2: alice bob");

  bob.close();
  const message left = alice.receive();
  EXPECT_EQ(left.getMsg(), "\r\nbob has left\r\n");
  EXPECT_EQ(left.getValue("refresh_chat"), "yes");
  awaitLog("bob logged off");
}

TEST_F(LoopbackTest, DownloadsAFiveMebibyteFileByteForByte) {
  std::string content(std::size_t{5} << 20, '\0');
  std::uint32_t state = 12345;
  for (char& c : content) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 23);
  }
  files.write("big.bin", content);
  // A file in flight does not count against the limit on waiting bytes.
  start(std::size_t{1} << 20);

  WireClient client = loggedOn("carol");
  client.send(downloadRequest("big.bin", "carol"));
  client.send(downloadRequest("../big.bin", "carol"));

  const message file = client.receive();
  EXPECT_EQ(file.type, msgData);
  EXPECT_EQ(file.getMsg(), "RECEIVE_FILE");
  EXPECT_EQ(file.getValue("file_name"), "big.bin");
  const std::string* data = file.findValue("file_data");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->size(), content.size());
  EXPECT_TRUE(*data == content) << "the file's bytes differ";
  EXPECT_EQ(client.receive().getMsg(), "File not found: ../big.bin");
}

TEST_F(LoopbackTest, AClientThatStopsReadingIsDroppedWithoutStallingTheOthers) {
  files.write("big.bin", std::string(std::size_t{5} << 20, 'b'));
  start(std::size_t{1} << 20);

  WireClient slow(server->port(), 4096);
  slow.send(logonMessage("slow"));
  const std::string slowConnection = connectionOf(slow);
  WireClient fast = loggedOn("fast");

  // Far more than the slow client's buffers, the server's socket buffer and one file in
  // flight, while it reads nothing.
  const message ask = downloadRequest("big.bin", "slow");
  for (int i = 0; i < 6; ++i) slow.send(ask);

  fast.send(request(msgChat, "still here", "fast"));
  bool sawChat = false;
  bool sawLeave = false;
  while (!sawChat || !sawLeave) {
    const message m = fast.receive();
    sawChat = sawChat || (m.type == msgChat && m.getMsg() == "still here");
    sawLeave = sawLeave || m.getMsg() == "\r\nslow has left\r\n";
  }
  EXPECT_NE(awaitLog(slowConnection + " closed:").find("waiting to be sent"), std::string::npos);
  slow.expectClosed();

  fast.send(request(msgCommand, "CHAT_SEND_USER_LIST", "fast"));
  EXPECT_EQ(userListOf(fast.receive()), "1: fast");
}

TEST_F(LoopbackTest, AFileThatShrinksWhileBeingSentEndsThatConnection) {
  files.write("big.bin", std::string(std::size_t{8} << 20, 'b'));
  start();
  // A client that reads slowly, so that most of the file is still on the disk.
  WireClient slow(server->port(), 4096);
  slow.send(logonMessage("slow"));
  const std::string slowConnection = connectionOf(slow);
  WireClient other = loggedOn("other");
  const message ask = downloadRequest("big.bin", "slow");
  slow.send(ask);
  awaitLog(slowConnection + ": sending file big.bin");
  std::filesystem::resize_file(files.path() / "big.bin", 1000);

  slow.expectClosed();
  EXPECT_NE(awaitLog(slowConnection + " closed:").find("the file shrank while being sent"),
            std::string::npos);
  // The others go on.
  other.send(request(msgCommand, "CHAT_SEND_USER_LIST", "other"));
  message reply = other.receive();
  while (reply.getMsg() != "USER_LIST") reply = other.receive();
  EXPECT_EQ(userListOf(reply), "1: other");
}

TEST_F(LoopbackTest, BadInputIsSkippedAndTheNextMessageAnswered) {
  start();
  struct Case {
    const char* what;
    std::string bytes;
    const char* logged;
  };
  const Case kCases[] = {
      {"text", "GET / HTTP/1.0\r\n\r\n", "skipped input that is not a message"},
      {"binary and a broken marker", std::string("\0\xff{xxKQ", 8) + "{xx",
       "skipped input that is not a message"},
      {"malformed number", "{xxKQ7COMxx}-1|x|two|0|", "dropped a message: conversion two"},
      {"negative length", "{xxKQ7COMxx}-1|x|1|1|msg|-5|", "dropped a message: conversion -5"},
      {"longer than a client may send", request(msgChat, std::string(3 << 20, 'x')).serialize(),
       "dropped a message: Message too large"},
  };
  for (const Case& c : kCases) {
    WireClient client(server->port());
    const std::string connection = connectionOf(client);
    client.sendRaw(c.bytes + request(msgCommand, "CHAT_SEND_SERVER_INFO").serialize());
    const message reply = client.receive();
    EXPECT_TRUE(reply.getMsg().starts_with("server: KQ7Com local server version 1.0, up "))
        << c.what << ": " << reply.getMsg();

    std::vector<std::string> refused;
    for (const std::string& line : logSnapshot()) {
      if (line.starts_with(connection + ": ")) refused.push_back(line);
    }
    ASSERT_EQ(refused.size(), 1u) << c.what;
    EXPECT_NE(refused[0].find(c.logged), std::string::npos) << c.what << ": " << refused[0];
  }
}

TEST_F(LoopbackTest, ServesOverAThousandConnectionsAtOnce) {
  constexpr std::size_t kClients = 1100;
  // Both ends of every connection live in this process.
  const std::uint64_t limit = raiseDescriptorLimit();
  if (limit < 2 * kClients + 64) {
    GTEST_SKIP() << "only " << limit << " descriptors may be open in this process";
  }
  start();

  std::vector<std::unique_ptr<WireClient>> clients;
  for (std::size_t i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<WireClient>(server->port()));
  }
  for (auto& client : clients) client->send(request(msgCommand, "CHAT_SEND_USER_LIST"));
  for (auto& client : clients) {
    const message reply = client->receive();
    ASSERT_EQ(reply.getMsg(), "USER_LIST");
    ASSERT_EQ(reply.getValue("user_count"), "0");
  }
  awaitLog("connection " + std::to_string(kClients) + " from ");
}

TEST_F(LoopbackTest, StoppingClosesEveryConnection) {
  start();
  WireClient alice = loggedOn("alice");
  WireClient idle(server->port());
  connectionOf(idle);
  stopServer();
  alice.expectClosed();
  idle.expectClosed();
  awaitLog("stopping: closing 2 connections");
  EXPECT_THROW(WireClient{server->port()}, std::runtime_error);
}

}  // namespace
