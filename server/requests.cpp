#include "server/requests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/clock.h"
#include "server/control_char.h"
#include "utc_time.h"

namespace {

constexpr std::size_t kMaxFileNameBytes = 255;
constexpr std::size_t kTopCount = 5;

void logToStandardError(std::string_view line) {
  std::string out(line);
  out.push_back('\n');
  // One write a line, so lines from one process never interleave mid-line.
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

// The reason a screen name is refused, or empty when it is fine.
std::string screenNameProblem(std::string_view name) {
  if (name.empty()) return "the screen name is empty";
  if (name.size() > kMaxScreenNameBytes) {
    return "a screen name is at most " + std::to_string(kMaxScreenNameBytes) + " bytes";
  }
  // The name becomes the sender field of relayed chat, which ends at the first "|".
  if (name.find('|') != std::string_view::npos) return "a screen name cannot contain '|'";
  for (char c : name) {
    if (isControlChar(c)) return "a screen name cannot contain control characters";
  }
  return {};
}

// Only names of entries directly inside the files directory.
bool isPlainFileName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxFileNameBytes && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::string twoDigits(std::int64_t value) {
  return (value < 10 ? "0" : "") + std::to_string(value);
}

std::string uptimeText(std::int64_t seconds) {
  const std::int64_t days = seconds / 86400;
  std::string text;
  if (days > 0) text = std::to_string(days) + (days == 1 ? " day " : " days ");
  return text + twoDigits(seconds / 3600 % 24) + ":" + twoDigits(seconds / 60 % 60) + ":" +
         twoDigits(seconds % 60);
}

}  // namespace

Resources resourcesAfter(const Resources& start, std::int64_t seconds) {
  const auto grown = [seconds](std::int64_t base, std::int64_t perMinute) {
    return base + perMinute * seconds / 60;
  };
  const Resources& r = kGrowthPerMinute;
  return {grown(start.influence, r.influence),
          grown(start.food, r.food),
          grown(start.minerals, r.minerals),
          grown(start.energy, r.energy),
          grown(start.researchPoints, r.researchPoints),
          grown(start.power, r.power)};
}

std::string printable(std::string_view text, std::size_t limit) {
  std::string out;
  for (char c : text.substr(0, limit)) out.push_back(isControlChar(c) ? '?' : c);
  if (text.size() > limit) out += "...";
  return out;
}

ChatRoom::ChatRoom(RoomSettings settings) : settings_(std::move(settings)) {
  if (!settings_.clock) settings_.clock = nowUnixMillis;
  if (!settings_.log) settings_.log = logToStandardError;
  filesDir_.reset(::open(settings_.filesDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!filesDir_) {
    throw std::runtime_error("Unable to open files directory '" + settings_.filesDir.string() +
                             "': " + std::strerror(errno));
  }
  startMillis_ = now();
}

std::int64_t ChatRoom::now() const {
  return settings_.clock();
}

std::int64_t ChatRoom::secondsUp() const {
  return std::max<std::int64_t>(0, (now() - startMillis_) / 1000);
}

void ChatRoom::log(std::string_view line) const {
  settings_.log(line);
}

ChatRoom::Session* ChatRoom::find(ConnectionId id) {
  const auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : &it->second;
}

void ChatRoom::stamp(message& m) const {
  m.setValue("_msgTime", utcTimeText(now()));
  m.setValue("_msgVersion", std::string(kServerVersion));
}

std::shared_ptr<const std::string> ChatRoom::wire(message& m) const {
  stamp(m);
  return std::make_shared<const std::string>(m.serialize());
}

std::shared_ptr<const std::string> ChatRoom::serverText(msgType type, std::string text,
                                                        bool refreshUserList) const {
  message m(-1, settings_.serverName, std::move(text), type);
  // Clients answer "refresh_chat" with a request for the user list.
  if (refreshUserList) m.setValue("refresh_chat", "yes");
  return wire(m);
}

void ChatRoom::toLoggedOn(std::vector<Delivery>& out,
                          const std::shared_ptr<const std::string>& bytes,
                          ConnectionId except) const {
  out.reserve(out.size() + logonOrder_.size());
  for (ConnectionId id : logonOrder_) {
    if (id != except) out.push_back({id, bytes});
  }
}

void ChatRoom::connect(ConnectionId id) {
  sessions_.emplace(id, Session{id, {}, nullptr});
}

std::vector<Delivery> ChatRoom::disconnect(ConnectionId id) {
  const auto it = sessions_.find(id);
  if (it == sessions_.end()) return {};
  const std::string name = std::move(it->second.screenName);
  sessions_.erase(it);
  if (name.empty()) return {};

  std::erase(logonOrder_, id);
  log(name + " logged off (connection " + std::to_string(id) + ")");
  std::vector<Delivery> out;
  toLoggedOn(out, serverText(msgInfo, "\r\n" + name + " has left\r\n", true));
  return out;
}

std::vector<Delivery> ChatRoom::handle(ConnectionId id, const message& m) {
  Session* session = find(id);
  if (session == nullptr) return {};
  switch (m.type) {
    case msgInfo:
      if (m.getMsg() == "INFO_LOGON") return logon(*session, m);
      break;
    case msgChat:
      return chat(*session, m);
    case msgCommand:
      return command(*session, m);
    default:
      break;
  }
  // Clients send nothing else; a reply would only puzzle them.
  log("connection " + std::to_string(id) + ": ignored a message of type " + std::to_string(m.type) +
      " (" + printable(m.getMsg()) + ")");
  return {};
}

std::vector<Delivery> ChatRoom::logon(Session& session, const message& m) {
  const ConnectionId id = session.id;
  if (!session.screenName.empty()) {
    return {{id, serverText(msgInfo, "Already logged on as " + session.screenName)}};
  }
  const std::string* name = m.findValue("screen_name");
  const std::string problem = screenNameProblem(name ? *name : std::string_view());
  if (!problem.empty()) {
    log("connection " + std::to_string(id) + ": refused logon: " + problem);
    return {{id, serverText(msgInfo, "Logon refused: " + problem)}};
  }

  session.screenName = *name;
  logonOrder_.push_back(id);
  log(session.screenName + " logged on (connection " + std::to_string(id) + ")");

  std::vector<Delivery> out;
  out.push_back(
      {id, serverText(msgInfo, "Welcome to the local KQ7Com server, " + session.screenName, true)});
  const std::string* notice = m.findValue("logon_msg");
  toLoggedOn(
      out,
      serverText(msgInfo, notice ? *notice : "\r\n" + session.screenName + " has logged on\r\n",
                 true),
      id);
  return out;
}

std::vector<Delivery> ChatRoom::chat(Session& session, const message& m) {
  if (session.screenName.empty()) {
    return {{session.id, serverText(msgInfo, "Log on before chatting")}};
  }
  const std::string* text = m.findValue("msg");
  message relay(-1, session.screenName, text ? *text : std::string(), msgChat);
  std::vector<Delivery> out;
  toLoggedOn(out, wire(relay));
  return out;
}

std::vector<Delivery> ChatRoom::command(Session& session, const message& m) {
  const ConnectionId id = session.id;
  const std::string name = m.getCommand();
  std::shared_ptr<const std::string> reply;
  if (name == "CHAT_SEND_USER_LIST") {
    reply = userList();
  } else if (name == "CHAT_SEND_SERVER_INFO") {
    reply = serverInfo();
  } else if (name == "DOWNLOAD_FILE") {
    const std::string* file = m.findValue("file_name");
    return {download(id, file ? *file : std::string_view())};
  } else if (name == "KQ7_LOGIN") {
    reply = login(session, m);
  } else if (name == "KQ7_SEND_USER_INFO") {
    reply = resources(session);
  } else if (name == "KQ7_SEND_TOP_5") {
    reply = topFive();
  } else {
    reply = serverText(msgInfo, "Unknown command: " + name);
  }
  return {{id, std::move(reply)}};
}

std::shared_ptr<const std::string> ChatRoom::userList() const {
  message m(-1, settings_.serverName, "USER_LIST", msgData);
  m.setValue("user_count", std::to_string(logonOrder_.size()));
  for (std::size_t i = 0; i < logonOrder_.size(); ++i) {
    m.setValue(std::to_string(i), sessions_.at(logonOrder_[i]).screenName);
  }
  return wire(m);
}

std::shared_ptr<const std::string> ChatRoom::serverInfo() const {
  const std::size_t users = logonOrder_.size();
  return serverText(msgInfo, settings_.serverName + ": KQ7Com local server version " +
                                 std::string(kServerVersion) + ", up " + uptimeText(secondsUp()) +
                                 ", " + std::to_string(users) + (users == 1 ? " user" : " users") +
                                 " logged on");
}

Delivery ChatRoom::download(ConnectionId to, std::string_view name) const {
  const std::string shown(name);
  const auto text = [&](std::string line) {
    return Delivery{to, serverText(msgInfo, std::move(line))};
  };
  if (!isPlainFileName(name)) return text("File not found: " + shown);

  // No symbolic links out of the directory, and no waiting on a FIFO's writer.
  UniqueFd fd(::openat(filesDir_.get(), shown.c_str(),
                       O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG) {
      return text("File not found: " + shown);
    }
    return text("Unable to read file: " + shown + ": " + std::strerror(error));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return text("File not found: " + shown);
  }
  const auto size = static_cast<std::size_t>(info.st_size);

  message m(-1, settings_.serverName, "RECEIVE_FILE", msgData);
  m.setValue("file_name", shown);
  stamp(m);
  // The wire bytes up to the file's own: the head of the record, its pair count raised by
  // one, its pairs, then "file_data" as the last pair, whose value the server streams from
  // the file.
  const std::string head = m.serialize();
  const std::string pairs = m.serializeValues();
  const std::size_t bar = pairs.find('|');
  std::string bytes;
  bytes.reserve(head.size() + 32);
  bytes.append(head, 0, head.size() - pairs.size());
  bytes += std::to_string(m.values.size() + 1);
  bytes.append(pairs, bar);
  bytes += "file_data|" + std::to_string(size) + "|";
  if (size > settings_.maxFileBytes || bytes.size() + size > kMaxMessageBytes) {
    return text("File too large: " + shown + " (the limit is " +
                std::to_string(std::min(settings_.maxFileBytes, kMaxFileBytes)) + " bytes)");
  }

  log("connection " + std::to_string(to) + ": sending file " + printable(shown) + " (" +
      std::to_string(size) + " bytes)");
  return {to, std::make_shared<const std::string>(std::move(bytes)),
          std::make_shared<const UniqueFd>(std::move(fd)), size};
}

std::string wholeWireBytes(const Delivery& d) {
  std::string out = *d.bytes;
  if (d.fileBytes == 0) return out;
  std::size_t filled = out.size();
  out.resize(out.size() + d.fileBytes);
  while (filled < out.size()) {
    const auto offset = static_cast<off_t>(filled - d.bytes->size());
    const ssize_t n = ::pread(d.file->get(), out.data() + filled, out.size() - filled, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("Unable to read the file of a delivery");
    filled += static_cast<std::size_t>(n);
  }
  return out;
}

std::shared_ptr<const std::string> ChatRoom::login(Session& session, const message& m) {
  const std::string* user = m.findValue("username");
  const std::string* password = m.findValue("password");
  const Account* account = user && password ? settings_.accounts.verify(*user, *password) : nullptr;
  const std::string who = "connection " + std::to_string(session.id) + ": game login as '" +
                          printable(user ? *user : std::string_view()) + "'";
  if (account == nullptr) {
    log(who + " failed");
    return serverText(msgInfo, "Login failed");
  }
  session.account = account;
  log(who);
  message reply(-1, settings_.serverName, "Login successful", msgInfo);
  reply.setValue("Clue", "LOGGED_IN");
  return wire(reply);
}

std::shared_ptr<const std::string> ChatRoom::resources(const Session& session) const {
  if (session.account == nullptr) return serverText(msgInfo, "Not logged in");
  const Resources now = resourcesAfter(session.account->start, secondsUp());
  message m(-1, settings_.serverName, "RESOURCE_DATA", msgData);
  m.setValue("Influence", std::to_string(now.influence));
  m.setValue("Food", std::to_string(now.food));
  m.setValue("Minerals", std::to_string(now.minerals));
  m.setValue("Energy", std::to_string(now.energy));
  m.setValue("ResearchPoints", std::to_string(now.researchPoints));
  m.setValue("kq7power", std::to_string(now.power));
  return wire(m);
}

std::shared_ptr<const std::string> ChatRoom::topFive() const {
  struct Entry {
    std::int64_t power;
    const std::string* name;
  };
  const std::int64_t seconds = secondsUp();
  std::vector<Entry> entries;
  for (const Account& account : settings_.accounts.all()) {
    entries.push_back({resourcesAfter(account.start, seconds).power, &account.name});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.power != b.power ? a.power > b.power : *a.name < *b.name;
  });
  if (entries.empty()) return serverText(msgInfo, "No game accounts");
  std::string text;
  for (std::size_t i = 0; i < std::min(entries.size(), kTopCount); ++i) {
    if (i > 0) text += "\r\n";
    text += std::to_string(i + 1) + ". " + *entries[i].name + " (power " +
            std::to_string(entries[i].power) + ")";
  }
  return serverText(msgInfo, std::move(text));
}
