// Text pieces shared by the metrics and the JSON document: escaped strings
// and numbers. Configuration strings are bytes as the files gave them, so
// both escapers let well-formed UTF-8 through and put U+FFFD in place of
// every byte that is not part of it.
#ifndef KESTREL_HTTP_TEXTOUT_H_
#define KESTREL_HTTP_TEXTOUT_H_

#include <string>

// Appends text as the inside of a Prometheus label value: backslash, double
// quote and line feed become \\, \" and \n.
void appendlabelvalue(std::string& out, const char* text);

// Appends text as a JSON string, quotes included, escaped as appendjsonchar
// (util/jsontext.h) does.
void appendjsonstring(std::string& out, const char* text);

// Appends the shortest decimal text that reads back as the same double
// ("12", "11.4", "1e-05"); NaN, +Inf and -Inf as Prometheus spells them.
void appendnumber(std::string& out, double value);

#endif  // KESTREL_HTTP_TEXTOUT_H_
