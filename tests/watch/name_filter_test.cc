#include "watch/name_filter.h"

#include <gtest/gtest.h>

namespace kuvo {
namespace {

TEST(ClassifyName, TellsUploadsFromPartialAndOwnNames) {
  Settings settings;
  settings.untested_suffix = "_untested";  // a site's own suffix, not the default
  const struct {
    const char* name;
    NameKind kind;
    const char* why;
  } kRows[] = {
      {"a.r01", NameKind::upload, "an ordinary upload"},
      {"release.sfv", NameKind::upload, "the SFV is judged too"},
      {".a.r01.Xy3k9Q", NameKind::partial, "rsync's temporary name"},
      {".a.r01.Xy3k9", NameKind::upload, "five characters: not rsync's"},
      {".a.r01.Xy-k9Q", NameKind::upload, "rsync uses letters and digits only"},
      {".nfo", NameKind::upload, "a short dot name"},
      {"a.r01.part", NameKind::partial, "lftp, curl and browsers"},
      {"a.r01.filepart", NameKind::partial, "WinSCP"},
      {".pureftpd-upload.5f3a1b2c.15.1f4.8d2e3a1b", NameKind::partial, "pure-ftpd"},
      {".in.a.r01.", NameKind::partial, "ProFTPD's hidden stores"},
      {".in.a.r01", NameKind::upload, "no closing dot"},
      {"a.r01-missing", NameKind::own, "missing marker"},
      {"a.r01_untested", NameKind::own, "the site's untested name"},
      {"a.r01-untested", NameKind::upload, "not this site's suffix"},
      {"a.r01-crc-failed", NameKind::own, "bad name"},
      {".a.r01.part-missing", NameKind::own, "a marker of a partial-looking name"},
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(classify_name(settings, row.name), row.kind) << row.name << ": " << row.why;
  }
}

TEST(ClientStagingDir, OnlyRsyncsStagingDirectoriesAreLeftUnwatched) {
  EXPECT_TRUE(is_client_staging_dir(".~tmp~"));
  EXPECT_TRUE(is_client_staging_dir(".rsync-partial"));
  EXPECT_FALSE(is_client_staging_dir(".~tmp~x"));  // a release's own name
}

}  // namespace
}  // namespace kuvo
