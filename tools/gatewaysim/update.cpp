#include "update.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "contract/image.h"
#include "contract/result.h"

namespace gwsim {

namespace {

const size_t kKernelPartition = GWC_KERNEL_PARTITION_SIZE;

bool write_at_start(const std::string &path, const char *data, size_t n) {
  // The partition keeps whatever lies beyond the new image, as flash does.
  FILE *f = fopen(path.c_str(), "r+b");
  if (f == nullptr) f = fopen(path.c_str(), "w+b");
  if (f == nullptr) return false;
  bool ok = fwrite(data, 1, n, f) == n;
  return fclose(f) == 0 && ok;
}

}  // namespace

bool multipart_file(const std::string &body, const std::string &boundary, std::string *filename,
                    std::string *data) {
  std::string delim = "--" + boundary;
  size_t start = body.find(delim);
  if (start == std::string::npos) return false;
  size_t headers_end = body.find("\r\n\r\n", start);
  if (headers_end == std::string::npos) return false;
  std::string headers = body.substr(start, headers_end - start);
  size_t fn = headers.find("filename=\"");
  if (fn == std::string::npos) return false;
  size_t fn_end = headers.find('"', fn + 10);
  *filename = headers.substr(fn + 10, fn_end == std::string::npos ? std::string::npos : fn_end - fn - 10);
  size_t data_start = headers_end + 4;
  size_t data_end = body.find("\r\n" + delim, data_start);
  *data = body.substr(data_start, data_end == std::string::npos ? std::string::npos : data_end - data_start);
  return true;
}

std::string write_image(const SimDir &d, const std::string &image) {
  if (image.size() < 12) return "image too short";
  const unsigned char *p = reinterpret_cast<const unsigned char *>(image.data());
  const size_t size = image.size(), payload = size - CS_TAG_SIZE;
  const int tag = gwc_tag_check(p, size);
  if (tag == RESULT_NO_CHECKSUM) return "image has no tag";
  if (tag != RESULT_OK) return "image checksum wrong";
  switch (gwc_image_kind(p, size)) {
    case GWC_IMAGE_FILESYSTEM:
      return write_at_start(d.mtd(GWC_MTD_FILESYSTEM), image.data(), payload) ? "" : "cannot write file system";
    case GWC_IMAGE_KERNEL:
      return write_at_start(d.mtd(GWC_MTD_KERNEL), image.data(), payload) ? "" : "cannot write kernel";
    case GWC_IMAGE_COMBINED:
      if (!write_at_start(d.mtd(1), image.data(), kKernelPartition)) return "cannot write kernel";
      return write_at_start(d.mtd(0), image.data() + kKernelPartition, payload - kKernelPartition)
                 ? ""
                 : "cannot write file system";
    default:
      return "unknown image kind";
  }
}

int update_main(const SimDir &d) {
  const char *ctype = getenv("CONTENT_TYPE");
  const char *cl = getenv("CONTENT_LENGTH");
  std::string boundary;
  if (ctype != nullptr && strstr(ctype, "boundary=") != nullptr) boundary = strstr(ctype, "boundary=") + 9;
  long want = cl ? atol(cl) : 0;

  // Stop at the closing delimiter: the PC announces more bytes than it sends
  // for most file names, and the web server would wait for them.
  std::string body;
  std::string closing = "--" + boundary + "--";
  char buf[65536];
  while ((long)body.size() < want) {
    size_t chunk = sizeof buf;
    if ((long)chunk > want - (long)body.size()) chunk = (size_t)(want - (long)body.size());
    ssize_t n = read(0, buf, chunk);
    if (n <= 0) break;
    size_t from = body.size() > closing.size() ? body.size() - closing.size() : 0;
    body.append(buf, (size_t)n);
    if (!boundary.empty() && body.find(closing, from) != std::string::npos) break;
  }

  Settings config;
  config.load(d.config());
  std::string answer = config.get("update_answer", "successful");
  std::string filename, data;
  bool has_file = !boundary.empty() && multipart_file(body, boundary, &filename, &data);
  log_request(d, "update", "POST /cgi-bin/update length=" + std::to_string(want) + " received=" +
                               std::to_string(body.size()) + " file=" + filename + " bytes=" +
                               std::to_string(data.size()));

  std::string verdict;
  if (answer == "silent") {
    log_request(d, "update", "no verdict (configured silent)");
    return 0;  // the connection closes without a word
  }
  if (answer == "failed") {
    verdict = "failed";
    log_request(d, "update", "failed (configured)");
  } else {
    std::string why = has_file ? write_image(d, data) : "no file in the request";
    verdict = why.empty() ? "successful" : "failed";
    log_request(d, "update", why.empty() ? "image written" : "failed: " + why);
    if (why.empty()) {
      FILE *f = fopen((d.dir + "/flash-written").c_str(), "a");  // for the supervisor
      if (f != nullptr) {
        fputs("update\n", f);
        fclose(f);
      }
    }
  }
  printf("Content-type: text/html\n\n<html><body>Kestrelon firmware update %s</body></html>\n",
         verdict.c_str());
  fflush(stdout);
  return 0;
}

}  // namespace gwsim
