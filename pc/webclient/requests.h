// The requests the wizard sends, composed as exact bytes. Replies are never
// parsed as HTTP; only these bytes are fixed, so they live apart from the
// transport and are checked byte for byte.
#ifndef VELMORA_WEBCLIENT_REQUESTS_H
#define VELMORA_WEBCLIENT_REQUESTS_H

#include <stdint.h>

#include <string>

namespace velmora {

// Largest request the client sends, in bytes; longer ones are not sent.
// Requests go out in pieces of the connection's buffer size.
constexpr size_t kLongestRequest = 65536;

// The host text as it goes on the wire: cut at its first line feed.
std::string RequestHost(const char *host);

// "Authorization: Basic ...\r\n" for user:password (joined text at most 255
// bytes); false with out empty when the user name is empty.
bool ComposeAuthorization(const char *userName, const char *password,
                          std::string &out);

// Paths come without the leading "/". `authorization` is a whole header line
// or empty.
std::string ComposeGet(const char *path, const char *host,
                       const std::string &authorization);
std::string ComposePost(const char *path, const char *host,
                        const std::string &authorization, const char *body);

// The multipart upload goes out in pieces: A (request line and headers up to
// the content type), B (Content-Length), C (end of headers and the part
// header), the file's bytes, and E (closing delimiter).
std::string ComposeUploadHead(const char *path, const char *host,
                              const std::string &authorization);
std::string ComposeUploadLength(uint64_t contentLength);
std::string ComposeUploadPartHeader(const char *fileName);
std::string ComposeUploadTail();
// The "signature" part, sent in front of the file part when the kit holds
// the file's signature (fileName + ".minisig", its text in `signature`).
// Its leading "\r\n" ends the request headers; the file part's own then
// ends the signature, so every other byte of the upload stays as it was and
// the body grows by exactly this part's size.
std::string ComposeSignaturePart(const char *fileName, const std::string &signature);
// Exact body length: what follows the blank line that ends the headers.
uint64_t UploadBodyLength(const char *fileName, uint64_t fileSize);

}  // namespace velmora

#endif
