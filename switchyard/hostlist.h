// Slurm host lists, as its SuspendProgram and ResumeProgram are given them:
// "node[01-04,07],gpu[1-2]".
#ifndef KESTREL_SWITCHYARD_HOSTLIST_H_
#define KESTREL_SWITCHYARD_HOSTLIST_H_

#include <stddef.h>

#include <string>
#include <vector>

// Most names one list may stand for: far more than one daemon watches, few
// enough that a slip of the keyboard ("node[1-1000000]") is refused.
constexpr size_t MAXHOSTLISTNAMES = 10000;

// Expands `list` into its names, in the order written. Commas outside
// brackets separate names; a bracket holds numbers and ranges separated by
// commas ("[01-04,07]"), each number written as wide as the range's first
// one ("[08-10]": 08 09 10; "[8-10]": 8 9 10); several brackets in a name
// give every combination, the first bracket varying slowest. A name without
// brackets or commas stands for itself, spaces and all.
// False, with *names untouched and the reason in *error, for an empty list
// or name, an unbalanced or nested bracket, an empty bracket or range, a
// range that is not digits or runs backwards, a number of more than 9
// digits, or more than MAXHOSTLISTNAMES names.
bool expandhostlist(const std::string& list, std::vector<std::string>* names,
                    std::string* error);

#endif  // KESTREL_SWITCHYARD_HOSTLIST_H_
