// The command pipe: the daemon's only input while it runs. Other programs
// (switchyard) write text lines into the FIFO; the main loop drains it once
// per pass and executes each complete line in order, on the main thread.
#include "output/commandpipe.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "model/counters.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "output/ownpipe.h"

namespace {

constexpr size_t READLEN = 8192;
constexpr size_t MSGBUFLEN = 1500;
// A writer that never stops must not hold the main loop in the drain; what
// is left stays in the pipe for the next pass.
constexpr int MAXREADSPERPASS = 128;

struct keyword {
  const char* text;
  int code;
};

// Tested in this order; the first match decides.
const keyword keywords[] = {
    {"$DO_POWER_ON", POWERON},
    {"$DO_POWER_OFF", POWEROFF},
    {"$DO_RESET", RESET},
};

const char* const TESTEMAIL = "$TEST_EMAIL";

// The command in the words of the failure message.
const char* commandwords(int code) {
  switch (code) {
    case POWERON:
      return "power on";
    case POWEROFF:
      return "power off";
    default:
      return "power reset";
  }
}

void issue(cluster* c, const char* name, int code) {
  if (!c->command(name, code)) {
    char msg[MSGBUFLEN];
    snprintf(msg, MSGBUFLEN - 1, "Failed to issue %s command to %s\n",
             commandwords(code), name);
    error_msg(msg);
  }
}

// Sends the waiting power-ons whose turn has come; says when a wait starts.
void sendpoweron(commandinput* in, cluster* c) {
  for (const std::string& name :
       in->poweron.due(in->clockms(), c->poweronrate))
    issue(c, name.c_str(), POWERON);
  if (in->poweron.waiting.empty()) {
    in->saidwaiting = false;
  } else if (!in->saidwaiting) {
    in->saidwaiting = true;
    char msg[MSGBUFLEN];
    snprintf(msg, sizeof msg,
             "Power-ons wait their turn: at most %d go out per second\n",
             c->poweronrate);
    info_msg(msg);
  }
}

void runcommandline(commandinput* in, cluster* c, const char* line) {
  commandmatch m = matchcommand(line);
  if (m.testemail) {
    error_msg("test email requested");
    counters.testemails++;
    if (testemailhook) testemailhook();
    return;
  }
  if (m.code == NONE) return;
  counters.powercommands[m.code]++;
  if (m.code == POWERON && c->findnode(m.name)) {
    // Behind those waiting; at once when none waits and the rate allows.
    in->poweron.add(m.name);
    sendpoweron(in, c);
    return;
  }
  if (m.code == POWEROFF && in->poweron.drop(m.name) > 0) {
    char msg[MSGBUFLEN];
    snprintf(msg, MSGBUFLEN - 1,
             "Dropping the waiting power on of %s: a power off came after it\n",
             m.name);
    info_msg(msg);
  }
  // An unknown node is said by the lookup at once; it powers nothing.
  issue(c, m.name, m.code);
}

void reporttoolong() {
  char msg[MSGBUFLEN];
  snprintf(msg, sizeof msg,
           "Skipping a command line of %zu or more characters\n",
           MAXCOMMANDLINE);
  error_msg(msg);
}

bool drain(commandinput* in, cluster* cl) {
  char buf[READLEN];
  auto online = [in, cl](const char* line) { runcommandline(in, cl, line); };
  for (int reads = 0; reads < MAXREADSPERPASS;) {
    ssize_t n = read(in->fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      // Every writer has closed its end: nothing will finish a fragment
      // left behind, and it must not run into the next writer's first line.
      if (!in->partial.empty()) {
        error_msg("Ignoring a command line without a line feed\n");
        in->partial.clear();
      }
      return true;
    }
    if (n < 0) return false;  // empty while a writer holds it open, or no pipe
    splitcommandlines(in->partial, buf, static_cast<size_t>(n), online,
                      reporttoolong);
    reads++;
  }
  return false;
}

}  // namespace

void (*testemailhook)() = nullptr;

long long monotonicms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

commandmatch matchcommand(const char* line) {
  size_t len = strlen(line);
  for (const keyword& k : keywords) {
    size_t klen = strlen(k.text);
    if (strncmp(line, k.text, klen) != 0) continue;
    // One separator character follows the keyword, whatever it is; a line
    // that ends before the name gives an empty name.
    const char* name = len > klen ? line + klen + 1 : line + len;
    return {k.code, false, name};
  }
  if (strncmp(line, TESTEMAIL, strlen(TESTEMAIL)) == 0) return {NONE, true, ""};
  return {NONE, false, ""};
}

void splitcommandlines(std::string& partial, const char* data, size_t len,
                       const std::function<void(const char*)>& online,
                       const std::function<void()>& ontoolong) {
  size_t start = 0;
  for (size_t i = 0; i < len; i++) {
    if (data[i] != '\n') continue;
    size_t seg = i - start;
    if (partial.size() + seg >= MAXCOMMANDLINE) {
      ontoolong();
    } else {
      partial.append(data + start, seg);
      online(partial.c_str());
    }
    partial.clear();
    start = i + 1;
  }
  // Keep the unfinished line for the next read. Once it reaches the limit it
  // is known to be skipped, so the rest of it need not be kept.
  size_t room = MAXCOMMANDLINE - partial.size();
  size_t rest = len - start;
  partial.append(data + start, rest < room ? rest : room);
}

void setupcommandfifo(commandinput* in, const char* path) {
  if (makeownpipe(COMMANDPIPE, path, 0600) != 0)
    error_msg("Failed to generate command fifo\n");
  in->fd = open(path, O_RDONLY | O_NONBLOCK);
  if (in->fd == -1) error_msg("Failed to open command fifo\n");
}

bool processcommandfifo(commandinput* in, cluster* cl) {
  bool closed = drain(in, cl);
  sendpoweron(in, cl);
  return closed;
}
