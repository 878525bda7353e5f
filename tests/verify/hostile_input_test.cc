// Uploads crafted to hurt: SFV files with names that leave the release, names
// full of format directives and control bytes, endless lines, random bytes,
// special files in place of uploads and SFVs, settings left empty, and files
// the server's user may not read. Every run must end by itself, without a
// sanitizer report, change nothing outside the release directory, and keep
// every byte that was uploaded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

using Files = std::vector<std::string>;
namespace fs = std::filesystem;
using namespace std::string_literals;

// The contents of every non-empty regular file below `dir`: what an uploader
// sent, which kuvo may rename but never lose.
std::multiset<std::string> uploaded_contents(const std::string& dir) {
  std::multiset<std::string> contents;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file(error) && !it->is_symlink(error) && it->file_size(error) > 0) {
      contents.insert(read_file(it->path()));
    }
  }
  return contents;
}

bool includes(const std::multiset<std::string>& after, const std::multiset<std::string>& before) {
  return std::includes(after.begin(), after.end(), before.begin(), before.end());
}

// The unprivileged user the upload server runs kuvo as, when the tests run as
// root; otherwise the tests' own user already is one.
std::optional<unsigned> server_user() {
  if (geteuid() == 0) return 65534u;  // nobody
  return std::nullopt;
}

class HostileInputTest : public ::testing::Test, public ReleaseFixture {
 protected:
  HostileInputTest() {
    // Sentinels beside the release, named as a hostile SFV would name them.
    write_file(sandbox() / "sentinel", "keep me");
    write_file(sandbox() / "sentinel-missing", "");
    mkdir((sandbox() / "outside").c_str(), 0755);
    write_file(sandbox() / "outside/f", "outside data");
    write_file(sandbox() / "outside/g-missing", "");
  }

  // Runs kuvo and checks what every hostile run must hold.
  RunResult hostile_upload(const std::string& file, const std::vector<std::string>& args = {},
                           const std::map<std::string, std::optional<std::string>>& env = {},
                           RunOptions options = {}) {
    if (!options.timeout_seconds) options.timeout_seconds = 60;
    const auto outside_before = snapshot(sandbox().path(), {"rel", "announce.log"});
    const auto contents_before = uploaded_contents(release());
    RunResult run = upload(file, args, env, options);
    EXPECT_FALSE(run.timed_out) << "the run for '" << file << "' did not end by itself";
    EXPECT_NE(run.status, -1) << "the run for '" << file << "' was killed by a signal";
    EXPECT_EQ(run.err, "") << "standard error of the run for '" << file << "'";
    EXPECT_EQ(snapshot(sandbox().path(), {"rel", "announce.log"}), outside_before)
        << "the run for '" << file << "' changed something outside the release directory";
    EXPECT_TRUE(includes(uploaded_contents(release()), contents_before))
        << "the run for '" << file << "' lost uploaded data";
    return run;
  }

  std::string expecting(int files) const {
    return " NEWDIR: \"" + release() + " - Expecting " + std::to_string(files) + " files\"";
  }
  std::string last_announce_line() const {
    std::vector<std::string> lines = announce_lines();
    return lines.empty() ? "" : lines.back();
  }
};

TEST_F(HostileInputTest, SfvEntriesLeavingTheReleaseAreNeverActedOnNorCounted) {
  mkdir(in_release("sub").c_str(), 0755);
  put("b.rar", "BBB");
  put("r.sfv", sfv_line("../sentinel", "keep me") + sfv_line("../sentinel-new", "x") +
                   sfv_line("../outside/f", "outside data") + sfv_line("../outside/g", "x") +
                   sfv_line(sandbox() / "abs.rar", "x") + sfv_line("sub/x.rar", "x") +
                   sfv_line("./c.rar", "x") + sfv_line("c.rar/", "x") + sfv_line("/", "x") +
                   sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB"));
  RunResult run = hostile_upload("r.sfv", {"-A0", "-G"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(files(),
            (Files{"-[050%]-[##########----------]-", "a.rar-missing", "b.rar", "r.sfv", "sub"}));
  EXPECT_TRUE(list_dir(in_release("sub")).empty());
  EXPECT_NE(last_announce_line().find(expecting(2)), std::string::npos) << last_announce_line();

  put("a.rar", "AAA");
  run = hostile_upload("a.rar", {"-A2"});
  EXPECT_EQ(run.status, 3);  // the two entries inside the release are all that count
}

TEST_F(HostileInputTest, NamesAreDataNeverDirectives) {
  // Each name is an SFV entry and an upload; "" is the entry of a line
  // without a name, whose marker is the bare suffix.
  const std::vector<std::string> names = {
      "%s%n%s%n%x.rar", "quote\"'`$(id).rar", "cr\rmid.rar",      "\x80\xe9\xff\xfe.rar",
      "[a-z]*?.rar",    " lead.rar",          "\\back\\slash.rar"};
  std::string sfv;
  for (const std::string& name : names) sfv += sfv_line(name, "data of " + name);
  sfv += " 00000000\r\n";
  put("r.sfv", sfv);
  RunResult run = hostile_upload("r.sfv", {"-A0"});
  EXPECT_EQ(run.status, 0);
  Files expected = {"-missing", "r.sfv"};
  for (const std::string& name : names) expected.push_back(name + "-missing");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files(), expected);
  EXPECT_NE(last_announce_line().find(expecting(8)), std::string::npos);

  for (const std::string& name : names) {
    put(name, "data of " + name);
    run = hostile_upload(name);
    EXPECT_EQ(run.status, 2) << name;
    EXPECT_EQ(console(run), "Checking " + name + " against SFV file r.sfv...CRC okay.\r\n");
    EXPECT_FALSE(exists(in_release(name + "-missing"))) << name;
  }
  // An empty KUVO_FILE names the nameless entry but no file.
  run = hostile_upload("");
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(console(run), "Unable to read file , renaming to UNTESTED.\r\n");
  // A line feed cannot stand in an SFV line, so such an upload is never listed.
  put("lf\nname.rar", "LF");
  run = hostile_upload("lf\nname.rar");
  EXPECT_EQ(run.status, 5);
  EXPECT_TRUE(exists(in_release("lf\nname.rar-untested")));
  // The SFV's own name is data too, in every message that quotes it.
  fs::rename(in_release("r.sfv"), in_release("%s%n%p.sfv"));
  run = hostile_upload("%s%n%p.sfv", {"-U"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(console(run).starts_with("Testing UNTESTED files against %s%n%p.sfv...\r\n"));
  EXPECT_TRUE(console(run).ends_with("Creating MISSING files from %s%n%p.sfv...\r\n"));
}

TEST_F(HostileInputTest, LongLinesAreReadWholeOrNotAtAll) {
  // Each long line pads a short name with blanks, so the name is readable only
  // from the whole line; a line cut into pieces would yield other entries.
  auto padded = [](const std::string& name, std::size_t length) {
    const std::string crc = " 00000000";
    return name + std::string(length - name.size() - crc.size(), ' ') + crc + "\r\n";
  };
  put("r.sfv", padded("u.rar", 300) + padded("s.rar", 4096) + padded("t.rar", 4097) +
                   padded("v.rar", 100000) + std::string(99990, 'w') + " x.rar 00000000\n" +
                   "ok.rar 00000000\n");
  RunResult run = hostile_upload("r.sfv", {"-A0"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(files(), (Files{"ok.rar-missing", "r.sfv", "s.rar-missing", "u.rar-missing"}));
  EXPECT_NE(last_announce_line().find(expecting(3)), std::string::npos);
}

TEST_F(HostileInputTest, RandomBytesAndNulBytesAsSfv) {
  std::mt19937 random(20261207);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  put("r.sfv", noise);
  put("a.rar", "AAA");
  RunResult run = hostile_upload("r.sfv", {"-U", "-A2", "-G"});
  EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status;
  run = hostile_upload("a.rar", {"-A2", "-G"});
  EXPECT_EQ(run.status, 5);

  // A NUL byte ends a line's text: "a.rar" alone has no checksum, and a line
  // that starts with NUL is blank.
  for (const std::string& name : files()) fs::remove_all(in_release(name));
  put("r.sfv", "a.rar\0junk 12345678\r\nb.rar 0000\0 0001\r\n\0c.rar 0\r\nd.rar 0\n"s);
  run = hostile_upload("r.sfv", {"-A0"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(files(), (Files{"b.rar-missing", "d.rar-missing", "r.sfv"}));
  EXPECT_NE(last_announce_line().find(expecting(2)), std::string::npos);
  put("b.rar", "");  // the CRC of nothing, as listed
  EXPECT_EQ(hostile_upload("b.rar").status, 2);
}

TEST_F(HostileInputTest, AnSfvOfTwoHundredThousandLinesEndsInTime) {
  std::string sfv;
  for (int i = 0; i < 200000; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "f%06d.rar 00000000\n", i);
    sfv += line;
  }
  put("r.sfv", sfv);
  RunOptions options;
  options.timeout_seconds = 300;  // a hang guard: about ten seconds on an idle machine
  RunResult run = hostile_upload("r.sfv", {"-A0"}, {}, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(files().size(), 200001u);
  EXPECT_NE(last_announce_line().find(expecting(200000)), std::string::npos);
  put("f199999.rar", "");
  run = hostile_upload("f199999.rar", {"-A2"}, {}, options);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(last_announce_line().find("-[000%]-"), std::string::npos);
}

TEST_F(HostileInputTest, SpecialFilesNeverStallOrPassAsUploadsOrSfvs) {
  put("r.sfv", sfv_line("dir.rar", "") + sfv_line("dangling.rar", "") + sfv_line("gone.rar", "") +
                   sfv_line("fifo.rar", "") + sfv_line("outlink.rar", "keep me"));
  mkdir(in_release("dir.rar").c_str(), 0755);
  put("dir.rar/inner", "inner data");
  symlink("../nowhere", in_release("dangling.rar").c_str());
  mkfifo(in_release("fifo.rar").c_str(), 0666);
  symlink("../sentinel", in_release("outlink.rar").c_str());
  RunOptions quick;
  quick.timeout_seconds = 20;

  const struct {
    const char* why;
    const char* upload;
    int status;
  } uploads[] = {
      {"a directory is no regular file", "dir.rar", 5},
      {"a dangling link cannot be opened", "dangling.rar", 5},
      {"a missing file cannot be opened", "gone.rar", 5},
      {"a FIFO without writer must not block", "fifo.rar", 5},
      {"a link to a file is read through; the others are not there", "outlink.rar", 2},
  };
  for (const auto& row : uploads) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(hostile_upload(row.upload, {}, {}, quick).status, row.status);
  }
  EXPECT_EQ(read_file(in_release("dir.rar-untested/inner")), "inner data");
  EXPECT_FALSE(exists(sandbox() / "nowhere"));

  for (const std::string& name : files()) fs::remove_all(in_release(name));
  mkfifo(in_release("fifo.sfv").c_str(), 0666);
  mkdir(in_release("dir.sfv").c_str(), 0755);
  symlink("../nowhere.sfv", in_release("dangling.sfv").c_str());
  symlink("fifo.sfv", in_release("link.sfv").c_str());
  mkfifo(in_release("a.rar-untested").c_str(), 0666);
  for (const char* sfv : {"fifo.sfv", "dir.sfv", "dangling.sfv", "link.sfv", "gone.sfv"}) {
    SCOPED_TRACE(sfv);
    RunResult run = hostile_upload(sfv, {"-U"}, {}, quick);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(console(run), std::string("Testing UNTESTED files against ") + sfv +
                                "...\r\nError parsing SFV file " + sfv + ".\r\n");
  }
  // None of them is the release's SFV either.
  put("a.rar", "AAA");
  RunResult run = hostile_upload("a.rar", {}, {}, quick);
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(console(run), "Skipping a.rar, you need to upload an SFV file first.\r\n");
  // Nor is a FIFO, or a link to one, ever re-tested as an untested file.
  symlink("fifo.sfv", in_release("b.rar-untested").c_str());
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", ""));
  run = hostile_upload("r.sfv", {"-U"}, {}, quick);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(console(run),
            "Testing UNTESTED files against r.sfv...\r\nCreating MISSING files from r.sfv...\r\n");
}

TEST_F(HostileInputTest, EmptySuffixesFallBackToTheDefaults) {
  // With an empty suffix a marker would be the file itself, and removing the
  // marker would remove the upload.
  const std::map<std::string, std::optional<std::string>> empty = {
      {"KUVO_MISSING", ""}, {"KUVO_UNTESTED", ""}, {"KUVO_BAD", ""}};
  put("b.rar", "BBB");
  put("c.rar-untested", "not CCC");
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB") + sfv_line("c.rar", "CCC"));
  EXPECT_EQ(hostile_upload("r.sfv", {"-U"}, empty).status, 0);
  EXPECT_EQ(files(),
            (Files{"a.rar-missing", "b.rar", "c.rar-crc-failed", "c.rar-missing", "r.sfv"}));

  put("a.rar", "AAA");
  EXPECT_EQ(hostile_upload("a.rar", {}, empty).status, 2);
  EXPECT_EQ(read_file(in_release("a.rar")), "AAA");
  put("x.rar", "XXX");
  EXPECT_EQ(hostile_upload("x.rar", {}, empty).status, 5);
  EXPECT_EQ(files(), (Files{"a.rar", "b.rar", "c.rar-crc-failed", "c.rar-missing", "r.sfv",
                            "x.rar-untested"}));
}

TEST_F(HostileInputTest, FilesTheServerUserMayNotRead) {
  // Root reads everything, so the runs go as the unprivileged server user.
  RunOptions as_server;
  as_server.run_as = server_user();
  chmod(sandbox().path().c_str(), 0755);
  chmod(release().c_str(), 0777);
  put("r.sfv", sfv_line("a.rar", "AAA") + sfv_line("b.rar", "BBB"));
  put("a.rar", "AAA");
  chmod(in_release("a.rar").c_str(), 0);
  put("b.rar-untested", "BBB");
  chmod(in_release("b.rar-untested").c_str(), 0);

  RunResult run = hostile_upload("a.rar", {}, {}, as_server);
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(console(run), "Unable to read file a.rar, renaming to UNTESTED.\r\n");
  run = hostile_upload("r.sfv", {"-U"}, {}, as_server);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(console(run).find("Testing b.rar...unable to read file, skipping.\r\n"),
            std::string::npos);
  EXPECT_EQ(files(),
            (Files{"a.rar-missing", "a.rar-untested", "b.rar-missing", "b.rar-untested", "r.sfv"}));

  chmod(in_release("r.sfv").c_str(), 0);
  put("c.rar", "CCC");
  run = hostile_upload("c.rar", {}, {}, as_server);
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(console(run), "Error parsing SFV file r.sfv, renaming c.rar to UNTESTED.\r\n");
  EXPECT_EQ(hostile_upload("r.sfv", {}, {}, as_server).status, 1);

  chmod(in_release("r.sfv").c_str(), 0644);
  chmod(release().c_str(), 0333);  // enterable, but not listable
  run = hostile_upload("d.rar", {}, {}, as_server);
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(console(run), "Error reading directory " + release() + ".\r\n");
  EXPECT_EQ(hostile_upload("r.sfv", {}, {}, as_server).status, 1);

  chmod(release().c_str(), 0777);
  put("e.rar", "EEE");
  chmod(release().c_str(), 0555);  // listable, but nothing can be renamed
  run = hostile_upload("e.rar", {}, {}, as_server);
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(read_file(in_release("e.rar")), "EEE");
  chmod(release().c_str(), 0755);
}

}  // namespace
}  // namespace kuvo::testing
