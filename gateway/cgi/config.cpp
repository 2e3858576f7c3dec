#include "config.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "contract/result.h"
#include "io.h"
#include "log.h"
#include "pages.h"
#include "platform.h"
#include "script.h"

namespace {

// NUL is the scanner's end-of-buffer mark: at every NUL it meets, flex
// checks whether its buffer ends there and, finding that it does not, scans
// the token so far again from its start. A token that holds many NULs (text,
// a value, a comment, or the NULs a file is padded with after its last tag)
// then takes quadratic time. To the rules a NUL is one of the control bytes
// other than tab and the line ends, which are all text, value and comment
// bytes and invalid anywhere else. So the scanner is shown kNulStandIn, one
// of those bytes, in place of each NUL, and the NULs are put back wherever
// the file's bytes are copied.
const char kNulStandIn = '\x01';

class Nuls {
 public:
  explicit Nuls(char *file) : file_(file) {}
  Nuls(const Nuls &) = delete;
  Nuls &operator=(const Nuls &) = delete;
  ~Nuls() { free(at_); }

  // Replaces the NULs of the first `size` bytes of the file and notes where
  // they were. false when there is no memory for the note.
  bool hide(size_t size) {
    if (memchr(file_, '\0', size) == nullptr) return true;
    at_ = static_cast<unsigned char *>(calloc(size / 8 + 1, 1));
    if (at_ == nullptr) return false;
    for (size_t i = 0; i < size; ++i) {
      if (file_[i] != '\0') continue;
      at_[i / 8] = (unsigned char)(at_[i / 8] | 1u << (i % 8));
      file_[i] = kNulStandIn;
    }
    return true;
  }

  // The `n` bytes at `from`, bytes of the file, as the file held them.
  void restore(char *to, const char *from, size_t n) const {
    if (at_ == nullptr) return;
    for (size_t k = 0, i = (size_t)(from - file_); k < n; ++k, ++i)
      if (at_[i / 8] & 1u << (i % 8)) to[k] = '\0';
  }

 private:
  char *file_;
  unsigned char *at_ = nullptr;  // a bit for each byte of the file
};

// The compacted text: appends never run past the buffer, although the
// compaction cannot make the text longer than the file it came from.
struct Output {
  char *buf;
  size_t capacity;
  size_t length;
  const Nuls &nuls;

  // Bytes of the file (a token or part of one).
  bool copy(const char *data, size_t n) {
    if (!append(data, n)) return false;
    nuls.restore(buf + length - n, data, n);
    return true;
  }
  bool append(const char *data, size_t n) {
    if (n > capacity - length) return false;
    memcpy(buf + length, data, n);
    length += n;
    return true;
  }
  bool repeat(char c, size_t n) {
    if (n > capacity - length) return false;
    memset(buf + length, c, n);
    length += n;
    return true;
  }
};

// Bytes of a token, left where the scanner found them: the scanner runs over
// the file in memory and never moves or changes the bytes of a token it
// returned.
struct Span {
  const char *data = nullptr;
  size_t length = 0;

  void keep(const char *bytes, size_t n) {
    data = bytes;
    length = n;
  }
  void drop() { keep(nullptr, 0); }
  bool is(const char *bytes, size_t n) const {
    return data != nullptr && length == n && memcmp(data, bytes, n) == 0;
  }
};

// Ends the scanner's use of its buffers however the scan ends.
struct Scan {
  bool started;
  Scan(char *text, size_t size) : started(script_begin(text, size) == 0) {}
  ~Scan() { script_end(); }
};

// Length of the run of LFs that ends the `size` bytes of `file`, counted a
// word at a time while whole words are LFs.
size_t trailing_lfs(const char *file, size_t size) {
  size_t lfs;
  memset(&lfs, '\n', sizeof lfs);
  size_t run = 0;
  while (size - run >= sizeof lfs) {
    size_t word;
    memcpy(&word, file + size - run - sizeof word, sizeof word);
    if (word != lfs) break;
    run += sizeof word;
  }
  while (run < size && file[size - 1 - run] == '\n') ++run;
  return run;
}

int token_error(const char *text) {
  debug_printf("copy_config_file: Error Token: %s\n", text);
  return RESULT_CONFIG_TOKEN;
}

}  // namespace

int compact_config(char *file, size_t size, char *out_buf, size_t capacity, size_t *length) {
  // A file padded to the request minimum ends in a long run of LFs. Only
  // three rules take more than two LFs in a row at the end of the file: the
  // two that skip runs of line ends, and a name with the blanks after it,
  // which takes them all. So the scanner sees two LFs of the run, and a name
  // that reaches them gets the rest back afterwards: the same tokens and the
  // same text, without scanning the run (twice: the token that meets the end
  // of the buffer is scanned again).
  const size_t run = trailing_lfs(file, size);
  const size_t cut = run > 2 ? run - 2 : 0;
  const size_t scanned = size - cut;
  if (cut > 0) file[scanned] = file[scanned + 1] = '\0';

  Nuls nuls(file);
  if (!nuls.hide(scanned)) {
    debug_printf("copy_config_file: Error - no memory to scan the file\n");
    return RESULT_NO_MEMORY;
  }
  Output out{out_buf, capacity, 0, nuls};
  Span start;  // name of the most recent start tag, blanks after its "<" included
  Span text;   // text of the current element, written once its end tag names it
  Scan scan(file, scanned);
  if (!scan.started) {
    debug_printf("copy_config_file: Error - the scanner did not start\n");
    return RESULT_CONFIG_TOKEN;
  }
  int previous = TOKEN_INVALID;
  bool fits = true;
  bool name_at_end = false;  // the last token is a name that reached the end

  for (int token; (token = yylex()) != 0; previous = token) {
    const char *t = yytext;
    const size_t n = (size_t)yyleng;
    name_at_end = token == TOKEN_NAME && t + n == file + scanned;
    switch (token) {
      case TOKEN_INVALID:
        nuls.restore(yytext, t, n);
        return token_error(t);
      case TOKEN_TAG_END: {
        size_t keep = n;
        if (keep >= 2 && t[keep - 2] == '\r' && t[keep - 1] == '\n')
          keep -= 2;
        else if (keep >= 1 && (t[keep - 1] == '\r' || t[keep - 1] == '\n'))
          keep -= 1;
        fits = fits && out.copy(t, keep);
        break;
      }
      case TOKEN_START_TAG: {
        // A line end in front of the "<" is not part of the name.
        const char *lt = static_cast<const char *>(memchr(t, '<', n));
        const size_t skip = lt != nullptr ? (size_t)(lt - t) + 1 : 0;
        start.keep(t + skip, n - skip);
        fits = fits && out.copy(t, n);
        text.drop();
        break;
      }
      case TOKEN_END_TAG:
        break;  // written with the name that follows it
      case TOKEN_TEXT:
        text.keep(t, n);
        break;
      case TOKEN_NAME:
        if (previous == TOKEN_END_TAG && start.data != nullptr) {
          // Only a leaf keeps its text: the end tag must close the element
          // opened last (names hold no NUL bytes).
          if (start.is(t, n) && text.data != nullptr) {
            fits = fits && out.copy(text.data, text.length);
            text.drop();
          }
          fits = fits && out.append("</", 2);
        }
        fits = fits && out.copy(t, n);
        break;
      default:  // instructions, attributes, values, comments: as written
        fits = fits && out.copy(t, n);
        break;
    }
  }
  if (name_at_end) fits = fits && out.repeat('\n', cut);
  if (!fits) {
    debug_printf("copy_config_file: Error - compacted text does not fit\n");
    return RESULT_CONFIG_TOKEN;
  }
  *length = out.length;
  return RESULT_OK;
}

namespace {


struct Buffer {
  char *p;
  ~Buffer() { free(p); }
};

}  // namespace

int copy_config_file(struct request *req) {
  // fw.bin as it was opened once: what was decided to be a configuration
  // file is what is stored.
  const int in = req->image_fd;
  if (in < 0) return RESULT_TMP_OPEN;
  const long size = (long)lseek(in, 0, SEEK_END);
  if (size < 0) return RESULT_TMP_OPEN;

  debug_printf("copy_config_file: Upgrading cfg:\n");
  // The file whole, with the scanner's two end marks after it.
  Buffer file{static_cast<char *>(malloc((size_t)size + 2))};
  Buffer out{static_cast<char *>(malloc(size > 0 ? (size_t)size : 1))};
  if (file.p == nullptr || out.p == nullptr) return RESULT_NO_MEMORY;
  if (pread(in, file.p, (size_t)size, 0) != (ssize_t)size) return RESULT_TMP_OPEN;
  file.p[size] = file.p[size + 1] = '\0';

  // The whole file is scanned, and its stored size checked, before the
  // partition is opened: a refused file leaves the stored configuration as
  // it was.
  size_t length = 0;
  int r = compact_config(file.p, (size_t)size, out.p, (size_t)size, &length);
  if (r != RESULT_OK) return r;
  debug_printf("copy_config_file: totalLen: %x\n", (unsigned)length);
  if (req->upload_truncated) {
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

  int fd = open(GwPath(GW_MTD_CONFIG), O_WRONLY | O_CLOEXEC);
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

int send_config_file(long long deadline_ms) {
  unsigned char *block = nullptr;
  size_t size = 0;
  if (io_load_mtd_header(GwPath(GW_MTD_CONFIG), &block, &size) != 0) return RESULT_CONFIG_OPEN;
  header(0, "");
  fflush(nullptr);
  // The block goes out whole, header included.
  response_write(block, size, deadline_ms);
  free(block);
  return RESULT_OK;
}
