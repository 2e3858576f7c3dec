#include "upload.h"

namespace {

constexpr uint64_t text_size(const char *s) {
  uint64_t n = 0;
  while (s[n] != '\0') ++n;
  return n;
}

// The file part without the file and its name: the delimiter line, the
// disposition with the name and its closing quote and line end, the type
// line and the blank line.
const uint64_t kFilePart =
    text_size(GWC_DELIMITER_LINE) + text_size(GWC_FILE_DISPOSITION) + 3 + text_size(GWC_PART_TYPE) + 2;
// The signature part in front of it, without the name and the signature:
// its leading line end (which ends the request headers, so that the file
// part's own line end closes the signature), then as above with the name
// followed by ".minisig".
const uint64_t kSignaturePart = 2 + text_size(GWC_DELIMITER_LINE) + text_size(GWC_SIGNATURE_DISPOSITION) +
                                text_size(GWC_SIGNATURE_SUFFIX) + 3 + text_size(GWC_PART_TYPE) + 2;
// After the file: its line end, then the closing delimiter line.
const uint64_t kTail = 2 + text_size(GWC_CLOSING_LINE);

uint64_t around(size_t name_length, long signature_length) {
  uint64_t n = kFilePart + name_length + kTail;
  if (signature_length >= 0) n += kSignaturePart + name_length + (uint64_t)signature_length;
  return n;
}

}  // namespace

uint64_t gwc_upload_body_length(size_t name_length, uint64_t file_size, long signature_length) {
  return around(name_length, signature_length) + file_size;
}

uint64_t gwc_upload_counted_bytes(size_t name_length, uint64_t file_size, long signature_length) {
  return gwc_upload_body_length(name_length, file_size, signature_length) - text_size(GWC_CLOSING_LINE);
}

uint64_t gwc_upload_largest_file(size_t name_length, long signature_length) {
  const uint64_t fixed = around(name_length, signature_length) - text_size(GWC_CLOSING_LINE);
  return fixed >= GWC_MAX_BODY_BYTES ? 0 : GWC_MAX_BODY_BYTES - fixed;
}

uint64_t gwc_upload_smallest_file(size_t name_length, long signature_length) {
  const uint64_t fixed = around(name_length, signature_length);
  return fixed >= GWC_MIN_CONTENT_LENGTH ? 0 : GWC_MIN_CONTENT_LENGTH - fixed;
}
