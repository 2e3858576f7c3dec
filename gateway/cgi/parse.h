// Multipart POST reader of dornix: the request body on standard input, read
// in blocks and handed out line by line with a byte count and an end flag.
#ifndef DORNIX_CGI_PARSE_H
#define DORNIX_CGI_PARSE_H

#include <stddef.h>
#include <stdio.h>

// The reader of one request's body: where it reads from, what it has
// taken, and the lines it hands out.
struct post_reader {
  int input_fd;            // the body: standard input
  char sDivider[80];       // the boundary line: the body's first line, line end removed
  char sLineBuffer[1024];  // line buffer for the part headers and the data
  // Bytes taken from the input so far, over the whole body: every byte,
  // in 64 bits, so that no body is long enough to wrap it.
  long long nPostDataCount;
  // Set at the end of input or once the closing boundary was seen; no
  // further input is read after that.
  int post_eof;
  // Set when the body ended because the client sent nothing for the idle
  // limit (60 seconds), or because the request's deadline passed.
  int post_stalled;
  // When the body must have arrived (monotonic ms; 0: no deadline).
  long long deadline_ms;
  // Bytes the body may still deliver (CONTENT_LENGTH); negative: no limit.
  long long left;
  // The body is read in blocks; the bytes not yet handed out are
  // block[at, filled).
  size_t at, filled;
  char block[64 * 1024];
};

// Starts `post` afresh on `input_fd`, as a new process would.
void post_reset(struct post_reader *post, int input_fd);

// Caps what is read from the input at `bytes` (CONTENT_LENGTH): what
// follows is never read. Negative: read to the end of input.
void post_set_length(struct post_reader *post, long long bytes);

// Size of the held terminator of remove_CRLF_and_save_buffer: at most a CR
// left from the previous line plus one CR LF, and the NUL.
#define HELD_TERMINATOR_SIZE 8

// Reads one line (ending with LF, or cut at size - 1 bytes) into `buffer`,
// NUL-terminated. Returns the number of bytes stored; 0 at the end.
int get_line_from_post(struct post_reader *post, char *buffer, int size);

// Outcomes of copy_post_data.
enum {
  POST_DATA_WHOLE,         // the boundary line that ends the data arrived
  POST_DATA_CUT,           // the body ended first
  POST_DATA_TOO_LONG,      // nPostDataCount passed the maximum after a data line
  POST_DATA_WRITE_FAILED,  // the file took fewer bytes than it was given
};

// Copies the uploaded part's data, up to the boundary line, to `file`:
// text (1) line by line as strings, binary (0) byte for byte without the
// line end in front of the boundary. Lines are those get_line_from_post
// gives with sLineBuffer; the body may hold at most `max_count` bytes
// after a data line. *written is the number of bytes written.
int copy_post_data(struct post_reader *post, FILE *file, int text, long long max_count,
                   long long *written);

// Replaces the CR and LF bytes at the end of `text` (of `length` bytes) by NUL.
void remove_trailing_CRLF(char *text, int length);

// Stores the next part name in `buffer`; empty at the end of the body.
void get_var_name_from_post(struct post_reader *post, char *buffer, int size);

// Reads the part's Content-Type line: 1 for text (text/html, or no usable
// line), 0 for binary.
int get_content_type(struct post_reader *post, char *buffer, int size);

// Moves the line end of a data line (`*length` bytes) into the held
// terminator `held`, shortening *length; returns the end of the held text.
char *remove_CRLF_and_save_buffer(char *line, int *length, char *held);

#endif
