// The upload as both sides count it: the wizard's multipart request (its
// exact bytes around the file) and the limits dornix applies to it.
#ifndef GATEWAY_CONTRACT_UPLOAD_H
#define GATEWAY_CONTRACT_UPLOAD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A request announcing fewer bytes than this is refused (6): the size of
// the kernel partition.
#define GWC_MIN_CONTENT_LENGTH 655360
// Body bytes that may have been read by the end of a data line; one more
// and the upload is refused (7).
#define GWC_MAX_BODY_BYTES 8191999

// The wizard's request: the boundary parameter, the delimiter line that
// opens each part, the closing one, and the lines of a part's header.
#define GWC_BOUNDARY "--MULTI-PARTS-FORM-DATA-BOUNDARY"
#define GWC_DELIMITER_LINE "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
#define GWC_CLOSING_LINE "----MULTI-PARTS-FORM-DATA-BOUNDARY--\r\n"
#define GWC_FILE_DISPOSITION "Content-Disposition: form-data; name=\"UploadFile\"; filename=\""
#define GWC_SIGNATURE_DISPOSITION "Content-Disposition: form-data; name=\"signature\"; filename=\""
#define GWC_SIGNATURE_SUFFIX ".minisig"
#define GWC_PART_TYPE "Content-Type: application/octet-stream\r\n"

// No signature part in the request.
#define GWC_UNSIGNED (-1)

// Bytes of the body the wizard sends (what follows the blank line ending
// the request headers, its Content-Length) for a file of `file_size` bytes
// whose name is `name_length` bytes long, with a signature part of
// `signature_length` bytes of signature text in front, or none for
// GWC_UNSIGNED.
uint64_t gwc_upload_body_length(size_t name_length, uint64_t file_size, long signature_length);

// Of that body, the bytes dornix has read when the file's last line ends:
// everything but the closing delimiter line. More than GWC_MAX_BODY_BYTES
// is refused (7).
uint64_t gwc_upload_counted_bytes(size_t name_length, uint64_t file_size, long signature_length);

// The largest file of a name of `name_length` bytes that the gateway takes,
// with a signature part of `signature_length` bytes (or GWC_UNSIGNED);
// the smallest is the one whose body reaches GWC_MIN_CONTENT_LENGTH.
uint64_t gwc_upload_largest_file(size_t name_length, long signature_length);
uint64_t gwc_upload_smallest_file(size_t name_length, long signature_length);

#ifdef __cplusplus
}
#endif

#endif
