// How long /metrics and /status.json take at 512 nodes: formatting alone
// (snapshot and formatter, the daemon's own code) and produced and sent
// through the real server on loopback, fetched with libcurl on a kept
// connection. The server listens on $KESTREL_BENCH_LISTEN (default
// 127.0.0.1:19180); run it in a private network namespace:
//   unshare --net sh -c 'ip link set lo up && build/bench/http_bench'
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "http/metrics.h"
#include "http/server.h"
#include "http/snapshot.h"
#include "http/statusjson.h"
#include "model/datastructs.h"

namespace {

// The simulated BMC's chassis and a larger server chassis, as in
// snapshot_bench.
struct shape {
  int fans, temps, volts, discs;
};
const shape kSim = {1, 1, 1, 2};
const shape kServer = {8, 12, 16, 4};
constexpr time_t kNow = 1700000000;

char names[MAXNODES][FIELDLEN];
char sensornames[4][MAXTEMPS][16];
const char* listenaddress = "127.0.0.1:19180";

// Fills the global cluster with `count` live, powered, settled nodes.
void fillcluster(int count, shape s) {
  chassis& c = mychassis[0];
  snprintf(c.name, sizeof c.name, "bench");
  c.numfans = s.fans;
  c.numtemps = s.temps;
  c.numvolts = s.volts;
  c.numdiscs = s.discs;
  char** slots[4] = {c.fanname, c.tempname, c.voltname, c.discname};
  char** labels[4] = {c.fanshortname, c.tempshortname, c.voltshortname,
                      c.discshortname};
  for (int k = 0; k < 4; k++)
    for (int i = 0; i < MAXDISCS; i++) {
      snprintf(sensornames[k][i], sizeof sensornames[k][i], "Sensor %d", i);
      slots[k][i] = labels[k][i] = sensornames[k][i];
    }
  mycluster.numchassis = 1;
  mycluster.numnodes = count;
  for (int i = 0; i < count; i++) {
    node& n = mycluster.mynodes[i];
    snprintf(names[i], FIELDLEN, "node%03d", i + 1);
    n.thischassis = &c;
    n.name = names[i];
    n.lastupdate = kNow - i % 5;
    n.firsttime = kNow - 3600;
    n.dead = false;
    n.power = true;
    for (int f = 0; f < s.fans; f++) n.fan[f] = 5000.0 + 50.0 * f;
    for (int t = 0; t < s.temps; t++) n.temp[t] = 45.25 + t;
    for (int v = 0; v < s.volts; v++) n.volt[v] = 12.12 - 0.5 * v;
    for (int d = 0; d < s.discs; d++) n.disc[d] = 0;
  }
}

void BM_Format(benchmark::State& state, shape s, bool json) {
  fillcluster(static_cast<int>(state.range(0)), s);
  std::string out;
  for (auto _ : state) {
    clustersnap snap;
    takesnapshot(snap, kNow);
    out.clear();
    if (json)
      formatstatusjson(snap, out);
    else
      formatmetrics(snap, false, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

size_t collect(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

void BM_Fetch(benchmark::State& state, shape s, const char* path) {
  fillcluster(static_cast<int>(state.range(0)), s);
  std::string url = std::string("http://") + listenaddress + path;
  CURL* curl = curl_easy_init();
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  std::vector<double> ms;
  for (auto _ : state) {
    body.clear();
    auto start = std::chrono::steady_clock::now();
    if (curl_easy_perform(curl) != CURLE_OK) {
      state.SkipWithError("fetch failed");
      break;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(
                     std::chrono::steady_clock::now() - start)
                     .count());
  }
  curl_easy_cleanup(curl);
  state.counters["bytes"] = static_cast<double>(body.size());
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
}

BENCHMARK_CAPTURE(BM_Format, metrics_sim, kSim, false)
    ->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Format, json_sim, kSim, true)
    ->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Format, metrics_server, kServer, false)
    ->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Fetch, metrics_sim, kSim, "/metrics")
    ->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Fetch, json_sim, kSim, "/status.json")
    ->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Fetch, metrics_server, kServer, "/metrics")
    ->Arg(512)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const char* env = getenv("KESTREL_BENCH_LISTEN");
  if (env) listenaddress = env;
  curl_global_init(CURL_GLOBAL_ALL);
  sethttplisten(listenaddress);
  starthttpserver();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
