#include "crc/crc32.h"
#include "crc/crc32_reference.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "crc/crc32_kernels.h"
#include "test_util.h"

namespace kuvo {
namespace {

using testing::TempDir;
using testing::write_file;

std::uint32_t reference(const std::string& bytes) {
  return crc32_bytewise(0, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string sample(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 9));
  return bytes;
}

// Closes the descriptor when the test is done with it.
struct Descriptor {
  int fd;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

TEST(Crc32Test, CatalogueValues) {
  const std::string check = "123456789";
  EXPECT_EQ(reference(check), 0xCBF43926u);
  EXPECT_EQ(crc32_update(0, reinterpret_cast<const unsigned char*>(check.data()), check.size()),
            0xCBF43926u);
  EXPECT_EQ(reference(""), 0u);
}

TEST(Crc32OfDescriptorTest, WholeFiles) {
  TempDir dir;
  const struct {
    std::string contents;
    const char* why;
  } cases[] = {
      {"", "empty file gives 0, like an SFV checksum without hex digits"},
      {"123456789", "catalogue check value"},
      {sample(65535), "one byte short of 64 KiB"},
      {sample(65536), "exactly 64 KiB"},
      {sample(65537), "one byte past 64 KiB"},
      {sample(kCrc32ReadBufferSize - 1), "one read short of the buffer in use"},
      {sample(kCrc32ReadBufferSize), "exactly the buffer in use: the next read returns 0"},
      {sample(3 * kCrc32ReadBufferSize + 1), "several buffers"},
  };
  for (const auto& c : cases) {
    write_file(dir / "file", c.contents);
    Descriptor file(open((dir / "file").c_str(), O_RDONLY));
    ASSERT_GE(file.fd, 0);
    EXPECT_EQ(crc32_of_descriptor(file.fd), reference(c.contents)) << c.why;
  }
}

TEST(Crc32OfDescriptorTest, StartsAtTheCurrentPositionAndLeavesTheDescriptorOpen) {
  TempDir dir;
  const std::string contents = sample(100000);
  write_file(dir / "file", contents);
  Descriptor file(open((dir / "file").c_str(), O_RDONLY));
  ASSERT_EQ(lseek(file.fd, 1234, SEEK_SET), 1234);
  EXPECT_EQ(crc32_of_descriptor(file.fd), reference(contents.substr(1234)));
  EXPECT_NE(fcntl(file.fd, F_GETFD), -1);
  EXPECT_EQ(lseek(file.fd, 0, SEEK_CUR), static_cast<off_t>(contents.size()));
}

TEST(Crc32OfDescriptorTest, PipeDeliveringShortReads) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  Descriptor read_end(ends[0]);
  const std::string contents = sample(200003);
  // Each piece goes in only once the pipe is empty, so every read the
  // computation makes returns one piece, most of them far short of its buffer.
  std::thread writer([&contents, write_fd = ends[1]] {
    const std::size_t pieces[] = {1, 7, 4093, 65537, 100};
    std::size_t done = 0;
    for (std::size_t i = 0; done < contents.size(); ++i) {
      std::size_t size = std::min(pieces[i % std::size(pieces)], contents.size() - done);
      for (std::size_t put = 0; put < size;) {
        ssize_t n = write(write_fd, contents.data() + done + put, size - put);
        if (n <= 0) break;
        put += static_cast<std::size_t>(n);
      }
      done += size;
      int queued = 0;
      while (ioctl(write_fd, FIONREAD, &queued) == 0 && queued > 0) usleep(100);
    }
    close(write_fd);
  });
  std::optional<std::uint32_t> crc = crc32_of_descriptor(read_end.fd);
  // Should the computation stop early, drain the pipe so that the writer ends.
  char sink[4096];
  while (read(read_end.fd, sink, sizeof sink) > 0) {
  }
  writer.join();
  EXPECT_EQ(crc, reference(contents));
}

std::atomic<int> interruptions{0};
void count_interruption(int) { ++interruptions; }

TEST(Crc32OfDescriptorTest, InterruptedReadsAreRetried) {
  struct sigaction action = {};
  struct sigaction previous;
  action.sa_handler = count_interruption;  // no SA_RESTART: a blocked read fails with EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  Descriptor read_end(ends[0]);
  const std::string contents = sample(5000);
  // The reader blocks on the empty pipe while signals arrive; only then comes the data.
  std::thread writer([&contents, write_fd = ends[1], reader = pthread_self()] {
    for (int i = 0; i < 20; ++i) {
      pthread_kill(reader, SIGUSR1);
      usleep(2000);
    }
    ssize_t ignored = write(write_fd, contents.data(), contents.size());
    (void)ignored;
    close(write_fd);
  });
  std::optional<std::uint32_t> crc = crc32_of_descriptor(read_end.fd);
  writer.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GT(interruptions.load(), 0);
  EXPECT_EQ(crc, reference(contents));
}

TEST(Crc32OfDescriptorTest, ReadErrorsFail) {
  TempDir dir;
  write_file(dir / "file", "data");
  const struct {
    std::string path;
    int flags;
    const char* why;
  } cases[] = {
      {dir.path(), O_RDONLY, "a directory opened as a file (EISDIR)"},
      {dir / "file", O_WRONLY, "a descriptor not open for reading (EBADF)"},
  };
  for (const auto& c : cases) {
    Descriptor fd(open(c.path.c_str(), c.flags));
    ASSERT_GE(fd.fd, 0) << c.why;
    EXPECT_EQ(crc32_of_descriptor(fd.fd), std::nullopt) << c.why;
  }
}

}  // namespace
}  // namespace kuvo
