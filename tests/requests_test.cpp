#include "server/requests.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server_test_support.h"
#include "utc_time.h"

namespace {

using testsupport::downloadRequest;
using testsupport::logonMessage;
using testsupport::request;

// 2009-01-05 07:03:09.750 UTC.
constexpr std::int64_t kStart = 1231138989750;

// A reply as one line: "to TYPE from 'msg'" and every other key except the two stamps.
struct Reply {
  ConnectionId to;
  message m;
  bool isFile;
  std::string summary;
};

class RoomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(files());
    makeRoom(Accounts::demo());
  }

  std::filesystem::path files() const { return dir.path() / "files"; }

  void makeRoom(Accounts accounts, std::size_t maxFileBytes = kMaxFileBytes) {
    RoomSettings settings;
    settings.filesDir = files();
    settings.accounts = std::move(accounts);
    settings.maxFileBytes = maxFileBytes;
    settings.clock = [this] { return clock; };
    settings.log = [this](std::string_view line) { logLines.emplace_back(line); };
    room = std::make_unique<ChatRoom>(std::move(settings));
  }

  Reply decode(const Delivery& d) const {
    Reply reply{d.to, message(), d.isFile(), {}};
    message& m = reply.m;
    const std::string bytes = wholeWireBytes(d);
    EXPECT_EQ(m.parse(bytes), bytes.size());
    EXPECT_TRUE(m.isValid && m.isComplete);
    // Every message from the server carries the same stamps.
    EXPECT_EQ(m.time, -1);
    EXPECT_EQ(m.getValue("_msgTime"), utcTimeText(clock));
    EXPECT_EQ(m.getValue("_msgVersion"), "1.0");
    reply.summary = std::to_string(d.to) + " " + std::to_string(m.type) + " " + m.from + " '" +
                    m.getMsg() + "'";
    for (const auto& [key, value] : m.values) {
      if (key != "msg" && key != "_msgTime" && key != "_msgVersion") {
        reply.summary += " " + key + "=" + value;
      }
    }
    return reply;
  }

  std::vector<Reply> replies(const std::vector<Delivery>& deliveries) const {
    std::vector<Reply> out;
    for (const Delivery& d : deliveries) out.push_back(decode(d));
    return out;
  }
  std::vector<Reply> send(ConnectionId id, const message& m) {
    return replies(room->handle(id, m));
  }
  std::vector<std::string> summaries(const std::vector<Reply>& list) const {
    std::vector<std::string> out;
    for (const Reply& r : list) out.push_back(r.summary);
    return out;
  }
  std::vector<std::string> ask(ConnectionId id, const message& m) { return summaries(send(id, m)); }
  std::vector<std::string> command(ConnectionId id, const std::string& name) {
    return ask(id, request(msgCommand, name));
  }
  std::vector<std::string> logOn(ConnectionId id, const std::string& name) {
    room->connect(id);
    return ask(id, logonMessage(name));
  }
  std::vector<std::string> download(ConnectionId id, const std::string& name) {
    return ask(id, downloadRequest(name));
  }
  std::vector<std::string> gameLogin(ConnectionId id, const char* user, const char* password) {
    message m = request(msgCommand, "KQ7_LOGIN");
    if (user) m.setValue("username", user);
    if (password) m.setValue("password", password);
    return ask(id, m);
  }
  bool logged(const std::string& line) const {
    return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
  }

  ScratchDir dir;
  std::int64_t clock = kStart;
  std::vector<std::string> logLines;
  std::unique_ptr<ChatRoom> room;
};

std::string welcome(ConnectionId id, const std::string& name) {
  return std::to_string(id) + " 3 server 'Welcome to the local KQ7Com server, " + name +
         "' refresh_chat=yes";
}
std::string notice(ConnectionId id, const std::string& name) {
  return std::to_string(id) + " 3 server '\r\n" + name +
         " has logged on using version 0.70 - test\r\n' refresh_chat=yes";
}
std::string text(ConnectionId id, const std::string& line) {
  return std::to_string(id) + " 3 server '" + line + "'";
}

using Lines = std::vector<std::string>;

TEST_F(RoomTest, LogonWelcomesTheNewUserAndTellsTheOthers) {
  room->connect(9);  // connected but never logged on: hears nothing
  EXPECT_EQ(logOn(1, "alice"), Lines({welcome(1, "alice")}));
  EXPECT_EQ(logOn(2, "bob"), Lines({welcome(2, "bob"), notice(1, "bob")}));
  EXPECT_TRUE(logged("bob logged on (connection 2)"));

  message plain = request(msgInfo, "INFO_LOGON");
  plain.setValue("screen_name", "carol");
  room->connect(3);
  EXPECT_EQ(ask(3, plain),
            Lines({welcome(3, "carol"), "1 3 server '\r\ncarol has logged on\r\n' refresh_chat=yes",
                   "2 3 server '\r\ncarol has logged on\r\n' refresh_chat=yes"}));

  EXPECT_EQ(ask(2, logonMessage("robert")), Lines({text(2, "Already logged on as bob")}));
  EXPECT_EQ(command(9, "CHAT_SEND_USER_LIST"),
            Lines({"9 4 server 'USER_LIST' 0=alice 1=bob 2=carol user_count=3"}));
}

TEST_F(RoomTest, UnsuitableScreenNamesAreRefused) {
  struct Case {
    std::optional<std::string> name;
    std::string reason;
  };
  const Case kCases[] = {
      {std::nullopt, "the screen name is empty"},
      {"", "the screen name is empty"},
      {"a|b", "a screen name cannot contain '|'"},
      {"a\r\nb", "a screen name cannot contain control characters"},
      {std::string("a\0b", 3), "a screen name cannot contain control characters"},
      {std::string(65, 'x'), "a screen name is at most 64 bytes"},
  };
  ConnectionId id = 1;
  for (const Case& c : kCases) {
    room->connect(id);
    message m = request(msgInfo, "INFO_LOGON");
    if (c.name) m.setValue("screen_name", *c.name);
    EXPECT_EQ(ask(id, m), Lines({text(id, "Logon refused: " + c.reason)}))
        << c.name.value_or("(none)");
    EXPECT_TRUE(logged("connection " + std::to_string(id) + ": refused logon: " + c.reason));
    EXPECT_EQ(ask(id, request(msgChat, "hi")), Lines({text(id, "Log on before chatting")}));
    ++id;
  }
  EXPECT_EQ(command(1, "CHAT_SEND_USER_LIST"), Lines({"1 4 server 'USER_LIST' user_count=0"}));
  EXPECT_EQ(logOn(id, std::string(64, 'x')), Lines({welcome(id, std::string(64, 'x'))}));
}

TEST_F(RoomTest, ChatGoesToEveryoneLoggedOnFromTheSpeaker) {
  logOn(1, "alice");
  logOn(2, "bob");
  room->connect(3);
  const std::string line = "hi | {xxKQ7COMxx} all";
  const std::vector<Reply> out = send(2, request(msgChat, line, "spoofed"));
  EXPECT_EQ(summaries(out), Lines({"1 2 bob '" + line + "'", "2 2 bob '" + line + "'"}));
  // One buffer serves the whole broadcast.
  const std::vector<Delivery> raw = room->handle(1, request(msgChat, "x"));
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(raw[0].bytes, raw[1].bytes);
}

TEST_F(RoomTest, LeavingIsAnnouncedAndTheUserListFollows) {
  logOn(1, "alice");
  logOn(2, "bob");
  logOn(3, "carol");
  room->connect(4);
  EXPECT_EQ(summaries(replies(room->disconnect(4))), Lines());
  EXPECT_EQ(summaries(replies(room->disconnect(2))),
            Lines({"1 3 server '\r\nbob has left\r\n' refresh_chat=yes",
                   "3 3 server '\r\nbob has left\r\n' refresh_chat=yes"}));
  EXPECT_TRUE(logged("bob logged off (connection 2)"));
  EXPECT_EQ(command(1, "CHAT_SEND_USER_LIST"),
            Lines({"1 4 server 'USER_LIST' 0=alice 1=carol user_count=2"}));
  EXPECT_EQ(room->usersLoggedOn(), 2u);
}

TEST_F(RoomTest, ServerInfoTellsVersionUptimeAndUsers) {
  logOn(1, "alice");
  struct Case {
    std::int64_t secondsLater;
    std::string uptime;
  };
  const Case kCases[] = {
      {0, "00:00:00"},
      {125, "00:02:05"},
      {86400 + 3661, "1 day 01:01:01"},
      {2 * 86400 + 59, "2 days 00:00:59"},
  };
  for (const Case& c : kCases) {
    clock = kStart + c.secondsLater * 1000;
    EXPECT_EQ(command(1, "CHAT_SEND_SERVER_INFO"),
              Lines({text(1, "server: KQ7Com local server version 1.0, up " + c.uptime +
                                 ", 1 user logged on")}));
  }
  logOn(2, "bob");
  EXPECT_EQ(command(2, "CHAT_SEND_SERVER_INFO"),
            Lines({text(2,
                        "server: KQ7Com local server version 1.0, up 2 days 00:00:59, 2 "
                        "users logged on")}));
}

TEST_F(RoomTest, DownloadSendsTheFileBytesExactly) {
  using namespace std::string_literals;
  const std::string content = "\0|{xxKQ7COMxx}-1|x|\xff\r\n"s + std::string(5000, 'z');
  dir.write("files/data.bin", content);
  dir.write("files/empty", "");
  room->connect(1);

  for (const auto& [name, bytes] : {std::pair{"data.bin"s, content}, std::pair{"empty"s, ""s}}) {
    const std::vector<Reply> out = send(1, downloadRequest(name));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].isFile);
    EXPECT_EQ(out[0].m.type, msgData);
    EXPECT_EQ(out[0].m.from, "server");
    EXPECT_EQ(out[0].m.getMsg(), "RECEIVE_FILE");
    EXPECT_EQ(out[0].m.getValue("file_name"), name);
    EXPECT_EQ(out[0].m.getValue("file_data"), bytes) << name;
    EXPECT_EQ(out[0].m.values.size(), 5u);
  }
}

TEST_F(RoomTest, OnlyRegularFilesDirectlyInTheDirectoryAreServed) {
  dir.write("x", "outside");
  dir.write("files/real", "inside");
  std::filesystem::create_directory(files() / "a");
  dir.write("files/a/b", "nested");
  ASSERT_EQ(::mkfifo((files() / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(files() / "real", files() / "link");
  std::filesystem::create_symlink("../x", files() / "out");
  room->connect(1);

  const std::string kNames[] = {"../x",
                                "/etc/passwd",
                                "a/b",
                                "a\\b",
                                "a",
                                ".",
                                "..",
                                "",
                                "missing",
                                "fifo",
                                "link",
                                "out",
                                std::string(300, 'n'),
                                std::string("real\0", 5)};
  for (const std::string& name : kNames) {
    EXPECT_EQ(download(1, name), Lines({text(1, "File not found: " + name)})) << name;
  }
  EXPECT_EQ(command(1, "DOWNLOAD_FILE"), Lines({text(1, "File not found: ")}));
  EXPECT_EQ(download(1, "real").size(), 1u);
}

TEST_F(RoomTest, FilesOverTheLimitAreRefused) {
  makeRoom(Accounts::demo(), 10);
  dir.write("files/ten", std::string(10, 't'));
  dir.write("files/eleven", std::string(11, 'e'));
  room->connect(1);
  const std::vector<Reply> ten = send(1, downloadRequest("ten"));
  ASSERT_EQ(ten.size(), 1u);
  EXPECT_EQ(ten[0].m.getValue("file_data"), std::string(10, 't'));
  EXPECT_EQ(download(1, "eleven"),
            Lines({text(1, "File too large: eleven (the limit is 10 bytes)")}));
}

TEST_F(RoomTest, GameLoginChecksNameAndPassword) {
  room->connect(1);
  struct Case {
    const char* user;
    const char* password;
    bool succeeds;
  };
  const Case kCases[] = {
      {"demo", "demo", true},         {"alice", "wonderland", true},
      {"alice", "Wonderland", false}, {"Alice", "wonderland", false},
      {"alice", "", false},           {"nobody", "demo", false},
      {"alice", nullptr, false},      {nullptr, "wonderland", false},
  };
  for (const Case& c : kCases) {
    const std::string expected =
        c.succeeds ? text(1, "Login successful") + " Clue=LOGGED_IN" : text(1, "Login failed");
    EXPECT_EQ(gameLogin(1, c.user, c.password), Lines({expected}))
        << (c.user ? c.user : "(none)") << " / " << (c.password ? c.password : "(none)");
  }
  EXPECT_TRUE(logged("connection 1: game login as 'alice'"));
  EXPECT_TRUE(logged("connection 1: game login as 'nobody' failed"));
}

TEST_F(RoomTest, ResourcesNeedAGameLoginAndGrowWithTime) {
  makeRoom(Accounts::parse(
      accountLine("ann", "pw", "salt") + ":10:20:30:40:50:60\n" + accountLine("ben", "pw", "salt"),
      "test"));
  room->connect(1);
  EXPECT_EQ(command(1, "KQ7_SEND_USER_INFO"), Lines({text(1, "Not logged in")}));
  gameLogin(1, "ann", "pw");
  EXPECT_EQ(command(1, "KQ7_SEND_USER_INFO"),
            Lines({"1 4 server 'RESOURCE_DATA' Energy=40 Food=20 Influence=10 Minerals=30 "
                   "ResearchPoints=50 kq7power=60"}));
  // Two minutes later, the client's refresh sees every total grown.
  clock += 120000;
  const Lines later = {
      "1 4 server 'RESOURCE_DATA' Energy=52 Food=44 Influence=12 Minerals=46 "
      "ResearchPoints=56 kq7power=64"};
  EXPECT_EQ(command(1, "KQ7_SEND_USER_INFO"), later);
  // A failed login leaves the earlier one standing.
  gameLogin(1, "ann", "wrong");
  EXPECT_EQ(command(1, "KQ7_SEND_USER_INFO"), later);
  gameLogin(1, "ben", "pw");
  clock = kStart;
  EXPECT_EQ(command(1, "KQ7_SEND_USER_INFO"),
            Lines({"1 4 server 'RESOURCE_DATA' Energy=1500 Food=4000 Influence=1000 "
                   "Minerals=2500 ResearchPoints=300 kq7power=100"}));
}

TEST_F(RoomTest, TopFiveRanksAccountsByPower) {
  const auto with = [](std::string name, int power) {
    return accountLine(name, "pw", "s") + ":0:0:0:0:0:" + std::to_string(power) + "\n";
  };
  makeRoom(Accounts::parse(
      with("a", 5) + with("b", 9) + with("d", 1) + with("c", 9) + with("e", 7) + with("f", 3),
      "test"));
  room->connect(1);
  EXPECT_EQ(command(1, "KQ7_SEND_TOP_5"),
            Lines({text(1,
                        "1. b (power 9)\r\n2. c (power 9)\r\n3. e (power 7)\r\n4. a (power 5)\r\n"
                        "5. f (power 3)")}));
  makeRoom(Accounts::parse(with("a", 5) + with("b", 9), "test"));
  room->connect(1);
  clock += 60000;
  EXPECT_EQ(command(1, "KQ7_SEND_TOP_5"), Lines({text(1, "1. b (power 11)\r\n2. a (power 7)")}));
  makeRoom(Accounts());
  room->connect(1);
  EXPECT_EQ(command(1, "KQ7_SEND_TOP_5"), Lines({text(1, "No game accounts")}));
}

TEST_F(RoomTest, UnknownCommandsAreNamedInTheReply) {
  room->connect(1);
  const std::string kCommands[] = {"FOO", "", "chat_send_user_list", "CHAT_SEND_USER_LIST "};
  for (const std::string& name : kCommands) {
    EXPECT_EQ(command(1, name), Lines({text(1, "Unknown command: " + name)})) << name;
  }
  message noMsg = request(msgCommand, "");
  noMsg.values.clear();
  EXPECT_EQ(ask(1, noMsg), Lines({text(1, "Unknown command: No Data")}));
}

TEST_F(RoomTest, OtherMessageTypesAreLoggedAndIgnored) {
  logOn(1, "alice");
  const std::int32_t kTypes[] = {msgNone, msgData, 5, -1, msgInfo};
  for (std::int32_t type : kTypes) {
    message m = request(msgInfo, "HELLO");
    m.type = type;
    EXPECT_EQ(ask(1, m), Lines()) << type;
    EXPECT_TRUE(
        logged("connection 1: ignored a message of type " + std::to_string(type) + " (HELLO)"))
        << type;
  }
}

}  // namespace
