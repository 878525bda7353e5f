#include "run/environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace kuvo {
namespace {

// Sets the KUVO_ variables for one test and restores a clean slate afterwards.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* name : {"KUVO_FILE", "KUVO_DIR", "KUVO_MISSING", "KUVO_UNTESTED", "KUVO_BAD",
                             "KUVO_COMPLETE", "KUVO_BASEDIR", "KUVO_IGNORE", "KUVO_ANNOUNCEFILE"})
      unsetenv(name);
  }
  static bool parse(Settings& settings, std::vector<const char*> args) {
    args.insert(args.begin(), "kuvo");
    return parse_switches(settings, static_cast<int>(args.size()), args.data());
  }
};

TEST_F(SettingsTest, DefaultsAndRequiredVariables) {
  Settings settings;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(load_environment(settings));
  // Neither is set: only the first missing one is reported.
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ENV-Error: environment variable KUVO_FILE is not set\r\n");

  setenv("KUVO_FILE", "a.rar", 1);
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(load_environment(settings));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ENV-Error: environment variable KUVO_DIR is not set\r\n");

  setenv("KUVO_DIR", "", 1);  // presence is what counts
  Settings loaded;
  ASSERT_TRUE(load_environment(loaded));
  EXPECT_EQ(loaded.uploaded_file, "a.rar");
  EXPECT_EQ(loaded.release_dir, "");
  EXPECT_EQ(loaded.missing_suffix, "-missing");
  EXPECT_EQ(loaded.untested_suffix, "-untested");
  EXPECT_EQ(loaded.bad_suffix, "-crc-failed");
  EXPECT_EQ(loaded.ignore_list.size(), 60u);
  EXPECT_FALSE(loaded.completion_name || loaded.base_dir || loaded.announce_file);
  EXPECT_EQ(loaded.announce_mode, AnnounceMode::off);
}

TEST_F(SettingsTest, ValuesAreAdjustedAsDocumented) {
  setenv("KUVO_FILE", "a.rar", 1);
  setenv("KUVO_DIR", "/site/incoming/rel", 1);
  setenv("KUVO_BASEDIR", "/site/incoming", 1);
  setenv("KUVO_IGNORE", "*.nfo", 1);
  setenv("KUVO_COMPLETE", "", 1);
  // Empty suffixes would make markers collide with the files themselves.
  setenv("KUVO_MISSING", "", 1);
  setenv("KUVO_UNTESTED", "", 1);
  setenv("KUVO_BAD", ".bad", 1);
  Settings settings;
  ASSERT_TRUE(load_environment(settings));
  EXPECT_EQ(settings.base_dir, "/site/incoming/");
  EXPECT_EQ(settings.ignore_list, "*.nfo ");
  EXPECT_EQ(settings.completion_name, "");
  EXPECT_EQ(settings.missing_suffix, "-missing");
  EXPECT_EQ(settings.untested_suffix, "-untested");
  EXPECT_EQ(settings.bad_suffix, ".bad");

  setenv("KUVO_BASEDIR", "/site/incoming/", 1);
  Settings trailing;
  ASSERT_TRUE(load_environment(trailing));
  EXPECT_EQ(trailing.base_dir, "/site/incoming/");

  setenv("KUVO_BASEDIR", "", 1);
  Settings empty_base;
  ASSERT_TRUE(load_environment(empty_base));
  EXPECT_FALSE(empty_base.base_dir);
}

TEST_F(SettingsTest, SwitchesAreCaseInsensitiveAndLaterOnesWin) {
  Settings settings;
  settings.announce_file = "/tmp/announce";
  ASSERT_TRUE(parse(settings, {"-u", "-g", "stray", "-x", "-A3", "-A0", "-a2"}));
  EXPECT_TRUE(settings.untested_mode);
  EXPECT_TRUE(settings.status_dir_switch);
  EXPECT_FALSE(settings.base_dir_switch);
  EXPECT_EQ(settings.announce_mode, AnnounceMode::every_change);

  Settings logged;
  ASSERT_TRUE(parse(logged, {"-L", "-U", "-l", "second.log"}));
  EXPECT_FALSE(logged.untested_mode);  // '-U' was the log path
  EXPECT_TRUE(logged.log_switch);
  EXPECT_EQ(logged.log_path, "second.log");
}

TEST_F(SettingsTest, UnusableSwitchesAreRefusedWithTheirMessage) {
  struct Row {
    std::vector<const char*> args;
    const char* message;
  };
  const Row rows[] = {
      {{"-I"},
       "CMDLINE-Error: use of switch -I requires the environment variable KUVO_BASEDIR to be "
       "set\r\n"},
      // The message names the switch as -Ax whichever level was asked for.
      {{"-a1"},
       "CMDLINE-Error: use of switch -Ax requires the environment variable KUVO_ANNOUNCEFILE to "
       "be set\r\n"},
      {{"-U", "-L"}, "CMDLINE-Error: use of switch -L requires a filename to be given\r\n"},
      // The first unusable switch decides; later ones are never looked at.
      {{"-A2", "-I"},
       "CMDLINE-Error: use of switch -Ax requires the environment variable KUVO_ANNOUNCEFILE to "
       "be set\r\n"},
  };
  for (const Row& row : rows) {
    Settings settings;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(parse(settings, row.args));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.message);
  }
}

}  // namespace
}  // namespace kuvo
