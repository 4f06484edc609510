// Loopback sockets for unit tests of network clients.
#ifndef KESTREL_TESTS_UNIT_TESTNET_H_
#define KESTREL_TESTS_UNIT_TESTNET_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testnet {

// A listening socket on 127.0.0.1 that never accepts: the kernel completes
// connections into its backlog, and nothing ever answers them.
class silentserver {
 public:
  silentserver() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    listen(fd_, 16);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<struct sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~silentserver() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
};

// A loopback port with nothing listening on it (connections are refused).
inline int closedport() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace testnet

#endif  // KESTREL_TESTS_UNIT_TESTNET_H_
