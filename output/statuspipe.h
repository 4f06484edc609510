// The status pipe and its output thread.
#ifndef KESTREL_OUTPUT_STATUSPIPE_H_
#define KESTREL_OUTPUT_STATUSPIPE_H_

#include <string>

class node;

// Entry of the output thread; never returns.
void* outputThread(void* thecluster);
// Appends the eight-line status record of one node.
void formatstatusrecord(node* n, std::string& out);

#endif  // KESTREL_OUTPUT_STATUSPIPE_H_
