#include "config/filemode.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "model/globals.h"
#include "tests/unit/testfiles.h"

namespace {

TEST(FileMode, OnlyGroupOrOtherReadBitsWarn) {
  for (mode_t quiet : {0600, 0400, 0700, 0620, 0602, 0711})
    EXPECT_EQ(readablewarning("/d/cluster.dat", S_IFREG | quiet), "")
        << std::oct << quiet;
  for (mode_t loud : {0640, 0604, 0644, 0444, 0040})
    EXPECT_NE(readablewarning("/d/cluster.dat", S_IFREG | loud), "")
        << std::oct << loud;
  EXPECT_EQ(readablewarning("/d/cluster.dat", S_IFREG | 0644),
            "Warning: /d/cluster.dat holds BMC passwords but other users may "
            "read it (mode 0644). Make it readable by its owner only: chmod "
            "600 /d/cluster.dat\n");
}

TEST(FileMode, WriteBitsOfOthersWarnForTheFileAndTheDirectory) {
  EXPECT_EQ(writablewarning("/d/cluster.dat", S_IFREG | 0620, S_IWOTH), "");
  EXPECT_EQ(writablewarning("/d/cluster.dat", S_IFREG | 0602, S_IWOTH),
            "Warning: other users may change /d/cluster.dat (mode 0602). Make "
            "it writable by its owner only: chmod go-w /d/cluster.dat\n");
  for (mode_t loud : {0775, 0757, 01777})
    EXPECT_NE(writablewarning("/d", S_IFDIR | loud, S_IWGRP | S_IWOTH), "")
        << std::oct << loud;
  EXPECT_EQ(writablewarning("/d", S_IFDIR | 0755, S_IWGRP | S_IWOTH), "");
}

TEST(FileMode, ChecksTheOpenFile) {
  TempDir dir;
  std::string path = dir.write("cluster.dat", "$ENABLE_ALERTS no\n");
  int saved = nodaemon;
  nodaemon = 1;  // error_msg then writes stderr as well
  for (mode_t mode : {0644, 0600}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    FILE* f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    testing::internal::CaptureStderr();
    warnifreadable(f, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              readablewarning(path.c_str(), S_IFREG | mode));
    fclose(f);
  }
  nodaemon = saved;
}

}  // namespace
