#include "private_network.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool enterPrivateNetwork(std::string& why) {
  if (::unshare(CLONE_NEWNET) != 0) {
    why = std::string("cannot make a private network namespace: ") + std::strerror(errno);
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!up) why = std::string("cannot bring loopback up: ") + std::strerror(errno);
  ::close(fd);
  return up;
}
