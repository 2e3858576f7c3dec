// What a signature binds beyond the bytes of its file: the platforms and
// the firmware version the file is for, written into the signature's
// trusted comment as minisign writes its own fields there, "key:value"
// fields separated by tabs:
//
//   timestamp:1700000000<TAB>file:firmware.img<TAB>hashed<TAB>platforms:GQ GR<TAB>version:3.60.1.0.9-GQ
//
// "platforms" holds blank-separated platform names, as upgrade.ini does;
// "version" a version text as config.xml holds it. The trusted comment is
// signed, so neither can be changed without the key; the minisign tool
// verifies and prints it unchanged. A gateway that declares its platform,
// or the lowest version it takes, judges a signature by these fields; a
// signature without them is judged by its bytes alone. fwtag writes them,
// velmora-kit compares them with the kit's files, dornix judges them.
#ifndef GATEWAY_CONTRACT_BINDING_H
#define GATEWAY_CONTRACT_BINDING_H

#include <stddef.h>

#include "version.h"

#ifdef __cplusplus
extern "C" {
#endif

#define GWC_FIELD_PLATFORMS "platforms"
#define GWC_FIELD_VERSION "version"

// The number of fields `key` in the comment (a field is "key:value" or a
// bare word), with the value of the first in *value.
int gwc_comment_field(const char *comment, size_t length, const char *key, gwc_span *value);

// Appends the field "key:value" (a bare word when `value` is NULL) to the
// NUL-terminated comment in `out`, after a tab unless it is empty. Control
// characters and backslashes in the value are written as \xHH, so that the
// comment stays on its one line and its fields stay apart. 0 when it does
// not fit in `size` bytes (out is then unchanged).
int gwc_comment_append(char *out, size_t size, const char *key, const char *value, size_t value_length);

// The next blank-separated name of a platform list (text[list.at] on, at
// most list.length bytes) from *pos (an offset into the list, 0 first).
// 1 with its place in *name, 0 at the end.
int gwc_platforms_next(const char *text, gwc_span list, size_t *pos, gwc_span *name);

// Whether the list names `platform` (`length` bytes), in any case, as the
// wizard reads platform names upper-cased.
int gwc_platforms_include(const char *text, gwc_span list, const char *platform, size_t length);

// Whether the binding fields of a comment about to be signed are well
// formed: each at most once, a platform list with at least one name and no
// comma or semicolon in a name, a version the wizard can read. 1, or 0
// with *why.
int gwc_binding_check(const char *comment, size_t length, const char **why);

// Judges the trusted comment of a valid signature for a gateway that
// declares its platform and the lowest version it takes (NULL: not
// declared). Refused: a declaration that is no platform name or version;
// signed platforms without the declared one; a signed version older than
// the lowest, or for another platform or count of numbers; a field that
// is needed but given twice or malformed. A field the gateway does not
// need is not looked at. 1 when taken; 0 with *why.
int gwc_binding_judge(const char *comment, size_t length, const char *platform, const char *lowest,
                      const char **why);

#ifdef __cplusplus
}
#endif

#endif
