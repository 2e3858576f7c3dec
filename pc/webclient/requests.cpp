#include "webclient/requests.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "contract/upload.h"
#include "webclient/base64.h"

namespace velmora {

namespace {

const char kAccept[] =
    "Accept: image/gif, image/x-bitmap, image/jpeg, image/pjpeg, "
    "application/vnd.ms-powerpoint, application/vnd.ms-excel, "
    "application/msword, application/x-comet, */*\r\n";
const char kUserAgent[] =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0; Windows NT; DigExt; "
    "KeStReLoN Agent;)\r\n";

}  // namespace

std::string RequestHost(const char *host) {
  if (!host) return std::string();
  const char *lf = strchr(host, '\n');
  return lf ? std::string(host, lf - host) : std::string(host);
}

bool ComposeAuthorization(const char *userName, const char *password,
                          std::string &out) {
  out.clear();
  if (!userName || !*userName) return false;
  std::string joined = std::string(userName) + ":" + (password ? password : "");
  if (joined.size() > 255) joined.resize(255);
  size_t size = Base64EncodedSize(joined.size());
  std::string encoded(size, '\0');
  if (!Base64Encode(reinterpret_cast<const unsigned char *>(joined.data()),
                    joined.size(), &encoded[0], size))
    return false;
  encoded.resize(strlen(encoded.c_str()));
  out = "Authorization: Basic " + encoded + "\r\n";
  return true;
}

std::string ComposeGet(const char *path, const char *host,
                       const std::string &authorization) {
  std::string r;
  r.append("GET /").append(path).append(" HTTP/1.1\r\n");
  r.append(kAccept);
  r.append("Accept-Language: en\r\n");
  r.append("Cache-Control: no-cache\r\n");
  r.append("Proxy-Connection: Keep-Alive\r\n");
  r.append(kUserAgent);
  r.append("Host: ").append(RequestHost(host)).append("\r\n");
  r.append(authorization);
  r.append("\r\n");
  return r;
}

std::string ComposePost(const char *path, const char *host,
                        const std::string &authorization, const char *body) {
  char length[48];
  snprintf(length, sizeof length, "Content-Length: %ld\r\n",
           static_cast<long>(strlen(body)));
  std::string r;
  r.append("POST /").append(path).append(" HTTP/1.1\r\n");
  r.append(kAccept);
  r.append("Accept-Language: en\r\n");
  r.append("Content-Type: application/x-www-form-urlencoded\r\n");
  r.append(kUserAgent);
  r.append("Host: ").append(RequestHost(host)).append("\r\n");
  r.append(length);
  r.append("Cache-Control: no-cache\r\n");
  r.append("Proxy-Connection: Keep-Alive\r\n");
  r.append(authorization);
  r.append("\r\n");
  r.append(body);
  r.append("\r\n\r\n");
  return r;
}

std::string ComposeUploadHead(const char *path, const char *host,
                              const std::string &authorization) {
  std::string r;
  r.append("POST /").append(path).append(" HTTP/1.1\r\n");
  r.append("Host: ").append(RequestHost(host)).append("\r\n");
  r.append("Pragma: no-cache\r\n");
  r.append("Accept: */*\r\n");
  r.append(authorization);
  r.append("Content-Type: multipart/form-data; boundary=" GWC_BOUNDARY "\r\n");
  return r;
}

std::string ComposeUploadLength(uint64_t contentLength) {
  char line[64];
  snprintf(line, sizeof line, "Content-Length: %" PRIu64 "\r\n", contentLength);
  return line;
}

std::string ComposeUploadPartHeader(const char *fileName) {
  std::string r("\r\n");
  r.append(GWC_DELIMITER_LINE);
  r.append(GWC_FILE_DISPOSITION).append(fileName).append("\"\r\n");
  r.append(GWC_PART_TYPE);
  r.append("\r\n");
  return r;
}

std::string ComposeSignaturePart(const char *fileName, const std::string &signature) {
  std::string r("\r\n");
  r.append(GWC_DELIMITER_LINE);
  r.append(GWC_SIGNATURE_DISPOSITION).append(fileName).append(GWC_SIGNATURE_SUFFIX "\"\r\n");
  r.append(GWC_PART_TYPE);
  r.append("\r\n");
  r.append(signature);
  return r;
}

std::string ComposeUploadTail() {
  return "\r\n" GWC_CLOSING_LINE;
}

uint64_t UploadBodyLength(const char *fileName, uint64_t fileSize) {
  return gwc_upload_body_length(strlen(fileName), fileSize, GWC_UNSIGNED);
}

}  // namespace velmora
