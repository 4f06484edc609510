// switchyard: asks the running kestrel daemon to power a node on or off, to
// reset it, or to send a test alert e-mail, by appending command lines to the
// daemon's command pipe. The pipe is the only link to the daemon.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

  if (setPower) {
    printf("Power %s requested for node %s\n", power ? "ON" : "OFF", nodename);
    fprintf(outFile,
            power ? "$VERSION 1\n$DO_POWER_ON %s\n"
                  : "$VERSION 1\n$DO_POWER_OFF %s\n",
            nodename);
  }
  if (doReset) {
    printf("Reset node %s requested\n", nodename);
    fprintf(outFile, "$VERSION 1\n$DO_RESET %s\n", nodename);
  }
  if (testEmail) {
    printf("Test email requested\n");
    fprintf(outFile, "$TEST_EMAIL\n");
  }

  // The lines of a run are flushed here together, normally in one write.
  if (outFile != stdout) fclose(outFile);
  sleep(1);
  return 0;
}
