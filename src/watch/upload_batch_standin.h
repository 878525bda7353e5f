// TEMPORARY: the batch interface the verify layer is getting, judged one hook
// run per name until it lands. Deleted when it does.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/exit_status.h"
#include "base/settings.h"

namespace kuvo {

struct UploadVerdict {
  std::string upload;
  ExitStatus status;
  std::string console;
};

void judge_uploads(const Settings& settings, const std::vector<std::string>& uploads,
                   const std::function<void(const UploadVerdict&)>& told);

std::vector<std::string> uploads_pending(const Settings& settings);

}  // namespace kuvo
