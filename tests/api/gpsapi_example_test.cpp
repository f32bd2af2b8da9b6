// The README's C example, built against an installed tree with pkg-config, prints the position of
// a running frxd with a simulated receiver.
#include <algorithm>
#include "host_fixture.h"

TEST_F(HostTest, TheReadmeExampleBuildsAgainstTheInstalledHeaderAndPrintsAPosition) {
  std::string readme = ReadWholeFile(std::string(FERROX_SOURCE_DIR) + "/README.md");
  size_t marker = readme.find("<!-- gpsapi example -->");
  ASSERT_NE(marker, std::string::npos) << "the README has no GPS API example";
  size_t start = readme.find("```c\n", marker) + 5, end = readme.find("```", start);
  std::string source = readme.substr(start, end - start);
  EXPECT_LE(std::count(source.begin(), source.end(), '\n'), 22);
  std::ofstream(root_ + "/ex.c") << source;
  std::string prefix = root_ + "/installed", out;
  ASSERT_EQ(RunCommand("cmake --install " + std::string(FERROX_BINARY_DIR) + " --prefix " + prefix + " >/dev/null 2>&1"), 0);
  std::string pkg = "PKG_CONFIG_PATH=$(dirname $(find " + prefix + " -name ferrox-gpsapi.pc)) ";
  ASSERT_EQ(RunCommand(pkg + "cc -std=c11 -Wall -Werror " + FERROX_EXAMPLE_FLAGS + " " + root_ + "/ex.c -o " + root_ +
                           "/ex $(" + pkg + "pkg-config --cflags --libs ferrox-gpsapi) 2>&1",
                       &out),
            0)
      << out;
  StartHost();
  out.clear();
  ASSERT_EQ(RunCommand("FERROX_ROOT=" + root_ + " FERROX_TIME_SCALE=10 FERROX_TIME_ORIGIN=" +
                           std::to_string(PlatformTimeOriginMs()) + " timeout 60 " + root_ + "/ex 2>&1",
                       &out),
            0)
      << out;
  EXPECT_EQ(out.substr(0, 4), "48.1") << out;
}
