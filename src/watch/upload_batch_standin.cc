#include "watch/upload_batch_standin.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/case_fold.h"
#include "verify/sfv_arrival.h"
#include "verify/single_file.h"

namespace kuvo {

void judge_uploads(const Settings& settings, const std::vector<std::string>& uploads,
                   const std::function<void(const UploadVerdict&)>& told) {
  for (const std::string& name : uploads) {
    Settings one = settings;
    one.uploaded_file = name;
    char* text = nullptr;
    std::size_t size = 0;
    one.console = open_memstream(&text, &size);
    UploadVerdict verdict{name, ExitStatus::setup_error, {}};
    verdict.status = is_sfv_name(name) ? run_sfv_arrival(one) : check_uploaded_file(one);
    std::fclose(one.console);
    verdict.console.assign(text, size);
    std::free(text);
    told(verdict);
  }
}

std::vector<std::string> uploads_pending(const Settings& settings) {
  std::vector<std::string> found;
  DIR* dir = opendir(".");
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat st;
    if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (access((name + settings.missing_suffix).c_str(), F_OK) == 0) found.push_back(name);
  }
  closedir(dir);
  return found;
}

}  // namespace kuvo
