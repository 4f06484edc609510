#include "util/jsontext.h"

#include <gtest/gtest.h>

#include <string>

// The status document's test covers quotes, backslash, \n, \t and \u0001;
// these are the bytes only the BMC bodies meet: a password is sent as the
// cluster file holds it, so DEL is escaped and a byte that is no UTF-8
// passes unchanged (the status page's replacement must not reach a BMC).
TEST(JsonText, EscapesDelAndKeepsBytesThatAreNotUtf8) {
  EXPECT_EQ(jsonescaped("a\x1f" "b\x7f" "c\xe9\xff\r"),
            "a\\u001fb\\u007fc\xe9\xff\\u000d");
}
