// One run of a program as a child process, watched from the main loop
// without ever waiting for it: started without a shell, its standard output
// and error captured through a pipe, bounded in time (killed by its PID once
// the time is up) and reaped by its PID once it has ended. Main thread only.
#ifndef KESTREL_SLURM_CHILD_H_
#define KESTREL_SLURM_CHILD_H_

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

constexpr size_t CHILDOUTPUT = 65536;  // bytes of output kept at most

class childrun {
 public:
  childrun() = default;
  childrun(const childrun&) = delete;
  childrun& operator=(const childrun&) = delete;
  // Kills and reaps a child still running: none outlives its run.
  ~childrun();

  // Starts argv[0] with argv and the daemon's environment, standard input
  // on /dev/null; `deadline` is on the nowtime() clock. False when it could
  // not be started (spawnerror says why); the run is then over.
  bool start(const std::vector<std::string>& argv, time_t deadline);
  // Takes what the child wrote so far, kills it once the deadline has
  // passed, and reaps it once it ended. True when the run is over.
  bool poll(time_t now);
  // The run is over: not started, failed to start, or reaped.
  bool over() const { return pid <= 0; }
  // It ran and exited with status 0.
  bool succeeded() const;
  // The failure in words: the error of the start, "killed after the time
  // limit", "exit status N" or "killed by signal N".
  std::string failure() const;

  std::string output;   // standard output and error, in the order written
  int spawnerror = 0;   // errno of a start that failed
  bool timedout = false;
  int status = -1;      // wait status once reaped

 private:
  void drain();
  pid_t pid = -1;
  int fd = -1;
  time_t deadlineat = 0;
};

#endif  // KESTREL_SLURM_CHILD_H_
