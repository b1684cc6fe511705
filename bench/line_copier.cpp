// A reference for the burst benchmark: reads text from 127.0.0.1:PORT and copies it to
// standard output one line per write() call, doing nothing else. It shows what a terminal
// costs when every line is its own unit, the rule the client's console output follows.
//
//   line_copier PORT
//
// Ends when the peer closes the connection, or after 120 s at the latest.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

void writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EINTR) {
      std::exit(1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: line_copier PORT\n");
    return 2;
  }
  ::alarm(120);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::perror("line_copier: connect");
    return 1;
  }
  std::vector<char> buffer(65536);
  std::string carried;
  while (true) {
    const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
    for (std::size_t end = bytes.find('\n'); end != std::string_view::npos;
         end = bytes.find('\n')) {
      if (carried.empty()) {
        writeAll(bytes.substr(0, end + 1));
      } else {
        carried.append(bytes.substr(0, end + 1));
        writeAll(carried);
        carried.clear();
      }
      bytes.remove_prefix(end + 1);
    }
    carried.append(bytes);
  }
  if (!carried.empty()) writeAll(carried);
  return 0;
}
