#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "client_fakes.h"
#include "comtcp.h"

namespace {

using Lines = std::vector<std::string>;
using Pairs = std::map<std::string, std::string>;

struct Sent {
  int type;
  Pairs pairs;  // without the two stamps
};

std::vector<Sent> sentBy(const FakeLink& link) {
  std::vector<Sent> out;
  for (const message& m : link.sentMessages()) {
    EXPECT_TRUE(m.isValid && m.isComplete);
    EXPECT_EQ(m.time, -1);
    EXPECT_EQ(m.from, "Bob");
    EXPECT_EQ(m.getValue("_msgVersion"), "0.70");
    const std::string stamp = m.getValue("_msgTime");
    EXPECT_EQ(stamp.size(), 29u) << stamp;
    EXPECT_TRUE(stamp.ends_with(" UTC")) << stamp;
    Pairs pairs(m.values.begin(), m.values.end());
    pairs.erase("_msgTime");
    pairs.erase("_msgVersion");
    out.push_back({m.type, pairs});
  }
  return out;
}

void expectSent(const FakeLink& link, const std::vector<Sent>& expected, const std::string& what) {
  const std::vector<Sent> actual = sentBy(link);
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].type, expected[i].type) << what;
    EXPECT_EQ(actual[i].pairs, expected[i].pairs) << what;
  }
}

TEST(ProcessInput, TheFirstLineIsTheScreenName) {
  struct Case {
    std::string typed;
    std::string name;
  };
  const Case kCases[] = {{"alice", "alice"}, {"", "Guest"}, {"@quit", "@quit"}, {"%s %n", "%s %n"}};
  for (const Case& c : kCases) {
    ClientFixture f;
    f.state.pendingInput = "UserName";
    processInput(f.state, c.typed, true);
    EXPECT_EQ(f.state.screenName.get(), c.name);
    EXPECT_EQ(f.seen->lines,
              (Lines{"\r\nWelcome, " + c.name, "\r\n[General Commands] @connect, @info, @quit",
                     "[KQ7 Commands] @kq7:top5, @kq7:login\r\n", "hint:@connect"}));
    EXPECT_TRUE(f.state.pendingInput.empty());
    EXPECT_FALSE(f.state.quitRequested);
    EXPECT_TRUE(f.link->sent.empty());
  }
}

TEST(ProcessInput, AScreenNameWithABarIsRefusedAndAskedAgain) {
  ClientFixture f;
  f.state.pendingInput = "UserName";
  processInput(f.state, "a|b", true);
  EXPECT_EQ(f.seen->lines, Lines{"A screen name cannot contain '|'"});
  EXPECT_EQ(f.state.pendingInput, "UserName");
  EXPECT_EQ(f.state.screenName.get(), "Bob");
}

TEST(ProcessInput, CommandsShowTheirTextsAndSendTheirRequests) {
  struct Case {
    std::string line;
    Lines shown;
    std::vector<Sent> sent;
    std::string pending;
  };
  const std::vector<Case> kCases = {
      {"@info", {"Querying Server"}, {{1, {{"msg", "CHAT_SEND_SERVER_INFO"}}}}, ""},
      {"@version", {"Querying Server"}, {{1, {{"msg", "CHAT_SEND_SERVER_INFO"}}}}, ""},
      {"@connect", {"Type the IP address of the server: ", "hint:localhost"}, {}, "ServerIP"},
      {"@open", {"Type the IP address of the server: ", "hint:localhost"}, {}, "ServerIP"},
      {"@download", {"File Name: "}, {}, "FileName"},
      {"@kq7:top5", {"\r\nRetrieving Top 5 KQ7 Players:"}, {{1, {{"msg", "KQ7_SEND_TOP_5"}}}}, ""},
      {"@kq7:login", {"username: "}, {}, "KQ7_username"},
      {"@kq7:RefreshResources", {}, {{1, {{"msg", "KQ7_SEND_USER_INFO"}}}}, ""},
      {"@users", {"\r\nKQ7Com User List", "---------------------------"}, {}, ""},
      // Everything else goes to the server: commands match whole lines, case included.
      {"hello there", {}, {{2, {{"msg", "hello there"}}}}, ""},
      {"@QUIT", {}, {{1, {{"msg", "QUIT"}}}}, ""},
      {"@quit ", {}, {{1, {{"msg", "quit "}}}}, ""},
      {" @quit", {}, {{2, {{"msg", " @quit"}}}}, ""},
      {"@", {}, {{1, {{"msg", ""}}}}, ""},
      {"", {}, {}, ""},
  };
  for (const Case& c : kCases) {
    ClientFixture f;
    processInput(f.state, c.line, true);
    EXPECT_EQ(f.seen->lines, c.shown) << c.line;
    expectSent(*f.link, c.sent, c.line);
    EXPECT_EQ(f.state.pendingInput, c.pending) << c.line;
    EXPECT_FALSE(f.state.quitRequested) << c.line;
  }
}

TEST(ProcessInput, PromptsTakeTheNextTypedLineWhateverItLooksLike) {
  ClientFixture f;
  processInput(f.state, "@download", true);
  processInput(f.state, "@quit", true);
  expectSent(*f.link, {{1, {{"msg", "DOWNLOAD_FILE"}, {"file_name", "@quit"}}}}, "download");
  EXPECT_FALSE(f.state.quitRequested);

  ClientFixture g;
  processInput(g.state, "@kq7:login", true);
  processInput(g.state, "gamer", true);
  EXPECT_EQ(g.state.pendingInput, "KQ7_password");
  processInput(g.state, "s3cret|@", true);
  EXPECT_EQ(g.seen->lines, (Lines{"username: ", "password:"}));
  expectSent(*g.link,
             {{1, {{"msg", "KQ7_LOGIN"}, {"username", "gamer"}, {"password", "s3cret|@"}}}},
             "login");
  EXPECT_TRUE(g.state.pendingInput.empty());
}

TEST(ProcessInput, TheRefreshLineKeepsAPendingPrompt) {
  ClientFixture f;
  f.state.debugMode = true;
  processInput(f.state, "@kq7:login", true);
  processInput(f.state, "gamer", true);
  processInput(f.state, "@kq7:RefreshResources", false);
  EXPECT_EQ(f.state.pendingInput, "KQ7_password");
  processInput(f.state, "pw", true);
  expectSent(*f.link,
             {{1, {{"msg", "KQ7_SEND_USER_INFO"}}},
              {1, {{"msg", "KQ7_LOGIN"}, {"username", "gamer"}, {"password", "pw"}}}},
             "refresh during the password prompt");
  EXPECT_EQ(f.seen->lines, (Lines{"username: ", "password:", "[sys] kq7:RefreshResources"}));
}

TEST(ProcessInput, DebugModeToggles) {
  ClientFixture f;
  processInput(f.state, "@debug_mode", true);
  EXPECT_TRUE(f.state.debugMode);
  processInput(f.state, "@debug_mode", true);
  EXPECT_FALSE(f.state.debugMode);
  EXPECT_EQ(f.seen->lines, (Lines{"(Debug Mode ON)", "(Debug Mode OFF)"}));
}

TEST(ProcessInput, UsersListsTheNewestListAsStored) {
  ClientFixture f;
  f.state.userList.set({"amy", "", "No Data"});
  processInput(f.state, "@UserList", true);
  EXPECT_EQ(f.seen->lines,
            (Lines{"\r\nKQ7Com User List", "---------------------------", "amy", "", "No Data"}));
}

TEST(ProcessInput, QuitClosesTheLinkAndEndsTheWorkers) {
  for (const char* line : {"@quit", "@exit"}) {
    ClientFixture f;
    processInput(f.state, line, true);
    EXPECT_FALSE(f.link->isAlive);
    EXPECT_EQ(f.seen->lines, Lines{"Connection Closed"});
    EXPECT_TRUE(f.state.quitRequested);
    // The network worker, which may wait without a time limit, is woken to see the flag.
    EXPECT_GE(f.link->wakes, 1);
    // With the socket closed, nothing goes out any more.
    f.state.quitRequested = false;
    processInput(f.state, "", true);
    processInput(f.state, "hi", true);
    EXPECT_EQ(f.seen->lines,
              (Lines{"Connection Closed", "Connection Invalid\n", "Connection Invalid\n"}));
    EXPECT_TRUE(f.link->sent.empty());
  }
}

TEST(ProcessInput, ALineWithoutAConnectionSaysItWasNotSent) {
  ClientFixture f;
  f.link->isConnected = false;
  processInput(f.state, "hello?", true);
  processInput(f.state, "@info", true);
  EXPECT_EQ(f.seen->lines, (Lines{"Not connected: message not sent", "Querying Server",
                                  "Not connected: message not sent"}));
}

TEST(ProcessInput, ConnectingLogsOnWithTheNameAndTheFrontEnd) {
  ClientFixture f;
  f.link->isConnected = false;
  processInput(f.state, "@connect", true);
  processInput(f.state, "", true);  // an empty host stays empty
  EXPECT_EQ(f.link->connectedTo, Lines{""});
  EXPECT_EQ(f.seen->lines.back(), "Attempting Connection to ");
  expectSent(*f.link,
             {{3,
               {{"msg", "INFO_LOGON"},
                {"screen_name", "Bob"},
                {"logon_msg",
                 "\r\nBob has logged on using version 0.70 - Generic Windows (Console)\r\n"}}}},
             "logon");
  EXPECT_TRUE(f.state.pendingInput.empty());
}

TEST(ProcessInput, AFailedConnectRaisesAndLeavesNoPromptPending) {
  ClientFixture f;
  f.link->isConnected = false;
  f.link->connectFailure = "Unable to resolve host 'nowhere.invalid'";
  processInput(f.state, "@connect", true);
  try {
    processInput(f.state, "nowhere.invalid", true);
    ADD_FAILURE() << "nothing raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to resolve host 'nowhere.invalid'");
  }
  EXPECT_TRUE(f.state.pendingInput.empty());
  EXPECT_TRUE(f.link->sent.empty());
}

}  // namespace
