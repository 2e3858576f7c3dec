#include "parse.h"

#include <ctype.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "comm.h"
#include "deadline.h"
#include "log.h"
#include "platform.h"

namespace {

// Reads what the input has, waiting at most the idle limit for it and
// never past the request's deadline: a client that sends nothing, or too
// little for too long, has gone. Returns 0 at the end of input, after an
// error, when the client stalls or when the deadline has passed; the
// request then ends as if its body had ended there, and the "fw" address
// is free again.
ssize_t read_input(struct post_reader *post, char *into, size_t room) {
  const int fd = post->input_fd;
  if (fd < 0) return 0;
  const int idle_ms = gw_time_limit_ms(GW_HOOK_IDLE_LIMIT, DORNIX_IDLE_LIMIT_MS);
  for (;;) {
    int wait_ms = idle_ms;
    const long long left = post->deadline_ms > 0 ? post->deadline_ms - monotonic_ms() : -1;
    if (post->deadline_ms > 0 && left <= 0) {
      post->post_stalled = 1;
      debug_printf("get_line_from_post: the request's time is up, giving up\n");
      return 0;
    }
    if (left >= 0 && left < wait_ms) wait_ms = (int)left;
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && wait_ms < idle_ms) continue;  // the deadline: said above
    if (ready == 0) {
      post->post_stalled = 1;
      debug_printf("get_line_from_post: no data for %d ms, giving up\n", idle_ms);
      return 0;
    }
    ssize_t n = read(fd, into, room);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n < 0 ? 0 : n;
  }
}

// Moves block[keep, filled) to the front and reads more behind it. A line
// is at most a data line (1023 bytes) long, far less than a block, so a
// line that began in one block is moved to the front before the next block
// is read behind it. False (and post_eof set) when the body has no more.
bool fill_block(struct post_reader *post, size_t keep) {
  memmove(post->block, post->block + keep, post->filled - keep);
  post->filled -= keep;
  post->at -= keep;
  size_t room = sizeof post->block - post->filled;
  if (post->left >= 0 && (long long)room > post->left) room = (size_t)post->left;
  ssize_t n = room > 0 && !post->post_eof ? read_input(post, post->block + post->filled, room) : 0;
  if (n <= 0) {
    if (!post->post_eof) kprintf("get line from post eof\n");
    post->post_eof = 1;
    return false;
  }
  post->filled += (size_t)n;
  if (post->left >= 0) post->left -= n;
  return true;
}

// Writes block[from, to) to the upload file.
bool store(const struct post_reader *post, FILE *file, size_t from, size_t to, long long *written) {
  if (to <= from) return true;
  if (fwrite(post->block + from, 1, to - from, file) != to - from) return false;
  *written += (long long)(to - from);
  return true;
}

// Length of the line end (CR LF, LF or a CR cut by the buffer) that ends
// `line`.
size_t line_end_length(const char *line, size_t n) {
  if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n') return 2;
  return line[n - 1] == '\n' || line[n - 1] == '\r' ? 1 : 0;
}

}  // namespace

void post_set_length(struct post_reader *post, long long bytes) { post->left = bytes; }

void post_reset(struct post_reader *post, int input_fd) {
  post->input_fd = input_fd;
  memset(post->sDivider, 0, sizeof post->sDivider);
  memset(post->sLineBuffer, 0, sizeof post->sLineBuffer);
  post->nPostDataCount = 0;
  post->post_eof = 0;
  post->post_stalled = 0;
  post->deadline_ms = 0;
  post->at = post->filled = 0;
  post->left = -1;
}

int get_line_from_post(struct post_reader *post, char *buffer, int size) {
  const char *block = post->block;
  size_t &at = post->at;
  int n = 0;
  if (!post->post_eof && size > 1) {
    const size_t want = (size_t)size - 1;
    for (;;) {
      size_t take = post->filled - at;
      if (take > want - (size_t)n) take = want - (size_t)n;
      const char *lf = static_cast<const char *>(memchr(block + at, '\n', take));
      if (lf != nullptr) take = (size_t)(lf - (block + at)) + 1;
      memcpy(buffer + n, block + at, take);
      at += take;
      n += (int)take;
      post->nPostDataCount += (long long)take;
      if (lf != nullptr || (size_t)n == want || !fill_block(post, at)) break;
    }
  }
  if (size > 0) buffer[n] = '\0';
  return n;
}

int copy_post_data(struct post_reader *post, FILE *file, int text, long long max_count, long long *written) {
  // The data is cut into the lines get_line_from_post would give with
  // sLineBuffer, and each is judged as that reader's caller would judge
  // it, but in place: runs of data go to the file in one write.
  const char *sDivider = post->sDivider;
  const char *block = post->block;
  const size_t &filled = post->filled;
  size_t &at = post->at;
  long long &nPostDataCount = post->nPostDataCount;
  const size_t line_max = sizeof post->sLineBuffer - 1;
  const size_t divider_length = strlen(sDivider);
  // Most lines are told from the boundary by their first byte.
  const char first_lower = (char)tolower((unsigned char)sDivider[0]);
  const char first_upper = (char)toupper((unsigned char)sDivider[0]);
  size_t from = at;  // first byte not yet written
  // Binary data: the line end of the last line, written only once another
  // line follows (the one in front of the boundary belongs to it). These
  // are always the bytes right before `at`.
  size_t held = 0;
  *written = 0;
  for (;;) {
    // A run of line ends on their own, as a small file is padded with: each
    // is a line of one byte that is never the boundary; they are judged here
    // a run at a time, as the lines below would be one by one.
    if (divider_length > 0 && at < filled && block[at] == '\n') {
      size_t run = 1;
      while (at + run < filled && block[at + run] == '\n') ++run;
      const long long over = nPostDataCount + (long long)run - max_count;
      if (over > 0) {
        // The first line past the limit ends the data; the line end in
        // front of it is held. Bytes before the data (a signature part)
        // count too: the limit may have passed before the first line.
        const size_t first = over >= (long long)run ? 0 : run - (size_t)over;
        const size_t end = at + first - (first == 0 ? held : text ? 0 : 1);
        nPostDataCount += (long long)first + 1;
        at += first + 1;
        return store(post, file, from, end, written) ? POST_DATA_TOO_LONG : POST_DATA_WRITE_FAILED;
      }
      // Held: the last LF, and with a lone first one the CR cut off before it.
      if (!text) held = run == 1 && held == 1 && block[at - 1] == '\r' ? 2 : 1;
      nPostDataCount += (long long)run;
      at += run;
      continue;
    }
    size_t span = filled - at;
    if (span > line_max) span = line_max;
    const char *line = block + at;
    const char *lf = static_cast<const char *>(memchr(line, '\n', span));
    if (lf == nullptr && span < line_max && !post->post_eof) {
      if (!store(post, file, from, at - held, written)) return POST_DATA_WRITE_FAILED;
      from = at - held;
      fill_block(post, from);
      from = 0;
      continue;
    }
    const size_t n = lf != nullptr ? (size_t)(lf - line) + 1 : span;
    if (n == 0) {
      // The body ended before its boundary: the last line end stays out.
      return store(post, file, from, at - held, written) ? POST_DATA_CUT : POST_DATA_WRITE_FAILED;
    }
    nPostDataCount += (long long)n;
    at += n;
    if (n >= divider_length &&
        (divider_length == 0 || line[0] == first_lower || line[0] == first_upper) &&
        strncasecmp(line, sDivider, divider_length) == 0) {
      const size_t end = (size_t)(line - block) - held;
      return store(post, file, from, end, written) ? POST_DATA_WHOLE : POST_DATA_WRITE_FAILED;
    }
    if (nPostDataCount > max_count) {
      const size_t end = (size_t)(line - block) - held;
      return store(post, file, from, end, written) ? POST_DATA_TOO_LONG : POST_DATA_WRITE_FAILED;
    }
    if (text) {
      // Text is stored as strings: bytes after a NUL in a line are lost.
      const char *nul = static_cast<const char *>(memchr(line, '\0', n));
      if (nul != nullptr) {
        if (!store(post, file, from, (size_t)(nul - block), written)) return POST_DATA_WRITE_FAILED;
        from = at;
      }
    } else {
      // A CR that ended the previous line (cut by the buffer) and the LF
      // that is this whole line are one CR LF pair: both stay held.
      const bool joined = held == 1 && line[-1] == '\r' && line[0] == '\n';
      held = line_end_length(line, n) + (joined ? 1 : 0);
    }
  }
}

void remove_trailing_CRLF(char *text, int length) {
  for (int i = length - 1; i >= 0 && (text[i] == '\r' || text[i] == '\n'); --i) text[i] = '\0';
}

void get_var_name_from_post(struct post_reader *post, char *buffer, int size) {
  if (!post->post_eof) {
    const size_t divider_length = strlen(post->sDivider);
    while (get_line_from_post(post, buffer, size) > 0) {
      const char *boundary = strstr(buffer, post->sDivider);
      if (boundary != nullptr && boundary[divider_length] == '-' &&
          boundary[divider_length + 1] == '-') {
        post->post_eof = 1;  // the closing boundary: nothing follows
        break;
      }
      const char *name = strstr(buffer, "name=\"");
      if (name != nullptr) {
        name += 6;
        int n = 0;
        while (name[n] != '\0' && name[n] != '"' && n < size - 1) ++n;
        memmove(buffer, name, (size_t)n);
        buffer[n] = '\0';
        return;
      }
      debug_printf("get_var_name_from_post: Ignoring '%s'.\n", buffer);
    }
  }
  if (size > 0) buffer[0] = '\0';
}

int get_content_type(struct post_reader *post, char *buffer, int size) {
  if (get_line_from_post(post, buffer, size) == 0) return 1;
  static const char kField[] = "Content-Type: ";
  const char *value = strstr(buffer, kField);
  if (value == nullptr) {
    buffer[0] = '\0';
    return 1;
  }
  value += sizeof kField - 1;
  int n = (int)strlen(value);
  if (n > size - 1) n = size - 1;
  memmove(buffer, value, (size_t)n);
  buffer[n] = '\0';
  remove_trailing_CRLF(buffer, n);
  if (strncasecmp(buffer, "text/html", 9) == 0) {
    debug_printf("get_content_type: Text type '%s'.\n", buffer);
    return 1;
  }
  if (strncasecmp(buffer, "application/", 12) == 0)
    debug_printf("get_content_type: Binary type '%s'.\n", buffer);
  else
    debug_printf("get_content_type: Unsupported type '%s'.\n", buffer);
  return 0;
}

char *remove_CRLF_and_save_buffer(char *line, int *length, char *held) {
  int n = *length;
  size_t used = strlen(held);
  const char *end = "";
  if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n')
    end = "\r\n";
  else if (n >= 1 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
    end = line[n - 1] == '\n' ? "\n" : "\r";
  size_t add = strlen(end);
  // The held text never grows past a CR and one CR LF; refuse to overrun
  // the caller's buffer all the same, keeping the bytes in the line.
  if (used + add >= HELD_TERMINATOR_SIZE) add = 0;
  memcpy(held + used, end, add);
  held[used + add] = '\0';
  *length = n - (int)add;
  return held + used + add;
}
