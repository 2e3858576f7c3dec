#include "parse.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "comm.h"
#include "firmware.h"

int nPostDataCount = 0;
int post_eof = 0;

int get_line_from_post(char *buffer, int size) {
  int n = 0;
  if (!post_eof) {
    while (n < size - 1) {
      int c = getc_unlocked(stdin);
      if (c == EOF) {
        post_eof = 1;
        kprintf("get line from post eof\n");
        break;
      }
      buffer[n++] = (char)c;
      ++nPostDataCount;
      if (c == '\n') break;
    }
  }
  if (size > 0) buffer[n] = '\0';
  return n;
}

void remove_trailing_CRLF(char *text, int length) {
  for (int i = length - 1; i >= 0 && (text[i] == '\r' || text[i] == '\n'); --i) text[i] = '\0';
}

void get_var_name_from_post(char *buffer, int size) {
  if (!post_eof) {
    const size_t divider_length = strlen(sDivider);
    while (get_line_from_post(buffer, size) > 0) {
      const char *boundary = strstr(buffer, sDivider);
      if (boundary != nullptr && boundary[divider_length] == '-' &&
          boundary[divider_length + 1] == '-') {
        post_eof = 1;  // the closing boundary: nothing follows
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

int get_content_type(char *buffer, int size) {
  if (get_line_from_post(buffer, size) == 0) return 1;
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
