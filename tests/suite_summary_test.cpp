// script/suite-summary, which ends script/test: from the JUnit files ctest writes, it says for each
// build and in all how many tests ran, passed, failed and were skipped (a skipped test counts as
// no pass), names the failed ones, and gives each skipped one the reason its GTEST_SKIP wrote.

#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/shell_run.h"
#include "support/temp_folder.h"

namespace {

// Two suites as ctest 3.25 writes them: GoogleTest's skips match ctest's skip expression, their
// reason is in the test's output; a test ctest does not run at all has a message of its own.
const char kPlainSuite[] = R"xml(<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="(empty)" tests="5" failures="1" disabled="0" skipped="3" hostname="" time="0">
	<testcase name="A.Passes" classname="A.Passes" time="0.1" status="run">
		<system-out>[  PASSED  ] 1 test.</system-out>
	</testcase>
	<testcase name="A.Fails" classname="A.Fails" time="0.1" status="fail">
		<failure message="Failed"/>
		<system-out>[  FAILED  ] A.Fails</system-out>
	</testcase>
	<testcase name="A.SkipsWithAReason" classname="A.SkipsWithAReason" time="0" status="notrun">
		<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
		<system-out>[ RUN      ] A.SkipsWithAReason
tests/a_test.cpp:12: Skipped
no namespace here:
  run it as root
[  SKIPPED ] A.SkipsWithAReason (0 ms)
[  SKIPPED ] 1 test, listed below:
</system-out>
	</testcase>
	<testcase name="A.SkipsSilently" classname="A.SkipsSilently" time="0" status="notrun">
		<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
		<system-out>tests/a_test.cpp:20: Skipped

[  SKIPPED ] A.SkipsSilently (0 ms)
</system-out>
	</testcase>
	<testcase name="A.Disabled" classname="A.Disabled" time="0" status="notrun">
		<skipped message="Disabled"/>
	</testcase>
</testsuite>
)xml";

const char kSanitizerSuite[] = R"xml(<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="(empty)" tests="1" failures="0" disabled="0" skipped="0" hostname="" time="0">
	<testcase name="A.Passes" classname="A.Passes" time="0.1" status="run"/>
</testsuite>
)xml";

zuvtest::ShellRun summary(const std::string& arguments) {
  return zuvtest::runShell(std::string(ZUV_SOURCE_DIR) + "/script/suite-summary " + arguments +
                           " 2>&1");
}

TEST(SuiteSummaryTest, CountsEachBuildAndSaysWhyEachSkippedTestSkipped) {
  zuvtest::TempFolder folder("zuv-suite-summary");
  ASSERT_TRUE(folder.made());
  ASSERT_EQ(::mkdir(folder.path("build").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(folder.path("build-asan").c_str(), 0700), 0);
  std::string plain = folder.write("build/suite.xml", kPlainSuite);
  std::string sanitized = folder.write("build-asan/suite.xml", kSanitizerSuite);
  zuvtest::ShellRun run = summary("'" + plain + "' '" + sanitized + "'");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(
      run.output,
      "build: 5 ran: 1 passed, 1 failed, 3 skipped\n"
      "  failed A.Fails\n"
      "  skipped A.SkipsWithAReason: no namespace here: run it as root (tests/a_test.cpp:12)\n"
      "  skipped A.SkipsSilently: no reason given (tests/a_test.cpp:20)\n"
      "  skipped A.Disabled: Disabled\n"
      "build-asan: 1 ran: 1 passed, 0 failed, 0 skipped\n"
      "suite: 6 ran: 2 passed, 1 failed, 3 skipped\n");
  EXPECT_EQ(summary("").status, 2);
}

}  // namespace
