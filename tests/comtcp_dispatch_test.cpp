#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "client_fakes.h"
#include "comtcp.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

message incoming(int type, std::vector<std::pair<std::string, std::string>> pairs,
                 std::string from = "alice") {
  message m;
  m.isValid = m.isComplete = true;
  m.type = type;
  m.from = std::move(from);
  for (auto& [key, value] : pairs) m.setValue(key, value);
  return m;
}

std::vector<std::string> sentMsgs(const FakeLink& link) {
  std::vector<std::string> out;
  for (const message& m : link.sentMessages()) out.push_back(m.getMsg());
  return out;
}

TEST(DispatchMessage, EachKindShowsItsLine) {
  struct Case {
    message m;
    Lines shown;
  };
  const std::vector<Case> kCases = {
      {incoming(2, {{"msg", "hello"}}), {"[alice] hello"}},
      {incoming(2, {{"msg", "hello"}}, ""), {"[] hello"}},
      {incoming(2, {{"msg", "100% %s %n"}}), {"[alice] 100% %s %n"}},
      {incoming(2, {}), {"[alice] No Data"}},
      {incoming(3, {{"msg", "server says"}}), {"server says"}},
      {incoming(1, {{"msg", "anything"}, {"x", "y"}}), {"A remote command packet was issued."}},
      {incoming(4, {{"msg", "user_list"}}), {"Unknown Data Stream: user_list"}},
      {incoming(4, {}), {"Unknown Data Stream: No Data"}},
      {incoming(0, {{"msg", "x"}}), {"Packet of unknown data type received."}},
      {incoming(5, {{"msg", "x"}}), {"Packet of unknown data type received."}},
      {incoming(-1, {{"msg", "x"}}), {"Packet of unknown data type received."}},
  };
  for (const Case& c : kCases) {
    ClientFixture f;
    message m = c.m;
    dispatchMessage(f.state, m);
    EXPECT_EQ(f.seen->lines, c.shown) << c.shown.front();
    EXPECT_TRUE(f.link->sent.empty());
  }
}

TEST(DispatchMessage, ServerTextCannotDriveTheTerminal) {
  ClientFixture f;
  message chat = incoming(2, {{"msg", "\x1b[2J\a\x7f\r\n\tok\r\xff"}}, "ev\x1b]0;t\ail");
  dispatchMessage(f.state, chat);
  message info = incoming(3, {{"msg", "\x1b[H"}});
  dispatchMessage(f.state, info);
  message unknown = incoming(4, {{"msg", "\x9b\x1b"}});
  dispatchMessage(f.state, unknown);
  message file = incoming(4, {{"msg", "RECEIVE_FILE"}, {"file_name", "a\x1b[1mb/"}});
  dispatchMessage(f.state, file);
  EXPECT_EQ(f.seen->lines,
            (Lines{"[ev^[]0;t^Gil] ^[[2J^G^?\r\n\tok^M\xff", "^[[H", "Unknown Data Stream: \x9b^[",
                   "File Received: a^[[1mb/", "Unable to receive file data"}));
}

TEST(DispatchMessage, RefreshChatAsksForTheUserListFirst) {
  struct Case {
    std::string value;
    int type;
    bool asks;
  };
  const Case kCases[] = {{"yes", 2, true},  {"yes", 4, true},   {"yes", 9, true},
                         {"Yes", 2, false}, {"yes ", 2, false}, {"", 2, false}};
  for (const Case& c : kCases) {
    ClientFixture f;
    message m = incoming(c.type, {{"msg", "x"}, {"refresh_chat", c.value}});
    dispatchMessage(f.state, m);
    EXPECT_EQ(sentMsgs(*f.link), c.asks ? Lines{"CHAT_SEND_USER_LIST"} : Lines{})
        << c.value << " " << c.type;
  }
}

TEST(DispatchMessage, OnlyAnExactLoggedInClueStartsTheGameSession) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> pairs;
    bool confirms;
  };
  const Case kCases[] = {{{{"msg", "Login successful"}, {"Clue", "LOGGED_IN"}}, true},
                         {{{"msg", "Login successful"}, {"Clue", "logged_in"}}, false},
                         {{{"msg", "Login successful"}}, false}};
  for (const Case& c : kCases) {
    ClientFixture f;
    message m = incoming(3, c.pairs);
    dispatchMessage(f.state, m);
    EXPECT_EQ(f.seen->lines, Lines{"Login successful"});
    EXPECT_EQ(sentMsgs(*f.link), c.confirms ? Lines{"KQ7_SEND_USER_INFO"} : Lines{});
    EXPECT_EQ(f.state.gameLoggedIn, c.confirms);
  }
}

TEST(DispatchMessage, UserListsFollowTheCount) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> names;
    std::string count;
    bool converts;
    Lines list;
  };
  const std::vector<Case> kCases = {
      {{{"0", "amy"}, {"1", "bo"}, {"2", "cy"}}, "3", true, {"amy", "bo", "cy"}},
      {{{"0", "amy"}}, "0", true, {}},
      {{{"0", "amy"}}, "-2", true, {}},
      {{{"0", "amy"}}, "2", true, {"amy", "No Data"}},
      {{{"0", "amy"}, {"1", "bo"}}, "+2", true, {"amy", "bo"}},
      {{{"0", "a\x1b[31m"}}, "1", true, {"a^[[31m"}},
      {{}, " 1", false, {}},
      {{}, "two", false, {}},
      {{}, "2147483648", false, {}},
      {{}, "", false, {}},
  };
  for (const Case& c : kCases) {
    ClientFixture f;
    auto pairs = c.names;
    pairs.emplace_back("msg", "USER_LIST");
    pairs.emplace_back("user_count", c.count);
    message m = incoming(4, pairs);
    dispatchMessage(f.state, m);
    if (c.converts) {
      ASSERT_EQ(f.seen->userLists.size(), 1u) << c.count;
      EXPECT_EQ(f.seen->userLists[0], c.list) << c.count;
      EXPECT_TRUE(f.seen->lines.empty());
    } else {
      EXPECT_TRUE(f.seen->userLists.empty()) << c.count;
      EXPECT_EQ(f.seen->lines, Lines{"Unable to load user list"}) << c.count;
    }
  }
  // A missing count is refused too, and a hostile count does not take all memory.
  ClientFixture f;
  message missing = incoming(4, {{"msg", "USER_LIST"}});
  dispatchMessage(f.state, missing);
  EXPECT_EQ(f.seen->lines, Lines{"Unable to load user list"});
  message huge = incoming(4, {{"msg", "USER_LIST"}, {"user_count", "2147483647"}});
  dispatchMessage(f.state, huge);
  ASSERT_EQ(f.seen->userLists.size(), 1u);
  EXPECT_LE(f.seen->userLists[0].size(), std::size_t{1} << 20);
}

TEST(DispatchMessage, ResourceTotalsGoToTheFrontEndInOrder) {
  ClientFixture f;
  message all = incoming(4, {{"msg", "RESOURCE_DATA"},
                             {"Influence", "1"},
                             {"Food", "2"},
                             {"Minerals", "3"},
                             {"Energy", "4"},
                             {"ResearchPoints", "5"},
                             {"kq7power", "6"}});
  dispatchMessage(f.state, all);
  message partial = incoming(4, {{"msg", "RESOURCE_DATA"}, {"Influence", "\a1"}});
  dispatchMessage(f.state, partial);
  ASSERT_EQ(f.seen->resources.size(), 2u);
  EXPECT_EQ(f.seen->resources[0], (Lines{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(f.seen->resources[1],
            (Lines{"^G1", "No Data", "No Data", "No Data", "No Data", "No Data"}));

  f.state.hooks.showResources = [](auto&&...) { throw std::runtime_error("screen gone"); };
  dispatchMessage(f.state, all);
  EXPECT_EQ(f.seen->lines, Lines{"Error reading resource data."});
}

// Received files land in a fresh working directory.
class ReceivedFiles : public ::testing::Test {
 protected:
  void receive(const std::string& name, const std::string& data) {
    message m = incoming(4, {{"msg", "RECEIVE_FILE"}, {"file_name", name}, {"file_data", data}});
    dispatchMessage(f.state, m);
  }

  ScratchDir root_{"kq7-files"};
  ScopedCurrentPath inWork_{root_.sub("work")};
  ClientFixture f;
};

TEST_F(ReceivedFiles, BytesLandExactlyAndReplaceAnOlderFile) {
  std::string bytes = "zero\0one\r\n"s;
  for (int c = 128; c < 256; ++c) bytes.push_back(static_cast<char>(c));
  {
    std::ofstream old("notes.txt", std::ios::binary);
    old << std::string(100000, 'o');
  }
  receive("notes.txt", bytes);
  EXPECT_EQ(readFile("notes.txt"), bytes);
  receive("empty.bin", "");
  EXPECT_TRUE(fs::exists("empty.bin"));
  EXPECT_EQ(fs::file_size("empty.bin"), 0u);
  EXPECT_EQ(f.seen->lines, (Lines{"File Received: notes.txt", "File Received: empty.bin"}));
  EXPECT_EQ(f.seen->filesReceived, 2);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 2);
}

TEST_F(ReceivedFiles, MissingKeysUseNoData) {
  message m = incoming(4, {{"msg", "RECEIVE_FILE"}});
  dispatchMessage(f.state, m);
  EXPECT_EQ(readFile("No Data"), "No Data");
  EXPECT_EQ(f.seen->lines, Lines{"File Received: No Data"});
}

TEST_F(ReceivedFiles, NamesThatLeaveTheWorkingDirectoryAreRefused) {
  const std::string outside = (root_.path() / "outside").string();
  const char* const kRefused[] = {"", ".", "..", "../outside", "a/b", "sub\\x", "/tmp/kq7-x"};
  fs::create_directories("a");
  for (const char* name : kRefused) {
    f.seen->lines.clear();
    receive(name, "payload");
    EXPECT_EQ(f.seen->lines,
              (Lines{"File Received: " + std::string(name), "Unable to receive file data"}))
        << name;
  }
  receive(outside, "payload");
  receive("nul\0byte"s, "payload");
  EXPECT_EQ(f.seen->filesReceived, 9);
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_FALSE(fs::exists("/tmp/kq7-x"));
  // Only the directory made above is here.
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(root_.path()),
                          fs::recursive_directory_iterator()),
            2);
}

// Runs body as an ordinary user, in a child that gives up root when the tests run as root
// (root may write any file). True when body returned true.
bool asOrdinaryUser(const std::function<bool()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    const bool ok =
        ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && body();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(ReceivedFiles, AFileThatCannotBeWrittenKeepsTheOldOne) {
  using fs::perms;
  {
    std::ofstream old("keep.txt");
    old << "old";
  }
  fs::create_directories("adir");
  receive("adir", "data");
  EXPECT_EQ(f.seen->lines, (Lines{"File Received: adir", "Unable to receive file data"}));
  EXPECT_TRUE(fs::is_directory("adir"));

  const auto keptOld = [&] {
    receive("keep.txt", "new");
    return readFile("keep.txt") == "old" && f.seen->lines.back() == "Unable to receive file data";
  };
  // The ordinary user must reach the working directory.
  fs::permissions(root_.path(), perms::owner_all | perms::group_exec | perms::others_exec);
  // A file that may not be written, in a directory that may: refused as an open for
  // writing would refuse it, although a rename could replace it.
  fs::permissions(".", perms::all);
  fs::permissions("keep.txt", perms::owner_read | perms::group_read | perms::others_read);
  EXPECT_TRUE(asOrdinaryUser(keptOld)) << "a read-only file was replaced";
  // A directory that may not be written.
  fs::permissions(".", perms::owner_read | perms::owner_exec | perms::group_read |
                           perms::group_exec | perms::others_read | perms::others_exec);
  fs::permissions("keep.txt", perms::all);
  EXPECT_TRUE(asOrdinaryUser(keptOld)) << "a file in a read-only directory was replaced";
  fs::permissions(".", perms::owner_all);
}

}  // namespace
