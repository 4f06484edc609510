#include "http/textout.h"

#include <gtest/gtest.h>
#include <math.h>

#include <string>

TEST(TextOut, EscapesLabelValuesAndJsonStringsAndReplacesBrokenUtf8) {
  // A quote, a backslash, a line feed, a tab, a control byte, a two-byte
  // character, a lone continuation byte, a cut sequence, an overlong "/"
  // and a surrogate.
  const char* text =
      "a\"b\\c\nd\te\x01 \xc3\xa9 \x80 \xe2\x82 \xc0\xaf \xed\xa0\x80 \xf0\x9f\x90\xa6";
  std::string label, json;
  appendlabelvalue(label, text);
  appendjsonstring(json, text);
  const std::string bad = "\xef\xbf\xbd";
  EXPECT_EQ(label, "a\\\"b\\\\c\\nd\te\x01 \xc3\xa9 " + bad + " " + bad + bad +
                       " " + bad + bad + " " + bad + bad + bad +
                       " \xf0\x9f\x90\xa6");
  EXPECT_EQ(json, "\"a\\\"b\\\\c\\nd\\te\\u0001 \xc3\xa9 " + bad + " " + bad +
                      bad + " " + bad + bad + " " + bad + bad + bad +
                      " \xf0\x9f\x90\xa6\"");
}

TEST(TextOut, NumbersReadBackExactlyWholeOnesWithoutExponent) {
  struct {
    double value;
    const char* text;
  } cases[] = {{5000, "5000"},        {1796683981, "1796683981"},
               {-2, "-2"},            {11.4, "11.4"},
               {0.1 + 0.2, "0.30000000000000004"},
               {1e-5, "1e-05"},       {1e300, "1e+300"},
               {NAN, "NaN"},          {INFINITY, "+Inf"},
               {-INFINITY, "-Inf"}};
  for (const auto& c : cases) {
    std::string out;
    appendnumber(out, c.value);
    EXPECT_EQ(out, c.text);
  }
}
