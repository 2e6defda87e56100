// Moves the calling process into a network namespace of its own with its
// loopback up, so that fixed ports are free. False when it may not.
#pragma once
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace testsock {

inline bool IsolateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = false;
  if (ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
    ifr.ifr_flags |= IFF_UP;
    up = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  }
  close(s);
  return up;
}

}  // namespace testsock
