#include "slurm/child.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/spawnattr.h"

extern char** environ;

childrun::~childrun() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (fd >= 0) close(fd);
}

bool childrun::start(const std::vector<std::string>& argv, time_t deadline) {
  output.clear();
  spawnerror = 0;
  timedout = false;
  status = -1;
  deadlineat = deadline;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    spawnerror = errno;
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, p[1], 1);
  posix_spawn_file_actions_adddup2(&actions, p[1], 2);
  posix_spawnattr_t attr;
  plainchildattr(&attr);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t child;
  int rv = posix_spawn(&child, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(p[1]);
  if (rv != 0) {
    close(p[0]);
    spawnerror = rv;
    return false;
  }
  fcntl(p[0], F_SETFL, O_NONBLOCK);
  pid = child;
  fd = p[0];
  return true;
}

void childrun::drain() {
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      // Read on past the limit all the same, so that the child never
      // blocks on a full pipe.
      size_t room = CHILDOUTPUT - output.size();
      output.append(buf, static_cast<size_t>(n) < room ? n : room);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {  // every writer has gone
      close(fd);
      fd = -1;
    }
    return;
  }
}

bool childrun::poll(time_t now) {
  if (pid <= 0) return true;
  if (fd >= 0) drain();
  int st;
  pid_t r = waitpid(pid, &st, WNOHANG);
  if (r == pid) {
    if (fd >= 0) drain();
    if (fd >= 0) {
      // A grandchild may hold the pipe open: what is there is enough.
      close(fd);
      fd = -1;
    }
    status = st;
    pid = -1;
    return true;
  }
  if (now >= deadlineat && !timedout) {
    // Not yet reaped, so the PID is still this child's.
    kill(pid, SIGKILL);
    timedout = true;
  }
  return false;
}

bool childrun::succeeded() const {
  return pid <= 0 && spawnerror == 0 && !timedout && status >= 0 &&
         WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string childrun::failure() const {
  if (spawnerror) return strerror(spawnerror);
  if (timedout) return "killed after the time limit";
  if (status >= 0 && WIFEXITED(status))
    return "exit status " + std::to_string(WEXITSTATUS(status));
  if (status >= 0 && WIFSIGNALED(status))
    return "killed by signal " + std::to_string(WTERMSIG(status));
  return "";
}
