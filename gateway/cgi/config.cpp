#include "config.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "firmware.h"
#include "io.h"
#include "keyvalue.h"
#include "platform.h"
#include "script.h"

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
  explicit Scan(FILE *in) { script_begin(in); }
  ~Scan() { script_end(); }
};

int token_error(const char *text) {
  debug_printf("copy_config_file: Error Token: %s\n", text);
  return RESULT_CONFIG_TOKEN;
}

}  // namespace

int compact_config(FILE *in, char *out_buf, size_t capacity, size_t *length) {
  Output out{out_buf, capacity, 0};
  Held start;  // name of the most recent start tag, blanks after its "<" included
  Held text;   // text of the current element, written once its end tag names it
  Scan scan(in);
  int previous = TOKEN_INVALID;
  bool fits = true;

  for (int token; (token = yylex()) != 0; previous = token) {
    const char *t = yytext;
    const size_t n = (size_t)yyleng;
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

namespace {

struct Stream {
  FILE *f;
  ~Stream() {
    if (f != nullptr) fclose(f);
  }
};

struct Buffer {
  char *p;
  ~Buffer() { free(p); }
};

}  // namespace

int copy_config_file(void) {
  // Read and write access, as the image path opens fw.bin.
  Stream in{fopen(GwPath(GW_FW_BIN), "r+")};
  if (in.f == nullptr) return RESULT_TMP_OPEN;
  long size = -1;
  if (fseek(in.f, 0, SEEK_END) == 0) size = ftell(in.f);
  if (size < 0 || fseek(in.f, 0, SEEK_SET) != 0) return RESULT_TMP_OPEN;

  debug_printf("copy_config_file: Upgrading cfg:\n");
  Buffer out{static_cast<char *>(malloc(size > 0 ? (size_t)size : 1))};
  if (out.p == nullptr) return RESULT_NO_MEMORY;

  // The whole file is scanned, and its stored size checked, before the
  // partition is opened: a refused file leaves the stored configuration as
  // it was.
  size_t length = 0;
  int r = compact_config(in.f, out.p, (size_t)size, &length);
  if (r != RESULT_OK) return r;
  debug_printf("copy_config_file: totalLen: %x\n", (unsigned)length);
  if (upload_truncated) {
    // Part of the file never arrived, and no tag tells: storing the rest
    // would lose the part of the configuration that was cut off.
    debug_printf("copy_config_file: Error - upload ended before its boundary\n");
    return RESULT_CONFIG_TOKEN;
  }
  if (length > IO_MAX_DATA) {
    // The loader refuses longer blocks: storing one would lose the
    // configuration at the next start.
    debug_printf("copy_config_file: Error - configuration of %lu bytes exceeds %u bytes\n",
                 (unsigned long)length, IO_MAX_DATA);
    return RESULT_CONFIG_TOKEN;
  }

  int fd = open(GwPath(GW_MTD_CONFIG), O_WRONLY);
  if (fd < 0) return RESULT_CONFIG_OPEN;
  int w = io_write_mtd_block(fd, out.p, (uint32_t)length);
  if (close(fd) != 0) w = -1;
  if (w != 0) {
    debug_printf("copy_config_file: failed to write the configuration block!\n");
    return RESULT_MTD_WRITE;
  }
  debug_printf("copy_config_file: successful!\n");
  return RESULT_OK;
}

int send_config_file(void) {
  unsigned char *block = nullptr;
  size_t size = 0;
  if (io_load_mtd_header(GwPath(GW_MTD_CONFIG), &block, &size) != 0) return RESULT_CONFIG_OPEN;
  header(0);
  fflush(nullptr);
  // The block goes out whole, header included, in one write.
  size_t done = 0;
  while (done < size) {
    ssize_t put = write(STDOUT_FILENO, block + done, size - done);
    if (put <= 0) break;
    done += (size_t)put;
  }
  free(block);
  return RESULT_OK;
}
