// Who wants to follow an upload: the wizard sets a hook for the time of its
// transfer; the web client calls it after every block it sent. Uploads run
// one at a time, so one hook serves the process.
#ifndef VELMORA_WEBCLIENT_UPLOAD_PROGRESS_H
#define VELMORA_WEBCLIENT_UPLOAD_PROGRESS_H

#include <stdint.h>

#include <functional>

namespace velmora {

// Called with the bytes of the file sent so far and the file's size; empty
// when nobody follows.
using UploadProgressHook = std::function<void(uint64_t sent, uint64_t total)>;

inline UploadProgressHook &UploadProgress() {
  static UploadProgressHook hook;
  return hook;
}

}  // namespace velmora

#endif
