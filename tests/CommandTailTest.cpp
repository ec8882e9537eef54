// The command tail taken from a Windows command line.
#include <gtest/gtest.h>

#include "platform/CommandTail.h"

namespace {

TEST(CommandTail, SkipsTheProgramNameAndTheBlanksAfterIt) {
  EXPECT_EQ(CommandTail::After("zendrocast.exe 1 10 20"), "1 10 20");
  EXPECT_EQ(CommandTail::After("zendrocast.exe   \t1 10 20"), "1 10 20");
  EXPECT_EQ(CommandTail::After("\"C:\\Program Files\\z\\zendrocast.exe\" 1 10 20"), "1 10 20");
  EXPECT_EQ(CommandTail::After("\"C:\\a b\\zendrocast.exe\"1 10 20"), "1 10 20");
}

TEST(CommandTail, KeepsTheTailAsTyped) {
  // Two blanks between fields matter to the cutting, and so do trailing ones.
  EXPECT_EQ(CommandTail::After("zendrocast 1  10 20 "), "1  10 20 ");
  EXPECT_EQ(CommandTail::After("zendrocast \"1\" 10 20"), "\"1\" 10 20");
}

TEST(CommandTail, NoTail) {
  EXPECT_EQ(CommandTail::After("zendrocast.exe"), "");
  EXPECT_EQ(CommandTail::After("zendrocast.exe   "), "");
  EXPECT_EQ(CommandTail::After("\"zendrocast.exe\""), "");
  EXPECT_EQ(CommandTail::After("\"unterminated 1 2 3"), "");
  EXPECT_EQ(CommandTail::After(""), "");
}

}  // namespace
