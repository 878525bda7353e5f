#include "run/usage.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace kuvo {
namespace {

using testing::run_kuvo;
using testing::TempDir;

// Every name an administrator may have to write into a server's configuration.
const char kDocumentedNames[] =
    "-U -G -I -A0 -A1 -A2 -L KUVO_FILE KUVO_DIR KUVO_MISSING KUVO_UNTESTED KUVO_BAD KUVO_COMPLETE "
    "KUVO_BASEDIR KUVO_IGNORE KUVO_ANNOUNCEFILE USER GROUP UNFO 255 --check --repair -r -v -j "
    "--json --dry-run --create --crlf -o";

TEST(UsageTest, SummaryNamesEverySwitchVariableAndStatus) {
  std::string text = usage_text();
  std::istringstream names(kDocumentedNames);
  for (std::string name; names >> name;) EXPECT_NE(text.find(name), std::string::npos) << name;
  for (char status = '0'; status <= '6'; ++status) {
    EXPECT_NE(text.find(std::string("    ") + status + "  "), std::string::npos) << status;
  }
}

TEST(UsageTest, OnlyAnExactFirstArgumentAsksForInformation) {
  const std::string usage = usage_text();
  const std::string version = std::string("kuvo ") + KUVO_VERSION + "\n";
  const std::string refused =
      testing::banner_line() + "ENV-Error: environment variable KUVO_FILE is not set\r\n";
  struct Row {
    std::vector<std::string> args;
    std::string out;
    int status;
    const char* reason;
  } rows[] = {
      {{"--help"}, usage, 0, "asked for the summary"},
      {{"--version"}, version, 0, "asked for the version"},
      {{"--help", "-L"}, usage, 0, "later words are not looked at"},
      {{"--version", "--help"}, version, 0, "only the first word decides"},
      {{"--HELP"}, refused, 255, "exact spelling only: otherwise a skipped word"},
      {{"-help"}, refused, 255, "a single dash is a skipped word"},
      {{"--help="}, refused, 255, "no prefix matching"},
      {{"-U", "--help"}, refused, 255, "a later --help is a skipped word"},
      {{""}, refused, 255, "an empty first word"},
  };
  for (const Row& row : rows) {
    testing::RunResult result = run_kuvo({}, row.args);
    EXPECT_EQ(result.out, row.out) << row.reason;
    EXPECT_EQ(result.status, row.status) << row.reason;
    EXPECT_EQ(result.err, "") << row.reason;
  }
}

TEST(UsageTest, AskingTouchesNothing) {
  // A complete run's environment and switches that would lay out markers,
  // a status directory and a log file: none of it may happen.
  TempDir release;
  testing::write_file(release / "r.sfv", "a.rar 12345678\nb.rar 9abcdef0\n");
  std::vector<std::string> before = testing::list_dir(release.path());
  for (const char* word : {"--help", "--version"}) {
    testing::RunResult result = run_kuvo({{"KUVO_FILE", "r.sfv"}, {"KUVO_DIR", release.path()}},
                                         {word, "-G", "-L", release / "run.log"}, release.path());
    EXPECT_EQ(result.status, 0) << word;
    EXPECT_EQ(result.out.find("\r"), std::string::npos) << word;
    EXPECT_EQ(testing::list_dir(release.path()), before) << word;
  }
}

}  // namespace
}  // namespace kuvo
