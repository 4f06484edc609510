// DCMI "Get Power Reading": the power a node draws, asked of its BMC with a
// raw group-extension request once a pass, where the BMC measures it. Many
// BMCs do not: the first refusal (an invalid command, an error completion
// code, a measurement that is not active) ends the asking for good, without
// a word, so that such a BMC costs one request in the whole run.
#ifndef KESTREL_IPMI_DCMI_H_
#define KESTREL_IPMI_DCMI_H_

// The request: NetFn group extension, Get Power Reading, system power
// statistics.
constexpr unsigned char DCMI_NETFN = 0x2c;
constexpr unsigned char DCMI_GETPOWERREADING = 0x02;
constexpr unsigned char DCMI_GROUPID = 0xdc;
constexpr unsigned char DCMI_SYSTEMPOWER = 0x01;
// Reply: completion code, group id, current, minimum, maximum and average
// watts (two bytes each, low byte first), time stamp (4), period (4), state.
constexpr unsigned int DCMI_REPLYLEN = 19;
constexpr unsigned char DCMI_MEASURING = 0x40;  // state bit 6

// What a reply says (dcmireply).
enum {
  DCMI_WATTS = 0,      // a reading
  DCMI_BUSY = 1,       // try again: busy, timed out, no answer this time
  DCMI_INACTIVE = 2,   // the BMC does not measure the power now
  DCMI_REFUSED = 3,    // an error completion code: it does not offer it
  DCMI_MALFORMED = 4,  // cut short or of another group
};

// Reads a Get Power Reading reply of `len` bytes (the completion code
// first); on DCMI_WATTS `watts` gets the current reading.
int dcmireply(const unsigned char* data, unsigned int len, double* watts);

// Where a node's BMC stands (ipmi_link::dcmi): not asked yet, answering
// (asked every pass), or given up on.
enum { DCMI_UNASKED = 0, DCMI_ANSWERING = 1, DCMI_GIVENUP = 2 };
// Busy replies before a first answer after which a BMC is given up on.
constexpr int DCMI_TRIES = 3;

#endif  // KESTREL_IPMI_DCMI_H_
