// Helpers shared by the modules of the message library (not for its users).
#ifndef DORNIX_MESSAGES_MSG_INTERNAL_H
#define DORNIX_MESSAGES_MSG_INTERNAL_H

#include <stddef.h>

#include "message.h"

// Every allocation of the library goes through these, so that tests can make
// any one of them fail. Memory comes from malloc: C callers free it.
void *msg_malloc(size_t size);
void *msg_calloc(size_t count, size_t size);
void *msg_realloc(void *ptr, size_t size);
// Copy of at most n bytes of text (stops at a NUL), or absent.
char *msg_strndup(const char *text, size_t n);

// The set-string rule: release what the field holds, then store a fresh copy
// of value when one is given. Returns 0, or -1 when the copy could not be
// made (the field is then absent).
int msg_setString(char **field, const char *value);

// Releases a list and everything in it.
void msg_freeSearches(search_item *item);
void msg_freeArgs(arg_item *item);
void msg_freeRows(value_row *row);
void msg_freeMonitor(monitor_record *m);
void msg_freeProgram(program_record *p);
void msg_freeReport(report_record *r);
void msg_freeTrans(trans_record *t);
void msg_freeLog(log_record *l);

// The reader's callbacks and its per-parse context (see msgparse.cpp).
struct parse_context;
void msgStartDocument(parse_context *ctx);
void msgEndDocument(parse_context *ctx);
void msgStartElement(void *ctx, const char *name, const char **attributes);
void msgEndElement(void *ctx, const char *name);
void msgCharacters(void *ctx, const char *text, int length);

// msg_parse with expat alone, without the short reader of the library's own
// messages in front of it: tests hold the two to the same results.
msg_record *msg_parse_xml(const char *text, int length);

// The wait of killPPP, through the replaceable sleep.
unsigned msg_sleep(unsigned seconds);

// Writes `value` in decimal (as "%d" does) to `out`, which holds at least
// MSG_DECIMAL_MAX bytes; returns its length. No NUL is written.
enum { MSG_DECIMAL_MAX = 11 };
size_t msg_decimal(int value, char *out);

// Printable form of a possibly absent text.
inline const char *msg_text(const char *s) { return s != nullptr ? s : ""; }

#endif
