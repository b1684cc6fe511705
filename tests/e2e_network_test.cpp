// The client and the local server as built, talking over loopback in the test's own
// network namespace: each client on a pseudo-terminal of its own, in a working directory
// of its own, driven by keys as a user would.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include "e2e_support.h"

namespace {

using e2e::connectTo;
using e2e::countOf;
using e2e::logOn;
using e2e::quitsCleanly;
using e2e::shows;
using e2e::type;

class LocalServer : public e2e::IsolatedTest {
 protected:
  void SetUp() override {
    IsolatedTest::SetUp();
    if (IsSkipped()) return;
    server = std::make_unique<e2e::ServerProcess>(files, scratch.path() / "server.log");
  }

  // A client that has named itself, connected and been welcomed by the server.
  std::unique_ptr<PtySession> joined(const std::string& name) {
    auto client = e2e::startClient(scratch.sub(name));
    EXPECT_TRUE(logOn(*client, name));
    EXPECT_TRUE(connectTo(*client));
    // "Connected!" follows the messages of the read that first brought data.
    EXPECT_TRUE(shows(*client, "Welcome to the local KQ7Com server, " + name));
    EXPECT_TRUE(shows(*client, "Connected!"));
    return client;
  }

  ScratchDir scratch{"kq7e2e"};
  std::filesystem::path files = scratch.sub("files");
  std::unique_ptr<e2e::ServerProcess> server;
};

TEST_F(LocalServer, TwoClientsChatAndEachListsBoth) {
  auto alice = joined("alice");
  auto bob = joined("bob");
  ASSERT_FALSE(HasFailure());
  ASSERT_TRUE(
      shows(*alice, "\r\nbob has logged on using version 0.70 - Generic Windows (Console)"));

  // The logon notice made each client ask for the user list before anything it types
  // next, and the server answers one connection in order: once a client sees its own
  // chat line come back, the list that names both is in.
  type(*alice, "hi");
  ASSERT_TRUE(shows(*alice, "[alice] hi\r\n"));
  ASSERT_TRUE(shows(*bob, "[alice] hi\r\n"));
  type(*bob, "hello, alice");
  ASSERT_TRUE(shows(*bob, "[bob] hello, alice\r\n"));
  ASSERT_TRUE(shows(*alice, "[bob] hello, alice\r\n"));

  for (PtySession* client : {alice.get(), bob.get()}) {
    type(*client, "@users");
    EXPECT_TRUE(
        shows(*client, "KQ7Com User List\r\n---------------------------\r\nalice\r\nbob\r\n"));
    EXPECT_EQ(countOf(client->output(), "[alice] hi"), 1u);
    EXPECT_EQ(countOf(client->output(), "[bob] hello, alice"), 1u);
  }
  EXPECT_TRUE(quitsCleanly(*bob));
  EXPECT_TRUE(shows(*alice, "\r\nbob has left"));
  EXPECT_TRUE(quitsCleanly(*alice));
}

TEST_F(LocalServer, DownloadWritesTheExactBytesIntoTheWorkingDirectory) {
  // Every byte value, long runs of zero bytes, and the bytes that frame messages, over
  // several reads' worth of data.
  std::string content;
  for (int i = 0; i < 300000; ++i) content += static_cast<char>((i * 7 + i / 256) & 0xFF);
  content.insert(1000, 5000, '\0');
  content.insert(100000, "{xxKQ7COMxx}-1|x|2|1|msg|3|abc");
  content += std::string(70000, '|');
  {
    std::ofstream file(files / "data.bin", std::ios::binary);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  auto alice = joined("alice");
  ASSERT_FALSE(HasFailure());

  type(*alice, "@download");
  ASSERT_TRUE(shows(*alice, "File Name: "));
  type(*alice, "data.bin");
  ASSERT_TRUE(shows(*alice, "File Received: data.bin\r\n"));
  // Messages are handled in order: once a later chat line shows, the file is written.
  type(*alice, "written?");
  ASSERT_TRUE(shows(*alice, "[alice] written?"));
  EXPECT_EQ(alice->output().find("Unable to receive file data"), std::string::npos);
  const std::optional<std::string> received = readFile(scratch.path() / "alice" / "data.bin");
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received->size(), content.size());
  EXPECT_TRUE(*received == content) << "the received file differs from the one sent";

  type(*alice, "@download");
  ASSERT_TRUE(shows(*alice, "File Name: "));
  type(*alice, "missing.bin");
  EXPECT_TRUE(shows(*alice, "File not found: missing.bin"));
  // Nothing else landed: no temporary file, nothing for the missing one.
  EXPECT_EQ(e2e::listTree(scratch.path() / "alice"), std::vector<std::string>{"data.bin"});
  EXPECT_TRUE(quitsCleanly(*alice));
}

TEST_F(LocalServer, GameLoginShowsTheResourceLine) {
  auto alice = joined("alice");
  ASSERT_FALSE(HasFailure());
  type(*alice, "@kq7:login");
  ASSERT_TRUE(shows(*alice, "username: "));
  type(*alice, "demo");
  ASSERT_TRUE(shows(*alice, "password:"));
  const std::size_t passwordAt = alice->output().size();
  type(*alice, "demo");
  ASSERT_TRUE(shows(*alice, "Login successful"));
  ASSERT_TRUE(shows(*alice, "[Power: "));

  const std::string afterPrompt = alice->output().substr(passwordAt);
  EXPECT_NE(afterPrompt.find("****"), std::string::npos) << afterPrompt;
  EXPECT_EQ(afterPrompt.find("demo"), std::string::npos) << "the password was shown";

  // The totals start at the demo account's values and only grow.
  ASSERT_TRUE(shows(*alice, "]\r\n"));
  const std::string resourcePart = alice->output().substr(passwordAt);
  std::smatch line;
  const std::regex resources(
      R"(\[Influence: (\d+)\] \[Food: (\d+)\] \[Minerals: (\d+)\] \[Energy: (\d+)\] )"
      R"(\[RPs: (\d+)\] \[Power: (\d+)\]\r\n)");
  ASSERT_TRUE(std::regex_search(resourcePart, line, resources)) << resourcePart;
  const long starting[] = {1200, 5000, 3000, 2000, 400, 150};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_GE(std::stol(line[i + 1].str()), starting[i]) << "total " << i << ": " << line.str();
    EXPECT_LT(std::stol(line[i + 1].str()), starting[i] + 1000)
        << "total " << i << ": " << line.str();
  }
  EXPECT_TRUE(quitsCleanly(*alice));
}

TEST_F(LocalServer, ConnectsAgainAfterTheServerRestarts) {
  auto alice = joined("alice");
  ASSERT_FALSE(HasFailure());

  ASSERT_EQ(server->stop(SIGTERM), 0);
  ASSERT_TRUE(shows(*alice, "Connection lost\r\n"));
  type(*alice, "anyone?");
  ASSERT_TRUE(shows(*alice, "Not connected: message not sent"));

  server = std::make_unique<e2e::ServerProcess>(files, scratch.path() / "server2.log");
  ASSERT_TRUE(connectTo(*alice));
  ASSERT_TRUE(shows(*alice, "Welcome to the local KQ7Com server, alice"));
  ASSERT_TRUE(shows(*alice, "Connected!"));
  type(*alice, "back again");
  ASSERT_TRUE(shows(*alice, "[alice] back again"));
  EXPECT_EQ(countOf(alice->output(), "Connection lost"), 1u);
  EXPECT_EQ(countOf(alice->output(), "Connected!"), 2u);
  EXPECT_TRUE(quitsCleanly(*alice));
}

}  // namespace
