#include "output/poweronpace.h"

#include <algorithm>

namespace {
constexpr long long WINDOWMS = 1000;
}  // namespace

void poweronpacer::add(const std::string& name) { waiting.push_back(name); }

int poweronpacer::drop(const std::string& name) {
  size_t before = waiting.size();
  waiting.erase(std::remove(waiting.begin(), waiting.end(), name),
                waiting.end());
  return static_cast<int>(before - waiting.size());
}

std::vector<std::string> poweronpacer::due(long long nowms, int rate) {
  while (!sent.empty() && nowms - sent.front() >= WINDOWMS) sent.pop_front();
  std::vector<std::string> out;
  while (!waiting.empty() && sent.size() < static_cast<size_t>(rate)) {
    out.push_back(waiting.front());
    waiting.pop_front();
    sent.push_back(nowms);
  }
  return out;
}
