// Giving up root once the watcher holds what it needs: a service started as
// root should judge uploads with no more rights than the upload area's owner.
#pragma once

#include <string>

namespace kuvo {

// What became of a request to run as another user.
enum class DropResult {
  dropped,       // the process now has the user's id, group and supplementary groups
  unknown_user,  // /etc/passwd has no such user
  refused        // the system refused a change; errno tells why
};

// Takes on the user `name` as /etc/passwd and /etc/group describe it (read
// directly, so that a statically linked kuvo needs no name service): its
// groups first, then its user id, so that nothing of root's stays. Fails as
// DropResult says; after `refused` the process may hold some of the changes.
DropResult drop_privileges(const std::string& name);

}  // namespace kuvo
