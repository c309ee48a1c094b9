#include <gtest/gtest.h>

#include "proxy/log.hpp"

namespace quillgate::proxy {
namespace {

TEST(LogSwitch, Values) {
  const char* on[] = {"1", "on", "yes", "true", " Yes ", "TRUE", "On", "\tyes\n",
                      // U+00A0 NO-BREAK SPACE, U+3000 IDEOGRAPHIC SPACE, U+2029, U+0085
                      "\xC2\xA0true\xE3\x80\x80", "\xE2\x80\xA9" "1" "\xC2\x85"};
  const char* off[] = {"", " ", "0", "off", "no", "false", "y", "2", "enabled", "1 1", "tru e",
                       // U+200B ZERO WIDTH SPACE is not white space
                       "\xE2\x80\x8Btrue",
                       // U+FF59 U+FF45 U+FF53: fullwidth "yes" does not lower-case to ASCII
                       "\xEF\xBD\x99\xEF\xBD\x85\xEF\xBD\x93",
                       // invalid UTF-8 around a valid word
                       "yes\xFF", "\xC3 1"};
  EXPECT_FALSE(parse_log_switch(std::nullopt));
  for (const char* value : on) EXPECT_TRUE(parse_log_switch(value)) << value;
  for (const char* value : off) EXPECT_FALSE(parse_log_switch(value)) << value;
}

}  // namespace
}  // namespace quillgate::proxy
