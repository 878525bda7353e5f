#include "watch/privileges.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <vector>

namespace kuvo {
namespace {

// The colon-separated fields of one line of /etc/passwd or /etc/group.
std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  while (true) {
    const std::size_t colon = line.find(':', at);
    fields.push_back(line.substr(at, colon - at));
    if (colon == std::string::npos) return fields;
    at = colon + 1;
  }
}

std::optional<unsigned long> number_of(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return {};
  return std::strtoul(text.c_str(), nullptr, 10);
}

struct Account {
  uid_t uid;
  gid_t gid;
};

std::optional<Account> find_account(const std::string& name) {
  std::ifstream passwd("/etc/passwd");
  for (std::string line; std::getline(passwd, line);) {
    const std::vector<std::string> fields = fields_of(line);
    if (fields.size() < 4 || fields[0] != name) continue;
    const std::optional<unsigned long> uid = number_of(fields[2]);
    const std::optional<unsigned long> gid = number_of(fields[3]);
    if (uid && gid) return Account{static_cast<uid_t>(*uid), static_cast<gid_t>(*gid)};
  }
  return std::nullopt;
}

// The account's primary group and every group that names it as a member.
std::vector<gid_t> groups_of(const std::string& name, gid_t primary) {
  std::vector<gid_t> groups{primary};
  std::ifstream group("/etc/group");
  for (std::string line; std::getline(group, line);) {
    const std::vector<std::string> fields = fields_of(line);
    if (fields.size() < 4) continue;
    const std::optional<unsigned long> gid = number_of(fields[2]);
    if (!gid) continue;
    std::size_t at = 0;
    const std::string& members = fields[3];
    while (at <= members.size()) {
      std::size_t comma = members.find(',', at);
      if (comma == std::string::npos) comma = members.size();
      if (members.compare(at, comma - at, name) == 0 &&
          std::find(groups.begin(), groups.end(), *gid) == groups.end()) {
        groups.push_back(static_cast<gid_t>(*gid));
      }
      at = comma + 1;
    }
  }
  return groups;
}

}  // namespace

DropResult drop_privileges(const std::string& name) {
  const std::optional<Account> account = find_account(name);
  if (!account) return DropResult::unknown_user;
  const std::vector<gid_t> groups = groups_of(name, account->gid);
  if (setgroups(groups.size(), groups.data()) != 0 || setgid(account->gid) != 0 ||
      setuid(account->uid) != 0) {
    return DropResult::refused;
  }
  // A process that could take root back has not given it up.
  if (account->uid != 0 && setuid(0) == 0) return DropResult::refused;
  return DropResult::dropped;
}

}  // namespace kuvo
