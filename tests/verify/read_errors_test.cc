// Read errors part-way through the SFV or the directory listing, injected into
// the real executable by the preloaded fault library (tests/fault): what was
// read before the error must never pass for the whole SFV or listing.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "release_fixture.h"

namespace kuvo::testing {
namespace {

using Files = std::vector<std::string>;
using Env = std::map<std::string, std::optional<std::string>>;

// The SFV reader reads in blocks of this size; the SFV below spans more than
// two, and the fault strikes where the first one ends.
constexpr std::size_t kBlock = 65536;
constexpr int kEntries = 1500;
// The entries whose files are in the release directory, all listed after the
// first block; the upload is one of them.
constexpr int kFirstPresent = 1300;
constexpr int kUploadIndex = 1400;

std::string listed_name(int i) {
  char number[8];
  std::snprintf(number, sizeof number, "%04d", i);
  return "release.part" + std::string(number) + "." + std::string(80, 'x') + ".rar";
}

template <typename Header, typename ProgramHeader>
bool has_interpreter(std::ifstream& in) {
  Header header{};
  in.seekg(0);
  in.read(reinterpret_cast<char*>(&header), sizeof header);
  for (unsigned i = 0; in && i < header.e_phnum; ++i) {
    ProgramHeader program{};
    in.seekg(static_cast<std::streamoff>(header.e_phoff + i * header.e_phentsize));
    in.read(reinterpret_cast<char*>(&program), sizeof program);
    if (in && program.p_type == PT_INTERP) return true;
  }
  return false;
}

// A kuvo without a program interpreter is linked statically and ignores
// preloaded libraries.
bool kuvo_is_static() {
  std::ifstream in(KUVO_BINARY, std::ios::binary);
  unsigned char ident[EI_NIDENT] = {};
  in.read(reinterpret_cast<char*>(ident), sizeof ident);
  return ident[EI_CLASS] == ELFCLASS64 ? !has_interpreter<Elf64_Ehdr, Elf64_Phdr>(in)
                                       : !has_interpreter<Elf32_Ehdr, Elf32_Phdr>(in);
}

class ReadErrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kuvo_is_static()) GTEST_SKIP() << "a static kuvo takes no preloaded library";
  }

  // The SFV r.sfv of kEntries entries, and the files of the entries from
  // kFirstPresent on.
  static void lay_out(const ReleaseFixture& release) {
    std::string sfv;
    for (int i = 0; i < kEntries; ++i) {
      const std::string name = listed_name(i);
      sfv += ReleaseFixture::sfv_line(name, name);
      if (i >= kFirstPresent) release.put(name, name);
    }
    ASSERT_GT(sfv.size(), 2 * kBlock);
    release.put("r.sfv", sfv);
  }

  // Runs kuvo for `file` with the fault library preloaded and `faults` set.
  static RunResult run_with(const ReleaseFixture& release, const std::string& file, Env faults,
                            const std::vector<std::string>& args = {},
                            const RunOptions& options = {}) {
    faults["LD_PRELOAD"] = KUVO_FAULT_SHIM;
    // ASan refuses to start unless its runtime is the first library; the fault
    // library only passes calls on, to it or to the C library alike.
    faults["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    faults["KUVO_FAULT_LOG"] = fault_log(release);
    return release.upload(file, args, faults, options);
  }

  static std::string fault_log(const ReleaseFixture& release) {
    return release.sandbox() / "faults.log";
  }

  // How often the fault library logged `line`.
  static long injected(const ReleaseFixture& release, const std::string& line) {
    std::istringstream log(read_file(fault_log(release)));
    long count = 0;
    for (std::string logged; std::getline(log, logged);) count += logged == line;
    return count;
  }

  static long markers(const ReleaseFixture& release) {
    const Files files = release.files();
    return std::count_if(files.begin(), files.end(),
                         [](const std::string& name) { return name.ends_with("-missing"); });
  }
};

TEST_F(ReadErrorsTest, AReadErrorFailsTheStepInsteadOfCuttingItsListShort) {
  const std::string upload = listed_name(kUploadIndex);
  const Env sfv_fault = {{"KUVO_FAULT_READ_NAME", "r.sfv"},
                         {"KUVO_FAULT_READ_AFTER", std::to_string(kBlock)}};
  // Past "." and ".." and well short of the listing's end.
  const Env listing_fault = {{"KUVO_FAULT_READDIR_AFTER", "100"}};
  struct Row {
    const char* why;
    std::string file;
    Env faults;
    const char* fault_line;
    int status;
    std::string console;       // with "<dir>" for the release directory
    std::string upload_after;  // the upload's name afterwards, in single-file mode
  };
  const Row rows[] = {
      {"SFV arrival, SFV read fails after its first block", "r.sfv", sfv_fault, "read EIO", 1,
       "Creating MISSING files from r.sfv...\r\nError parsing SFV file r.sfv.\r\n", ""},
      {"single upload, SFV read fails after its first block", upload, sfv_fault, "read EIO", 4,
       "Error parsing SFV file r.sfv, renaming " + upload + " to UNTESTED.\r\n",
       upload + "-untested"},
      {"SFV arrival, listing fails part-way", "r.sfv", listing_fault, "readdir EIO", 1,
       "Creating MISSING files from r.sfv...\r\nError reading directory <dir>.\r\n", ""},
      {"single upload, listing fails part-way", upload, listing_fault, "readdir EIO", 4,
       "Error reading directory <dir>.\r\n", upload},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    ReleaseFixture release;
    lay_out(release);
    RunResult run = run_with(release, row.file, row.faults);
    EXPECT_GT(injected(release, row.fault_line), 0) << "the fault never fired";

    std::string expected = row.console;
    if (std::size_t at = expected.find("<dir>"); at != std::string::npos) {
      expected.replace(at, 5, release.release());
    }
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(console(run), expected);
    // Nothing is laid out from a partial list: no marker, no status; at most
    // the upload is set aside.
    EXPECT_EQ(markers(release), 0);
    EXPECT_EQ(release.files().size(), kEntries - kFirstPresent + 1);
    if (!row.upload_after.empty()) {
      EXPECT_TRUE(exists(release.in_release(row.upload_after))) << row.upload_after;
    }
  }
}

TEST_F(ReadErrorsTest, InterruptedReadsAreRetried) {
  ReleaseFixture release;
  lay_out(release);
  const Env interrupts = {{"KUVO_FAULT_EINTR", "1"}};

  RunResult run = run_with(release, "r.sfv", interrupts);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(console(run), "Creating MISSING files from r.sfv...\r\n");
  // Every absent entry got its marker: the whole SFV was read.
  EXPECT_EQ(markers(release), kFirstPresent);
  EXPECT_TRUE(exists(release.in_release(listed_name(kFirstPresent - 1) + "-missing")));
  EXPECT_FALSE(exists(release.in_release(listed_name(kFirstPresent) + "-missing")));

  const std::string upload = listed_name(kUploadIndex);
  run = run_with(release, upload, interrupts);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(console(run), "Checking " + upload + " against SFV file r.sfv...CRC okay.\r\n");
  EXPECT_GT(injected(release, "read EINTR"), 0) << "no read was interrupted";
}

TEST_F(ReadErrorsTest, AFileMovedByAnotherProcessWhileARunReadsIsNotTrusted) {
  // While `read` is read, `from` becomes `to`; each file holds its own name.
  auto run = [](const Files& files, const std::vector<std::string>& args, const std::string& upload,
                const std::string& read, const std::string& from, const std::string& to) {
    ReleaseFixture release;
    for (const std::string& name : files) release.put(name, name);
    release.put("r.sfv", ReleaseFixture::sfv_line("a.rar", "a.rar") +
                             ReleaseFixture::sfv_line("b.rar", read));
    const Env move = {{"KUVO_FAULT_MOVE_ON_READ", read},
                      {"KUVO_FAULT_MOVE_FROM", release.in_release(from)},
                      {"KUVO_FAULT_MOVE_TO", release.in_release(to)}};
    RunResult result = run_with(release, upload, move, args);
    EXPECT_EQ(injected(release, "moved"), 1) << "the file was never moved";
    return std::make_pair(result, release.files());
  };
  // A counted file goes while the last one is checked: the release is not complete.
  auto [checked, after] =
      run({"a.rar", "b.rar", "b.rar-missing"}, {}, "b.rar", "b.rar", "a.rar", "gone");
  EXPECT_EQ(checked.status, 2);
  EXPECT_EQ(console(checked), "Checking b.rar against SFV file r.sfv...CRC okay.\r\n");
  EXPECT_EQ(after, (Files{"b.rar", "gone", "r.sfv"}));
  // Other bytes take the place of the file under test: they do not get its name.
  auto [tested, left] = run({"a.rar", "b.rar-untested", "gone"}, {"-U"}, "r.sfv", "b.rar-untested",
                            "gone", "b.rar-untested");
  EXPECT_EQ(tested.status, 0);
  EXPECT_EQ(console(tested),
            "Testing UNTESTED files against r.sfv...\r\nTesting b.rar...File b.rar is still being "
            "written; it will be checked when its upload ends.\r\n"
            "Creating MISSING files from r.sfv...\r\n");
  EXPECT_EQ(left, (Files{"a.rar", "b.rar-missing", "b.rar-untested", "r.sfv"}));
}

TEST_F(ReadErrorsTest, AFileWrittenWhileReadGetsNoVerdict) {
  // A run that may take a lease holds the writer off and sees its lease
  // broken; one that may not (not the owner) sees the size and times move.
  struct Row {
    const char* why;
    std::optional<unsigned> run_as;
    const char* fault_line;
  };
  const Row rows[] = {{"lease", std::nullopt, "write held"}, {"not the owner", 65534, "write"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    if (row.run_as && geteuid() != 0) continue;  // only root can run as another user
    ReleaseFixture release;
    release.put("r.sfv", ReleaseFixture::sfv_line("a.rar", "AAA"));
    release.put("a.rar", "not AAA");
    ASSERT_EQ(chmod(release.in_release("a.rar").c_str(), 0666), 0);
    ASSERT_EQ(chmod(release.sandbox().path().c_str(), 0755), 0);
    write_file(fault_log(release), "");
    ASSERT_EQ(chmod(fault_log(release).c_str(), 0666), 0);
    RunOptions options;
    options.run_as = row.run_as;
    RunResult run = run_with(release, "a.rar",
                             {{"KUVO_FAULT_WRITE_NAME", "a.rar"}, {"KUVO_ON_BAD", "rename"}}, {}, options);
    EXPECT_EQ(injected(release, row.fault_line), 1);
    EXPECT_EQ(console(run),
              "Checking a.rar against SFV file r.sfv...File a.rar is still being written; it will "
              "be checked when its upload ends.\r\n");
    EXPECT_EQ(run.status, 7);
    EXPECT_EQ(release.files(), (Files{"a.rar", "r.sfv"}));
  }
}

}  // namespace
}  // namespace kuvo::testing
