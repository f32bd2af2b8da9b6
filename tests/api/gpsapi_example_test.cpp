// The README's C examples, built against an installed tree with pkg-config, print the position
// of a running frxd with a simulated receiver; the second uses the platform's own names and ends
// with its handle open, which must still be a clean exit.
#include <algorithm>
#include "host_fixture.h"

namespace {

// The C block after `marker` in the README.
std::string ReadmeExample(const std::string& marker) {
  std::string readme = ReadWholeFile(std::string(FERROX_SOURCE_DIR) + "/README.md");
  size_t at = readme.find(marker);
  if (at == std::string::npos) return "";
  size_t start = readme.find("```c\n", at) + 5, end = readme.find("```", start);
  return readme.substr(start, end - start);
}

}  // namespace

TEST_F(HostTest, TheReadmeExamplesBuildAgainstTheInstalledHeaderAndExitCleanly) {
  std::string prefix = root_ + "/installed", out;
  ASSERT_EQ(RunCommand("cmake --install " + std::string(FERROX_BINARY_DIR) + " --prefix " + prefix + " >/dev/null 2>&1"), 0);
  std::string pkg = "PKG_CONFIG_PATH=$(dirname $(find " + prefix + " -name ferrox-gpsapi.pc)) ";
  const char* markers[] = {"<!-- gpsapi example -->", "<!-- gpsapi example exit -->"};
  for (int i = 0; i < 2; ++i) {
    std::string source = ReadmeExample(markers[i]);
    ASSERT_FALSE(source.empty()) << "the README has no example after " << markers[i];
    EXPECT_LE(std::count(source.begin(), source.end(), '\n'), 22) << markers[i];
    std::string name = root_ + "/ex" + std::to_string(i);
    std::ofstream(name + ".c") << source;
    out.clear();
    ASSERT_EQ(RunCommand(pkg + "cc -std=c11 -Wall -Wextra -Werror " + FERROX_EXAMPLE_FLAGS + " " + name + ".c -o " +
                             name + " $(" + pkg + "pkg-config --cflags --libs ferrox-gpsapi) 2>&1",
                         &out),
              0)
        << out;
  }
  StartHost();
  for (int i = 0; i < 2; ++i) {
    out.clear();
    int status = RunCommand("FERROX_ROOT=" + root_ + " FERROX_TIME_SCALE=10 FERROX_TIME_ORIGIN=" +
                                std::to_string(PlatformTimeOriginMs()) + " timeout 60 " + root_ + "/ex" +
                                std::to_string(i) + " 2>&1",
                            &out);
    EXPECT_EQ(status, 0) << markers[i] << ": " << out;
    if (i == 0) EXPECT_EQ(out.substr(0, 4), "48.1") << out;
    else EXPECT_EQ(out.substr(0, 13), "fix quality 1") << out;
  }
}
