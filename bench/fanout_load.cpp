// Load generator for the fan-out benchmark, and the raw relay it is compared against.
//
//   fanout_load load  --port P --clients N --lines L --server-pid PID [--deadline S]
//   fanout_load relay --port P [--deadline S]
//
// load: opens N connections to 127.0.0.1:P, logs each on, waits until the logon traffic
// has died down, then lets L of the clients say one chat line each, all at once, and
// counts the messages that arrive (a start marker each) until every line has reached every
// client. It prints one line of JSON: the elapsed time, the messages counted and the
// server's CPU time over the measured phase, read from /proc/PID.
//
// relay: the reference. Accepts connections and copies every byte read from any of them
// to all of them, one send per connection, with no parsing: the least a fan-out costs.
//
// Both stop by themselves after --deadline seconds (default 60) at the latest, and use only
// the loopback address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "message.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "fanout_load: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(2);
}

void raiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 5000) <= 0) die("send stalled");
    } else if (n < 0 && errno != EINTR) {
      die("send");
    }
  }
}

// CPU time of a process in nanoseconds (scheduler accounting) and in clock ticks.
struct CpuTime {
  std::int64_t nanoseconds = 0;
  std::int64_t ticks = 0;
};

CpuTime cpuOf(long pid) {
  CpuTime t;
  std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
  sched >> t.nanoseconds;
  std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(statFile, line);
  // Fields after the command name, which ends at the last ')': state is field 3, utime 14.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) t.ticks += std::stoll(field);
  }
  return t;
}

// Counts start markers in a byte stream that arrives in pieces: each marker once, in the
// read where it ends. Only the stream's last marker-length-minus-one bytes are kept, for a
// marker that begins in earlier reads and ends in this one.
class MarkerCounter {
 public:
  std::uint64_t feed(std::string_view bytes) {
    std::uint64_t found = 0;
    // A marker that began before this read ends within its first kKeep bytes. Joined with
    // the kept bytes that is at most 2 * kKeep bytes: room for one marker, never two.
    if (!tail_.empty()) {
      std::array<char, 2 * kKeep> edge{};
      const std::size_t head = std::min(bytes.size(), kKeep);
      std::copy(tail_.begin(), tail_.end(), edge.begin());
      std::copy_n(bytes.begin(), head, edge.begin() + tail_.size());
      if (std::string_view(edge.data(), tail_.size() + head).find(kMessageMarker) !=
          std::string_view::npos) {
        ++found;
      }
    }
    // One found across the edge begins in the kept bytes, so it is none of these.
    for (std::size_t at = bytes.find(kMessageMarker); at != std::string_view::npos;
         at = bytes.find(kMessageMarker, at + kMessageMarker.size())) {
      ++found;
    }
    // The last kKeep bytes of the stream, which can reach back over several short reads.
    if (bytes.size() >= kKeep) {
      tail_.assign(bytes.substr(bytes.size() - kKeep));
    } else {
      tail_.append(bytes);
      if (tail_.size() > kKeep) tail_.erase(0, tail_.size() - kKeep);
    }
    return found;
  }

 private:
  static constexpr std::size_t kKeep = kMessageMarker.size() - 1;
  // Two markers can never overlap, as the marker's first byte occurs in it only once: so
  // one found across the edge and those found in this read are all distinct, and the
  // search in this read may skip a whole marker after each one it finds.
  static_assert(kMessageMarker.find(kMessageMarker.front(), 1) == std::string_view::npos);

  std::string tail_;  // at most kKeep bytes
};

std::string wireMessage(msgType type, const std::string& from, const std::string& text) {
  message m(-1, from, text, type);
  m.setValue("_msgTime", "Mon, 05 Jan 2009 07:03:09 UTC");
  m.setValue("_msgVersion", "0.70");
  return m.serialize();
}

int runLoad(std::uint16_t port, int clients, int lines, long serverPid, double deadlineSeconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(deadlineSeconds);
  raiseFileLimit();
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) die("epoll_create1");
  std::vector<int> fds;
  std::vector<MarkerCounter> counters(static_cast<std::size_t>(clients));
  const sockaddr_in address = loopback(port);
  for (int i = 0; i < clients; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      die("connect");
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = static_cast<std::uint32_t>(i);
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) die("epoll_ctl");
    fds.push_back(fd);
  }

  std::vector<char> buffer(256 * 1024);
  std::vector<epoll_event> events(1024);
  std::uint64_t counted = 0;
  // Reads whatever is ready, waiting at most waitMs; returns false when nothing came.
  const auto pump = [&](int waitMs) {
    const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), waitMs);
    if (n < 0 && errno != EINTR) die("epoll_wait");
    for (int e = 0; e < n; ++e) {
      const std::uint32_t i = events[static_cast<std::size_t>(e)].data.u32;
      while (true) {
        const ssize_t got = ::recv(fds[i], buffer.data(), buffer.size(), 0);
        if (got > 0) {
          counted +=
              counters[i].feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
          continue;
        }
        if (got == 0) {
          std::fprintf(stderr, "fanout_load: connection %u closed by the server\n", i);
          std::exit(2);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno != EINTR) die("recv");
      }
    }
    return n > 0;
  };

  // Log every client on; each logon is announced to those already there.
  for (int i = 0; i < clients; ++i) {
    const std::string name = "load" + std::to_string(i);
    message logon(-1, name, "INFO_LOGON", msgInfo);
    logon.setValue("screen_name", name);
    logon.setValue("logon_msg", "\r\n" + name + " has logged on\r\n");
    logon.setValue("_msgTime", "Mon, 05 Jan 2009 07:03:09 UTC");
    logon.setValue("_msgVersion", "0.70");
    sendAll(fds[static_cast<std::size_t>(i)], logon.serialize());
    while (pump(0)) {
    }
  }
  // Settled once nothing has come for half a second.
  while (pump(500)) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "fanout_load: the logon traffic did not settle in time\n");
      return 2;
    }
  }
  const std::uint64_t setupMessages = counted;
  counted = 0;

  std::vector<std::string> chat;
  for (int k = 0; k < lines; ++k) {
    chat.push_back(wireMessage(
        msgChat, "load" + std::to_string(k % clients),
        "fan-out line " + std::to_string(k) + " with some ordinary chat text of a typical length"));
  }
  const std::uint64_t expected =
      static_cast<std::uint64_t>(lines) * static_cast<std::uint64_t>(clients);
  const CpuTime before = serverPid > 0 ? cpuOf(serverPid) : CpuTime{};
  const auto start = Clock::now();
  for (int k = 0; k < lines; ++k)
    sendAll(fds[static_cast<std::size_t>(k % clients)], chat[static_cast<std::size_t>(k)]);
  auto last = start;
  while (counted < expected && Clock::now() < deadline) {
    if (pump(100)) last = Clock::now();
  }
  const CpuTime after = serverPid > 0 ? cpuOf(serverPid) : CpuTime{};
  const double seconds = std::chrono::duration<double>(last - start).count();
  std::printf(
      "{\"clients\": %d, \"lines\": %d, \"expected\": %llu, \"received\": %llu, "
      "\"setup_messages\": %llu, \"seconds\": %.6f, \"server_cpu_ns\": %lld, "
      "\"server_cpu_ticks\": %lld}\n",
      clients, lines, static_cast<unsigned long long>(expected),
      static_cast<unsigned long long>(counted), static_cast<unsigned long long>(setupMessages),
      seconds, static_cast<long long>(after.nanoseconds - before.nanoseconds),
      static_cast<long long>(after.ticks - before.ticks));
  for (int fd : fds) ::close(fd);
  ::close(epoll);
  return counted == expected ? 0 : 1;
}

int runRelay(std::uint16_t port, double deadlineSeconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(deadlineSeconds);
  raiseFileLimit();
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0) die("socket");
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = loopback(port);
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    die("bind");
  }
  if (::listen(listener, SOMAXCONN) != 0) die("listen");
  std::fprintf(stderr, "relay listening on 127.0.0.1:%u\n", static_cast<unsigned>(port));
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);

  std::vector<int> clients;
  std::vector<char> buffer(64 * 1024);
  std::vector<epoll_event> events(256);
  while (Clock::now() < deadline) {
    const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 200);
    for (int e = 0; e < n; ++e) {
      const int fd = events[static_cast<std::size_t>(e)].data.fd;
      if (fd == listener) {
        while (true) {
          const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
          if (c < 0) break;
          ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          epoll_event added{};
          added.events = EPOLLIN;
          added.data.fd = c;
          ::epoll_ctl(epoll, EPOLL_CTL_ADD, c, &added);
          clients.push_back(c);
        }
        continue;
      }
      const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got == 0) {
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        clients.erase(std::remove(clients.begin(), clients.end(), fd), clients.end());
        // The load generator closes all its connections at the end: the run is over.
        if (clients.empty()) return 0;
        continue;
      }
      if (got < 0) continue;
      const std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
      for (int c : clients) sendAll(c, bytes);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fanout_load load|relay --port P [options]\n");
    return 2;
  }
  const std::string mode = argv[1];
  std::uint16_t port = 9002;
  int clients = 500;
  int lines = 200;
  long serverPid = 0;
  double deadline = 60;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const char* value = argv[i + 1];
    if (option == "--port")
      port = static_cast<std::uint16_t>(std::atoi(value));
    else if (option == "--clients")
      clients = std::atoi(value);
    else if (option == "--lines")
      lines = std::atoi(value);
    else if (option == "--server-pid")
      serverPid = std::atol(value);
    else if (option == "--deadline")
      deadline = std::atof(value);
  }
  clients = std::clamp(clients, 1, 2000);
  lines = std::clamp(lines, 1, 100000);
  deadline = std::clamp(deadline, 1.0, 300.0);
  if (mode == "load") return runLoad(port, clients, lines, serverPid, deadline);
  if (mode == "relay") return runRelay(port, deadline);
  std::fprintf(stderr, "fanout_load: unknown mode %s\n", mode.c_str());
  return 2;
}
