// What kestrel says to Slurm's scontrol and reads back from it: the reason
// of a drain, the argument lists, and a node's record as `scontrol show
// node` prints it. Pure text; nothing here runs anything.
#ifndef KESTREL_SLURM_SCONTROL_H_
#define KESTREL_SLURM_SCONTROL_H_

#include <string>
#include <vector>

class node;

// Every drain kestrel sets carries a reason that begins so; a drain whose
// reason does not is someone else's and is never resumed by kestrel.
extern const char KESTRELREASON[];  // "kestrel:"
constexpr size_t REASONLEN = 160;   // characters of a reason at most

// A node's record from `scontrol show node <name>`.
class shownode {
 public:
  std::string name;    // NodeName=
  std::string state;   // State=, as printed: IDLE+DRAIN+NOT_RESPONDING
  std::string reason;  // Reason= without Slurm's " [user@time]"; "" if none
  bool drained = false;  // a DRAIN flag (or a DRAINED/DRAINING state)
  // DOWN (but for Slurm's own "Not responding"), or a FAIL flag: out of
  // service by someone's intent.
  bool down = false;
  // The reason is kestrel's own.
  bool kestrels() const;
};

// Reads the record of `name` from the output of `scontrol show node`;
// false when the text holds no such record with a State=.
bool parseshownode(const std::string& text, const std::string& name,
                   shownode* out);

// The reason for a reading's or a discrete sensor's alert of node n:
// "kestrel: <sensor> <value> <unit> above|below <limit name> <limit> <unit>",
// "kestrel: <sensor> critical" for a discrete one. Control characters
// become spaces; at most REASONLEN characters.
std::string drainreason(const node* n, int kind, int index, double value,
                        const double* limits);
// The reason for a critical hardware event logged as `line`
// ("Hardware event on <node> at <time>: <what>").
std::string hardwarereason(const char* line);

// Argument lists for the scontrol at `path` (argv[0] is the path).
std::vector<std::string> showargs(const char* path, const char* nodename);
std::vector<std::string> drainargs(const char* path, const char* nodename,
                                   const std::string& reason);
std::vector<std::string> resumeargs(const char* path, const char* nodename);

#endif  // KESTREL_SLURM_SCONTROL_H_
