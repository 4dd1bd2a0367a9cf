// The parcel demo through the real runtime under qelcollect with a source
// map: every output at once, the report rebuilt from the saved run, and the
// line status of the LCOV file against gcov on the same test cases.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "report_fixtures.h"

namespace {

using qeltest::readText;

class DemoCoverage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = qeltest::freshDir("e2e");
    map_ = qeltest::mapDir("parcel_map", "1.qelmap.json");
    const std::string exe = QELCOLLECT_EXE;
    status_ =
        qeltest::runShell("timeout -s KILL 120 " + exe + " --map " + map_ + " --out " + dir_ +
                              "/run.jsonl" + " --report " + dir_ + "/live.txt --json " + dir_ +
                              "/live.json --lcov " + dir_ + "/run.info --cobertura " + dir_ +
                              "/run.xml --html " + dir_ + "/html --timeout 100 -- " + QEL_DEMO_EXE,
                          &log_);
    live_ = readText(dir_ + "/live.txt");
  }

  static inline int status_ = -1;
  static inline std::string dir_, map_, log_, live_;
};

// Line -> count of a gcov text listing; lines that are not code are left out.
std::map<int, long> gcovLines(const std::string& text) {
  std::map<int, long> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    const auto c1 = l.find(':');
    const auto c2 = l.find(':', c1 + 1);
    if (c1 == std::string::npos || c2 == std::string::npos) continue;
    std::string count = l.substr(0, c1);
    count.erase(0, count.find_first_not_of(' '));
    const int line = std::atoi(l.substr(c1 + 1, c2 - c1 - 1).c_str());
    if (count == "-" || line == 0) continue;
    lines[line] = count == "#####" || count == "=====" ? 0 : std::atol(count.c_str());
  }
  return lines;
}

std::map<int, long> lcovLines(const std::string& text) {
  std::map<int, long> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (l.rfind("DA:", 0) == 0)
      lines[std::atoi(l.c_str() + 3)] = std::atol(l.c_str() + l.find(',') + 1);
  return lines;
}

}  // namespace

TEST_F(DemoCoverage, ReportBySourceLine) {
  ASSERT_EQ(status_, 0) << log_ << live_;
  EXPECT_NE(live_.find("parcel.c                        4/4 100.0%        21/21 100.0%          "
                       "6/6 100.0%        13/14  92.9%          6/7  85.7%"),
            std::string::npos)
      << live_;
  EXPECT_NE(live_.find("parcel.c:20:7 (if in shipping_cost): (weight > 20 || fragile) && !express"),
            std::string::npos);
  EXPECT_NE(live_.find("c1 \"fragile\"     true 0     false 1     MISSING independence pair"),
            std::string::npos)
      << live_;
  // The unit is mapped: no raw node list for it.
  EXPECT_EQ(live_.find("unit 1: 17 nodes hit"), std::string::npos);
  EXPECT_EQ(live_.find("no map for unit"), std::string::npos);
}

TEST_F(DemoCoverage, RebuiltFromTheSavedRunIsIdentical) {
  ASSERT_EQ(status_, 0) << log_;
  std::string out;
  const int rc = qeltest::runShell(std::string(QELCOLLECT_EXE) + " report --map " + map_ +
                                       " --report " + dir_ + "/rebuilt.txt --json " + dir_ +
                                       "/rebuilt.json " + dir_ + "/run.jsonl",
                                   &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(readText(dir_ + "/rebuilt.txt"), live_);
  EXPECT_EQ(readText(dir_ + "/rebuilt.json"), readText(dir_ + "/live.json"));
}

TEST_F(DemoCoverage, ConsumersAcceptEveryFile) {
  ASSERT_EQ(status_, 0) << log_;
  std::string out;
  if (qeltest::haveTool("genhtml")) {
    EXPECT_EQ(qeltest::runShell(
                  "genhtml --branch-coverage -o " + dir_ + "/gh " + dir_ + "/run.info", &out),
              0)
        << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
  }
  if (qeltest::haveTool("xmllint")) {
    EXPECT_EQ(
        qeltest::runShell("xmllint --noout --nonet --dtdvalid " + std::string(QEL_REPORT_FIXTURES) +
                              "/coverage-04.dtd " + dir_ + "/run.xml",
                          &out),
        0)
        << out;
  }
  EXPECT_NE(readText(dir_ + "/html/index.html").find("parcel.c"), std::string::npos);
}

TEST_F(DemoCoverage, LinesAgreeWithGcov) {
  ASSERT_EQ(status_, 0) << log_;
  if (!qeltest::haveTool("gcc") || !qeltest::haveTool("gcov")) GTEST_SKIP() << "no gcc/gcov";
  const std::string src = QEL_REPORT_FIXTURES;
  const std::string g = qeltest::freshDir("gcov");
  std::string out;
  ASSERT_EQ(qeltest::runShell("cd " + g + " && gcc --coverage -O0 -I" + QEL_EXAMPLES + " -c " +
                                  src + "/parcel.c -o parcel.o && gcc -I" + QEL_EXAMPLES +
                                  " --coverage -o cases parcel.o " + src +
                                  "/parcel_cases.c && ./cases && gcov -o . " + src + "/parcel.c",
                              &out),
            0)
      << out;
  const auto gcov = gcovLines(readText(g + "/parcel.c.gcov"));
  const auto ours = lcovLines(readText(dir_ + "/run.info"));
  ASSERT_FALSE(gcov.empty()) << out;
  int both = 0, agree = 0;
  for (const auto& [line, count] : ours) {
    const auto it = gcov.find(line);
    if (it == gcov.end()) continue;
    ++both;
    agree += (count > 0) == (it->second > 0);
    EXPECT_EQ(count > 0, it->second > 0) << "line " << line;
  }
  EXPECT_GE(both, 18);
  EXPECT_EQ(agree, both);
}
