// The configuration compaction as it was before it scanned the file in
// memory (gateway/cgi/config.cpp at that time) over the scanner of that time
// (script_reference.l): config_fuzz holds the current compaction to its
// results. Only the names of the scanner's calls differ from the original.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config_reference.h"
#include "firmware.h"
#include "keyvalue.h"
#include "script.h"

extern char *reftext;
extern int refleng;
int reflex(void);
void ref_script_begin(FILE *in);
void ref_script_end(void);

namespace {

// The compacted text: appends never run past the buffer, although the
// compaction cannot make the text longer than the file it came from.
struct Output {
  char *buf;
  size_t capacity;
  size_t length;

  bool append(const char *data, size_t n) {
    if (n > capacity - length) return false;
    memcpy(buf + length, data, n);
    length += n;
    return true;
  }
};

// A copy of a token's bytes, owned until replaced or dropped.
struct Held {
  char *data = nullptr;
  size_t length = 0;

  ~Held() { drop(); }
  void drop() {
    free(data);
    data = nullptr;
    length = 0;
  }
  bool keep(const char *bytes, size_t n) {
    drop();
    data = static_cast<char *>(malloc(n + 1));
    if (data == nullptr) return false;
    memcpy(data, bytes, n);
    data[n] = '\0';
    length = n;
    return true;
  }
};

// Ends the scanner's use of its buffers however the scan ends.
struct Scan {
  explicit Scan(FILE *in) { ref_script_begin(in); }
  ~Scan() { ref_script_end(); }
};

int token_error(const char *text) {
  debug_printf("copy_config_file: Error Token: %s\n", text);
  return RESULT_CONFIG_TOKEN;
}

}  // namespace

int reference_compact(FILE *in, char *out_buf, size_t capacity, size_t *length) {
  Output out{out_buf, capacity, 0};
  Held start;  // name of the most recent start tag, blanks after its "<" included
  Held text;   // text of the current element, written once its end tag names it
  Scan scan(in);
  int previous = TOKEN_INVALID;
  bool fits = true;

  for (int token; (token = reflex()) != 0; previous = token) {
    const char *t = reftext;
    const size_t n = (size_t)refleng;
    switch (token) {
      case TOKEN_INVALID:
        return token_error(t);
      case TOKEN_TAG_END: {
        size_t keep = n;
        if (keep >= 2 && t[keep - 2] == '\r' && t[keep - 1] == '\n')
          keep -= 2;
        else if (keep >= 1 && (t[keep - 1] == '\r' || t[keep - 1] == '\n'))
          keep -= 1;
        fits = fits && out.append(t, keep);
        break;
      }
      case TOKEN_START_TAG: {
        // A line end in front of the "<" is not part of the name.
        const char *lt = static_cast<const char *>(memchr(t, '<', n));
        const size_t skip = lt != nullptr ? (size_t)(lt - t) + 1 : 0;
        if (!start.keep(t + skip, n - skip)) {
          debug_printf("copy_config_file: Error - malloc failed for pStart\n");
          return RESULT_CONFIG_TOKEN;
        }
        fits = fits && out.append(t, n);
        text.drop();
        break;
      }
      case TOKEN_END_TAG:
        break;  // written with the name that follows it
      case TOKEN_TEXT:
        if (!text.keep(t, n)) {
          debug_printf("copy_config_file: Error - malloc failed for pData\n");
          return RESULT_CONFIG_TOKEN;
        }
        break;
      case TOKEN_NAME:
        if (previous == TOKEN_END_TAG && start.data != nullptr) {
          // Only a leaf keeps its text: the end tag must close the element
          // opened last.
          if (safe_strcmp(t, start.data) == 0 && text.data != nullptr) {
            fits = fits && out.append(text.data, text.length);
            text.drop();
          }
          fits = fits && out.append("</", 2);
        }
        fits = fits && out.append(t, n);
        break;
      default:  // instructions, attributes, values, comments: as written
        fits = fits && out.append(t, n);
        break;
    }
  }
  if (!fits) {
    debug_printf("copy_config_file: Error - compacted text does not fit\n");
    return RESULT_CONFIG_TOKEN;
  }
  *length = out.length;
  return RESULT_OK;
}
