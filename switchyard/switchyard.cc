// switchyard: asks the running kestrel daemon to power a node on or off, to
// reset it, or to send a test alert e-mail, by appending command lines to the
// daemon's command pipe. The pipe is the only link to the daemon. Where it
// takes a node it takes a Slurm host list ("node[01-04,07],gpu[1-2]"), so
// that Slurm's power saving can call it with the lists it hands out.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "switchyard/hostlist.h"

namespace {

const char* const DEFAULTOUTFILE = "/etc/tarn/kestrel/nodecommands.dat";
const int OPENATTEMPTS = 5;

const char* program_name;
const char* outFileName = nullptr;
int setPower = 0;
int power = 1;  // 1 on, 0 off
int doReset = 0;
int testEmail = 0;
const char* nodename = nullptr;
FILE* outFile = nullptr;
// Bytes buffered since the last flush of outFile.
size_t pendingBytes = 0;

[[noreturn]] void print_usage(FILE* stream, int exit_code) {
  fprintf(stream, "Usage:  %s options hostname\n", program_name);
  fprintf(stream,
          "  -h  --help             Display this usage information\n"
          "  -o  --output filename  output file name\n"
          "  -p  --poweroff         Turn off power on the node\n"
          "  -P  --poweron\t       Turn on power on the node\n"
          "  -r  --reset\t       'Press' the reset button on the node\n"
          "  -t  --testemail        Sends a test email.  hostname parameter "
          "ignored\n");
  exit(exit_code);
}

// Says on stderr when the daemon's default pipe is not there to take the
// commands: a file in its place (which fopen would have made) or a pipe no
// daemon reads. The commands still go where they always went.
void checkdaemonpipe(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    fprintf(stderr,
            "WARNING: no command pipe at %s: is kestrel running? The commands "
            "go into a new file that kestrel does not read.\n", path);
    return;
  }
  if (!S_ISFIFO(st.st_mode)) {
    fprintf(stderr,
            "WARNING: %s is not kestrel's command pipe: kestrel does not read "
            "the commands appended to it.\n", path);
    return;
  }
  int fd = open(path, O_WRONLY | O_NONBLOCK);
  if (fd < 0 && errno == ENXIO)
    fprintf(stderr,
            "WARNING: no kestrel reads %s: waiting until one opens it.\n",
            path);
  if (fd >= 0) close(fd);
}

// Appends one request's lines, whole. Other writers (Slurm runs its programs side
// by side) may share the pipe, whose writes are whole only up to PIPE_BUF
// bytes: so the buffer goes out before a request would take it past that,
// and no request is split between two writes.
void writerequest(const std::string& text) {
  if (pendingBytes + text.size() > PIPE_BUF && pendingBytes > 0) {
    fflush(outFile);
    pendingBytes = 0;
  }
  fwrite(text.data(), 1, text.size(), outFile);
  pendingBytes += text.size();
}

}  // namespace

int main(int argc, char* argv[]) {
  const char* const short_options = "ho:pPrt";
  const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"output", required_argument, nullptr, 'o'},
      {"poweroff", no_argument, nullptr, 'p'},
      {"poweron", no_argument, nullptr, 'P'},
      {"reset", no_argument, nullptr, 'r'},
      {"testemail", no_argument, nullptr, 't'},
      {nullptr, 0, nullptr, 0}};

  program_name = argv[0];
  int next;
  while ((next = getopt_long(argc, argv, short_options, long_options,
                             nullptr)) != -1) {
    switch (next) {
      case 'h':
        print_usage(stdout, 0);
      case 'o':
        outFileName = optarg;
        break;
      case 'p':
        setPower = 1;
        power = 0;
        break;
      case 'P':
        setPower = 1;
        power = 1;
        break;
      case 'r':
        doReset = 1;
        break;
      case 't':
        testEmail = 1;
        break;
      default:
        print_usage(stderr, 1);
    }
  }
  if (optind < argc) nodename = argv[optind];

  // -t excuses a missing name only for the test e-mail itself: a power or
  // reset request without a name would ask for nothing the daemon can do.
  if (!nodename && (!testEmail || setPower || doReset)) {
    fprintf(stderr, "ERROR: A Node name is required!\n\n");
    print_usage(stderr, 1);
  }

  // Refused before the output is opened: a list that is wrong anywhere asks
  // for nothing at all.
  std::vector<std::string> nodes;
  if (setPower || doReset) {
    std::string error;
    if (!expandhostlist(nodename, &nodes, &error)) {
      fprintf(stderr, "ERROR: bad host list '%s': %s\n", nodename,
              error.c_str());
      return 1;
    }
  }

  if (!outFileName) {
    outFileName = DEFAULTOUTFILE;
    checkdaemonpipe(outFileName);
  }
  for (int i = 0; i < OPENATTEMPTS && !outFile; i++)
    outFile = fopen(outFileName, "a");
  if (!outFile) {
    fprintf(stderr, "ERROR: can not append to output file %s\n", outFileName);
    outFile = stdout;
  }
  // Larger than any run of requests writerequest lets gather, so that
  // stdio never flushes on its own in the middle of one.
  static char outBuffer[2 * PIPE_BUF + 4096];
  if (outFile != stdout) setvbuf(outFile, outBuffer, _IOFBF, sizeof outBuffer);

  // Each node gets the requests one node would, in the same order.
  for (const std::string& node : nodes) {
    const char* name = node.c_str();
    if (setPower) {
      printf("Power %s requested for node %s\n", power ? "ON" : "OFF", name);
      writerequest(std::string(power ? "$VERSION 1\n$DO_POWER_ON "
                                       : "$VERSION 1\n$DO_POWER_OFF ") +
                   node + "\n");
    }
    if (doReset) {
      printf("Reset node %s requested\n", name);
      writerequest("$VERSION 1\n$DO_RESET " + node + "\n");
    }
  }
  if (testEmail) {
    printf("Test email requested\n");
    writerequest("$TEST_EMAIL\n");
  }

  // The lines of a run are flushed here together, in one write unless
  // they are more than PIPE_BUF bytes.
  if (outFile != stdout) fclose(outFile);
  sleep(1);
  return 0;
}
