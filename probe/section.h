// Writing what a BMC offers as a chassis section, with comments that say
// what the BMC reads now, which limits are guesses and how the node's
// present section binds. Pure text work: no BMC, no file.
#ifndef KESTREL_PROBE_SECTION_H_
#define KESTREL_PROBE_SECTION_H_

#include <set>
#include <string>
#include <vector>

#include "model/offered.h"

class chassis;

// Labels hold at most this many characters (the chassis file's name room).
constexpr size_t PROBELABELLEN = 95;
// Nearest offered names shown for a name that does not bind.
constexpr size_t PROBENEAREST = 3;

// A ready section of type `typename` for the transport `transportkind`
// (TRANSPORT_*) holding every sensor of `offer`, in its order, followed by
// the binding of `present` (the node's present chassis; may name no
// sensor). Every line is a chassis-file line: it reads back as written.
std::string writesection(const char* nodename, const char* typename_,
                         int transportkind, const bmcoffer& offer,
                         const chassis* present);

// A label for `name`: spaces and characters a label should not hold become
// "_", at most PROBELABELLEN characters, not in `taken` (a "_2", "_3" ...
// is added), and added to it. Names that are paths give their last part.
std::string labelfor(const std::string& name, std::set<std::string>* taken);

// Levenshtein distance, letter case ignored.
size_t editdistance(const std::string& a, const std::string& b);

// The offered names nearest to `name`, nearest first, at most `most`.
std::vector<std::string> nearestnames(const std::string& name,
                                      const std::vector<offeredsensor>& offered,
                                      size_t most);

// Whether `o` is what the daemon binds a slot named `name` to: its name,
// else its second name (Redfish Id).
bool bindsto(const char* name, const offeredsensor& o);

#endif  // KESTREL_PROBE_SECTION_H_
