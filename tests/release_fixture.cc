#include "release_fixture.h"

#include <sys/stat.h>

#include <cstdio>
#include <sstream>

#include "crc/crc32.h"
#include "crc/crc32_reference.h"

namespace kuvo::testing {

ReleaseFixture::ReleaseFixture() {
  mkdir(release().c_str(), 0755);
  mkdir(base().c_str(), 0755);
}

void ReleaseFixture::put(const std::string& name, const std::string& contents) const {
  write_file(in_release(name), contents);
}

std::uint32_t ReleaseFixture::crc_of(const std::string& contents) {
  return crc32_bytewise(0, reinterpret_cast<const unsigned char*>(contents.data()),
                        contents.size());
}

std::string ReleaseFixture::sfv_line(const std::string& name, const std::string& contents) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(crc_of(contents)));
  return name + " " + hex + "\r\n";
}

RunResult ReleaseFixture::upload(const std::string& file, const std::vector<std::string>& args,
                                 const std::map<std::string, std::optional<std::string>>& env,
                                 const RunOptions& options) const {
  std::map<std::string, std::optional<std::string>> full = {
      {"KUVO_FILE", file},      {"KUVO_DIR", release()},
      {"USER", "alice"},        {"GROUP", "crew"},
      {"UNFO", "uploader"},     {"KUVO_ANNOUNCEFILE", announce()},
      {"KUVO_BASEDIR", base()}, {"TZ", "UTC"}};
  for (const auto& [name, value] : env) full[name] = value;
  return run_kuvo(full, args, options);
}

std::vector<std::string> ReleaseFixture::announce_lines() const {
  std::vector<std::string> lines;
  std::istringstream in(read_file(announce()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string console(const RunResult& result) {
  const std::string banner = banner_line();
  if (result.out.compare(0, banner.size(), banner) == 0) return result.out.substr(banner.size());
  return "<no banner>" + result.out;
}

}  // namespace kuvo::testing
