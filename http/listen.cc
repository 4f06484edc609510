#include "http/listen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>

#include <string>

namespace {

constexpr long MAXPORT = 65535;

// The decimal port after the last colon: 1..MAXPORT, digits only.
bool parseport(const std::string& text, in_port_t& port) {
  if (text.empty() || text.size() > 5) return false;
  long value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    value = value * 10 + (ch - '0');
  }
  if (value < 1 || value > MAXPORT) return false;
  port = htons(static_cast<in_port_t>(value));
  return true;
}

}  // namespace

bool parselisten(const char* text, listenaddr& out) {
  std::string s(text);
  size_t colon = s.rfind(':');
  if (colon == std::string::npos) return false;
  in_port_t port;
  if (!parseport(s.substr(colon + 1), port)) return false;
  std::string host = s.substr(0, colon);
  listenaddr parsed;
  memset(&parsed.addr, 0, sizeof parsed.addr);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(&parsed.addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = port;
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(),
                  &a->sin6_addr) != 1)
      return false;
    parsed.len = sizeof *a;
  } else {
    sockaddr_in* a = reinterpret_cast<sockaddr_in*>(&parsed.addr);
    a->sin_family = AF_INET;
    a->sin_port = port;
    // inet_pton takes dotted quads only, no shorthand forms.
    if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1) return false;
    parsed.len = sizeof *a;
  }
  out = parsed;
  return true;
}
