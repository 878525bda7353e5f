// The run's listing answers as a fresh listing would after the run's own
// changes, whether or not its index was built before them.
#include "verify/release.h"

#include <gtest/gtest.h>

#include "fileset/name_lookup.h"
#include "fileset/reference_lookup.h"

namespace kuvo {
namespace {

TEST(ReleaseFilesTest, ChangesShowInLaterLookups) {
  for (const bool indexed_first : {false, true}) {
    ReleaseFiles files(reference::name_list({"a.rar-untested", "b.rar", "b.rar-missing"}));
    if (indexed_first) files.find("b.rar");
    files.renamed("a.rar-untested", "a.rar");
    files.removed("b.rar-missing");
    files.created("c.rar-missing");
    EXPECT_TRUE(files.holds("a.rar")) << indexed_first;
    EXPECT_FALSE(files.holds("a.rar-untested")) << indexed_first;
    EXPECT_TRUE(files.find("A_RAR")) << "lookups see renamed files" << indexed_first;
    EXPECT_FALSE(files.find("a.rar-untested")) << indexed_first;
    EXPECT_FALSE(files.find("b.rar-missing")) << "removed markers are gone" << indexed_first;
    EXPECT_TRUE(files.find("C.RAR-MISSING")) << "created markers are there" << indexed_first;
    // A rename onto an existing name replaces it, and names come back.
    files.renamed("a.rar", "b.rar");
    files.created("b.rar-missing");
    EXPECT_FALSE(files.holds("a.rar"));
    EXPECT_TRUE(files.holds("b.rar"));
    EXPECT_TRUE(files.find("b.rar-missing"));
    files.removed("b.rar-missing");
    EXPECT_FALSE(files.find("b.rar-missing"));
  }
}

TEST(ReleaseFilesTest, OnlyRegularFilesAreFound) {
  NameList listing;
  listing.add("-[050%]-[##########----------]-", EntryKind::other);
  listing.mark_readable();
  ReleaseFiles files(std::move(listing));
  EXPECT_FALSE(files.holds("-[050%]-[##########----------]-"));
  EXPECT_EQ(files.find("*"), kClosingStar) << "a listing that was read closes with *";
}

}  // namespace
}  // namespace kuvo
