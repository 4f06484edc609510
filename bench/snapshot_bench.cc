// How long a full 512-node status snapshot takes to format and to write,
// measured on the daemon's own code (formatstatusrecord, writestatussnapshot).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "model/datastructs.h"
#include "model/globals.h"
#include "output/statuspipe.h"

namespace {

// The simulated BMC's chassis (one sensor of each kind, two discrete) and a
// larger server chassis.
struct shape {
  int fans, temps, volts, discs;
};
const shape SIM = {1, 1, 1, 2};
const shape SERVER = {8, 12, 16, 4};

char names[MAXNODES][FIELDLEN];

// Fills the global cluster with `count` live, powered nodes of one chassis.
void fillcluster(int count, shape s) {
  static chassis c;
  c.numfans = s.fans;
  c.numtemps = s.temps;
  c.numvolts = s.volts;
  c.numdiscs = s.discs;
  mycluster.numnodes = count;
  for (int i = 0; i < count; i++) {
    node& n = mycluster.mynodes[i];
    snprintf(names[i], FIELDLEN, "node%03d", i + 1);
    n.thischassis = &c;
    n.name = names[i];
    n.lastupdate = 1700000000 + i;
    n.dead = false;
    n.power = true;
    for (int f = 0; f < s.fans; f++) n.fan[f] = 5000.0 + 50.0 * f;
    for (int t = 0; t < s.temps; t++) n.temp[t] = 45.25 + t;
    for (int v = 0; v < s.volts; v++) n.volt[v] = 12.12 - 0.5 * v;
    for (int d = 0; d < s.discs; d++) n.disc[d] = 0;
  }
}

void BM_FormatSnapshot(benchmark::State& state, shape s) {
  const int count = static_cast<int>(state.range(0));
  fillcluster(count, s);
  std::string out;
  size_t bytes = 0;
  for (auto _ : state) {
    out.clear();
    for (int i = 0; i < count; i++)
      formatstatusrecord(&mycluster.mynodes[i], out);
    benchmark::DoNotOptimize(out.data());
    bytes = out.size();
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

// The whole snapshot as the output thread writes it (open, one record after
// the other, close) into the FIFO, which a thread drains. The thread holds
// the FIFO open for reading and writing: each open for writing then returns
// at once, and its reads wait for data rather than end.
void BM_WriteSnapshot(benchmark::State& state, shape s) {
  const int count = static_cast<int>(state.range(0));
  fillcluster(count, s);
  char dir[] = "/tmp/kestrel-bench-XXXXXX";
  if (!mkdtemp(dir)) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  snprintf(nodewatchdat, sizeof nodewatchdat, "%s/nodewatch.dat", dir);
  int fd = mkfifo(nodewatchdat, 0600) == 0 ? open(nodewatchdat, O_RDWR) : -1;
  if (fd < 0) {
    state.SkipWithError("no FIFO");
    rmdir(dir);
    return;
  }
  std::atomic<bool> done{false};
  std::thread reader([fd, &done] {
    static char buf[65536];
    while (!done && read(fd, buf, sizeof buf) > 0) {
    }
  });
  for (auto _ : state) writestatussnapshot(&mycluster);
  done = true;
  if (write(fd, "", 1) != 1) perror("waking the reader");
  reader.join();
  close(fd);
  unlink(nodewatchdat);
  rmdir(dir);
}

BENCHMARK_CAPTURE(BM_FormatSnapshot, sim, SIM)
    ->Arg(128)
    ->Arg(512)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FormatSnapshot, server, SERVER)
    ->Arg(512)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WriteSnapshot, sim, SIM)
    ->Arg(512)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WriteSnapshot, server, SERVER)
    ->Arg(512)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
