// Scanner of the configuration file (script.l): the tokens it returns and the
// calls that start and end one scan. The scanner keeps its state in process
// globals, so one scan runs at a time.
#ifndef DORNIX_CGI_SCRIPT_H
#define DORNIX_CGI_SCRIPT_H

#include <stddef.h>

enum {
  TOKEN_INVALID = 258,          // any byte no other rule takes
  TOKEN_VERSION = 259,          // <?XML-VERSION 1.0?>
  TOKEN_ENCODING = 260,         // <?XML-ENCODING name?>
  TOKEN_NAME = 261,             // a tag, attribute or end-tag name, with blanks around it
  TOKEN_VALUE = 262,            // a quoted attribute value
  TOKEN_START_TAG = 263,        // "<" and the element name
  TOKEN_TAG_END = 264,          // ">" (and the line end after it)
  TOKEN_END_TAG = 265,          // "</"
  TOKEN_TEXT = 266,             // text between tags
  TOKEN_INSTRUCTION_END = 267,  // "?>"
  TOKEN_ATTRIBUTE = 268,        // <?XML-ATT
  TOKEN_SLASH = 269,            // "/" of an empty element
  TOKEN_EQUALS = 270,           // "="
  TOKEN_COMMENT = 271,          // <!-- ... -->
};

// The flex scanner: the next token (0 at the end of input), its bytes in
// yytext and their number in yyleng.
extern char *yytext;
extern int yyleng;
int yylex(void);

// Points the scanner at the `size` bytes of `text`, from the first, in the
// state of a fresh scanner. Two NUL bytes must follow them (text[size] and
// text[size + 1]): the scanner's end marks. The scanner writes into the
// buffer (a NUL after each token it returns). -1 when it cannot start.
int script_begin(char *text, size_t size);

// Frees what the scanner holds.
void script_end(void);

#endif
