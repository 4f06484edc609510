// The status pipe and its output thread.
#ifndef KESTREL_OUTPUT_STATUSPIPE_H_
#define KESTREL_OUTPUT_STATUSPIPE_H_

#include <string>

class cluster;
class node;

// Waits for a reader of nodewatch.dat and writes it one snapshot of every
// node. A snapshot that cannot be written is skipped (said once); a path
// that cannot be opened at all ends the process.
void writestatussnapshot(cluster* cl);
// Entry of the output thread: writestatussnapshot for good.
void* outputThread(void* thecluster);
// Appends the eight-line status record of one node.
void formatstatusrecord(node* n, std::string& out);

#endif  // KESTREL_OUTPUT_STATUSPIPE_H_
