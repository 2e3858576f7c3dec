/* Inter-process messages of the gateway.
 *
 * A message lives in memory as one msg_record: a header (recipient, sender,
 * sequence number, type) and one body part chosen by the type. It travels as
 * one datagram of XML text between the processes' endpoints (comm.h).
 *
 * Ownership: whoever holds a msg_record owns it with every part, list item
 * and string in it, all allocated with malloc. msg_parse, msg_copy and every
 * msgr_make* builder hand a new message to the caller, who releases it with
 * msg_free (or hands it to msg_send, which takes it over in every case).
 * Strings returned by the accessors stay owned by the message.
 *
 * The library is single-threaded: sequence numbers, the queue, the output
 * buffer and the reader's element pool are process-wide and unlocked.
 *
 * This header compiles as C. */
#ifndef DORNIX_MESSAGES_MESSAGE_H
#define DORNIX_MESSAGES_MESSAGE_H

#include <stdarg.h>
#include <stddef.h>

#include "comm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Records ------------------------------------------------------------ */

#define MSG_MAX_VALUES      30    /* values in one row */
#define MSG_EXPIRY_SECONDS  20    /* how long an undeliverable message waits */
#define MSG_OUT_BUFFER      4096  /* output buffer: at most 4095 characters */

/* Message types (msg_record.type). 2 to 6 have no body in this system. */
enum msg_type {
  MSG_NONE = 0,
  MSG_REPORT = 1,
  MSG_LOG = 7,
  MSG_MONITOR = 8,
  MSG_PROGRAM = 9,
  MSG_TRANSACTION = 10
};

/* Transaction types (trans_record.type). */
enum trans_type {
  TRANS_UNKNOWN = 0,
  TRANS_QUERY = 1,
  TRANS_RESPONSE = 2,
  TRANS_RESPONSE_CONT = 3,
  TRANS_SET = 4,
  TRANS_GROUP_BEGIN = 5,
  TRANS_GROUP_END = 6,
  TRANS_APPLY = 7,
  TRANS_REJECT = 8,
  TRANS_GROUP_ERROR = 9
};

typedef struct value_row {
  struct value_row *next;
  struct value_row *prev;
  int num_cols;                   /* slots in use, 0 to 30 */
  char *values[MSG_MAX_VALUES];   /* absent slot = empty value */
} value_row;

typedef struct trans_record {
  int type;
  char *key;
  char *re_seq;        /* seq of the message answered */
  char *gid;           /* group id */
  int error_code;
  char *error_text;
  int cont;            /* answer continued by further answers (not on the wire) */
  value_row *rows;
} trans_record;

typedef struct report_record {
  char *name;
  char *pid;
  char *text;
} report_record;

typedef struct log_record {
  char *facility;
  char *level;
  char *text;
} log_record;

typedef struct search_item {
  struct search_item *next;
  struct search_item *prev;
  char *name;
  char *regex;
} search_item;

typedef struct arg_item {
  struct arg_item *next;
  struct arg_item *prev;
  char *text;
} arg_item;

typedef struct monitor_record {
  char *action;
  char *filename;
  search_item *searches;
} monitor_record;

typedef struct program_record {
  char *action;
  char *name;
  char *pid;
  char *signal;
  arg_item *args;
  search_item *output;
} program_record;

typedef struct msg_record {
  char *to;
  char *from;
  char *seq;
  int type;
  int expires;                 /* seconds since the epoch; 0 = not yet set */
  monitor_record *monitor;
  program_record *program;
  report_record *report;
  trans_record *trans;
  log_record *log;
  struct msg_record *next;     /* outgoing queue links */
  struct msg_record *prev;
} msg_record;

/* Wire name of a transaction type ("query", ...; "unknown" outside 1 to 9)
 * and the enumeration name of a message type ("MSG_REPORT", ...; "MSG_NONE"
 * for types without a body). Static texts. */
const char *msg_transTypeName(int type);
const char *msg_typeName(int type);

void msg_free(msg_record *msg);
msg_record *msg_copy(const msg_record *msg);

/* Accessors. msg must be present for the first four. */
int msg_getType(const msg_record *msg);
const char *msg_getFrom(const msg_record *msg);
const char *msg_getTo(const msg_record *msg);
const char *msg_getSeq(const msg_record *msg);
int msg_isTrans(const msg_record *msg);
int msg_getTransType(const msg_record *msg);
const char *msg_getTransReSeq(const msg_record *msg);
const char *msg_getTransGID(const msg_record *msg);
const char *msg_getTransKey(const msg_record *msg);
int msg_getTransNumRows(const msg_record *msg);
int msg_getTransNumCols(const msg_record *msg, int row);
const char *msg_getTransValue(const msg_record *msg, int row, int col);
const char *msg_getTransSingleValue(const msg_record *msg);
int msg_getTransErrorCode(const msg_record *msg);
const char *msg_getTransErrorText(const msg_record *msg);
const char *msg_getReportName(const msg_record *msg);
const char *msg_getReportPID(const msg_record *msg);
const char *msg_getReportText(const msg_record *msg);

/* ---- XML writer and reader ---------------------------------------------- */

/* Writes the message's text and a NUL into buffer (size bytes). Returns the
 * text's length, -1 when text and NUL do not fit (contents then unspecified),
 * 0 when buffer or msg is absent. Never writes past size bytes. */
int msg_makeXML(char *buffer, size_t size, const msg_record *msg);

/* Writes the escaped form of text at dst (no NUL), stopping before a
 * character or reference that does not fit into space; returns the count. */
int escapeXML(char *dst, size_t space, const char *text);

/* Parses length bytes of text (no NUL needed) into a new message, or absent
 * when the text is refused. Sets expires to now + MSG_EXPIRY_SECONDS. */
msg_record *msg_parse(const char *text, int length);

/* Transaction type of a wire name; 0 for anything else and for absent. */
int get_transaction_type(const char *text);

/* Value of attribute name in expat's list (name, value, ..., absent). */
const char *msgFindAttr(const char **attributes, const char *name);

arg_item *new_arg(void);
search_item *new_search(void);
value_row *new_value(void);

/* Releases the reader's pool of element records. */
void lib_close_messages(void);

/* ---- Transport, routing and queue --------------------------------------- */

/* Route kinds. */
#define ROUTE_LOCAL      1  /* call the row's handler */
#define ROUTE_DIRECT     2  /* send to the socket of msg->to */
#define ROUTE_VIA_LOGIC  3  /* send to the socket of "logic" */

/* A route hook's way of declining: normal routing follows. */
#define ROUTE_HOOK_PASS  (-6)

/* Delivery results: 0 or more delivered, -1 try again later, -2 never. */
#define MSG_DELIVER_LATER  (-1)
#define MSG_DELIVER_FAILED (-2)

typedef int (*msg_handler)(msg_record *msg);

/* One row of a route table; a row with an absent name ends the table and is
 * the route for every recipient that no row names. */
typedef struct route_entry {
  const char *name;
  int kind;
  msg_handler handler;
} route_entry;

/* Last sequence number handed out (process-wide, starts at 0). */
extern int current_seq;

int msg_getNextSeq(void);
const char *msg_convSeq(int number);

int msg_sendOut(const msg_record *msg, const char *address);
int msg_send(msg_record *msg);

int msg_setRouteTable(const route_entry *table);
int msg_setRouteHook(msg_handler hook);
int msg_get_route(const msg_record *msg, msg_handler *handler);
int msg_route(msg_record *msg);
int msg_deliver(msg_record *msg);
int msg_iterate_queue(void);
int msg_flush(void);
void lib_close(void);

/* ---- Builders ----------------------------------------------------------- */

msg_record *msgr_makeBase(const char *from, const char *to);

msg_record *msgr_makeProgramStart(const char *from, const char *name, const char *pid,
                                  int argc, const char *const *argv,
                                  int searchc, const char *const *searches);
int msgr_sendProgramStart(const char *from, const char *name, const char *pid,
                          int argc, const char *const *argv,
                          int searchc, const char *const *searches);
msg_record *msgr_makeProgramStop(const char *from, const char *pid);
int msgr_sendProgramStop(const char *from, const char *pid);
msg_record *msgr_makeProgramSignal(const char *from, const char *pid, const char *signal);
int msgr_sendProgramSignal(const char *from, const char *pid, const char *signal);
msg_record *msgr_makeProgramReboot(const char *from);
int msgr_sendProgramReboot(const char *from);
msg_record *msgr_makeProgramAction(const char *from, const char *action, const char *name,
                                   const char *pid, const char *signal);

msg_record *msgr_makeMonitorAdd(const char *from, const char *filename, const char *name,
                                const char *regex);
int msgr_sendMonitorAdd(const char *from, const char *filename, const char *name,
                        const char *regex);
msg_record *msgr_makeMonitorDelete(const char *from, const char *filename, const char *name);
int msgr_sendMonitorDelete(const char *from, const char *filename, const char *name);

msg_record *msgr_makeReport(const char *from, const char *to, const char *name,
                            const char *pid, const char *text, int text_len);
int msgr_sendReport(const char *from, const char *to, const char *name, const char *pid,
                    const char *text, int text_len);

#if defined(__GNUC__)
#define MSGR_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define MSGR_PRINTF(f, a)
#endif

msg_record *msgr_makeTransBase(const char *from, const char *to, int type, const char *gid,
                               const char *key, const char *re_seq, int cont, int error_code,
                               const char *format, ...) MSGR_PRINTF(9, 10);
msg_record *msgr_makeTransBaseVar(const char *from, const char *to, int type, const char *gid,
                                  const char *key, const char *re_seq, int cont,
                                  int error_code, const char *format, va_list ap)
    MSGR_PRINTF(9, 0);

msg_record *msgr_makeTransQuery(const char *from, const char *to, const char *gid,
                                const char *key);
int msgr_sendTransQuery(const char *from, const char *to, const char *gid, const char *key);
msg_record *msgr_makeTransSet(const char *from, const char *to, const char *gid,
                              const char *key, const char *value);
int msgr_sendTransSet(const char *from, const char *to, const char *gid, const char *key,
                      const char *value);
msg_record *msgr_makeTransGroupBegin(const char *from, const char *to, const char *gid);
int msgr_sendTransGroupBegin(const char *from, const char *to, const char *gid);
msg_record *msgr_makeTransGroupEnd(const char *from, const char *to, const char *gid);
int msgr_sendTransGroupEnd(const char *from, const char *to, const char *gid);
msg_record *msgr_makeTransApply(const char *from, const char *to, const char *gid);
int msgr_sendTransApply(const char *from, const char *to, const char *gid);
msg_record *msgr_makeTransReject(const char *from, const char *to, const char *gid);
int msgr_sendTransReject(const char *from, const char *to, const char *gid);

msg_record *msgr_makeTransError(const char *from, const char *to, const char *gid,
                                const char *re_seq, int error_code, const char *format, ...)
    MSGR_PRINTF(6, 7);
int msgr_sendTransError(const char *from, const char *to, const char *gid, const char *re_seq,
                        int error_code, const char *format, ...) MSGR_PRINTF(6, 7);
msg_record *msgr_makeTransComboError(const char *from, const char *to, const char *gid,
                                     const char *re_seq, int error_code,
                                     const char *format, ...) MSGR_PRINTF(6, 7);
int msgr_sendTransComboError(const char *from, const char *to, const char *gid,
                             const char *re_seq, int error_code, const char *format, ...)
    MSGR_PRINTF(6, 7);

/* Responses: type TRANS_RESPONSE, or TRANS_RESPONSE_CONT when cont is set.
 * The values are strings (const char *). */
msg_record *msgr_makeTransResponse(const char *from, const char *to, const char *gid,
                                   const char *re_seq, int cont, const char *key,
                                   int count, ...);
int msgr_sendTransResponse(const char *from, const char *to, const char *gid,
                           const char *re_seq, int cont, const char *key, int count, ...);
msg_record *msgr_makeTransResponseVar(const char *from, const char *to, const char *gid,
                                      const char *re_seq, int cont, const char *key,
                                      int count, va_list ap);
msg_record *msgr_makeTransResponseEmpty(const char *from, const char *to, const char *gid,
                                        const char *re_seq, int cont, const char *key);
int msgr_sendTransResponseEmpty(const char *from, const char *to, const char *gid,
                                const char *re_seq, int cont, const char *key);
msg_record *msgr_makeTransResponseSingle(const char *from, const char *to, const char *gid,
                                         const char *re_seq, int cont, const char *key,
                                         const char *value);
int msgr_sendTransResponseSingle(const char *from, const char *to, const char *gid,
                                 const char *re_seq, int cont, const char *key,
                                 const char *value);
msg_record *msgr_makeTransResponsePair(const char *from, const char *to, const char *gid,
                                       const char *re_seq, int cont, const char *key,
                                       const char *value1, const char *value2);
int msgr_sendTransResponsePair(const char *from, const char *to, const char *gid,
                               const char *re_seq, int cont, const char *key,
                               const char *value1, const char *value2);

/* Rows of values. A count above MSG_MAX_VALUES is refused (-1). */
int msgr_addTransValuesVar(msg_record *msg, int count, va_list ap);
int msgr_addTransValues(msg_record *msg, int count, ...);
int msgr_addTransValueSingle(msg_record *msg, const char *value);

/* ---- Device control helpers --------------------------------------------- */

/* Stops the PPP daemon of the first connection. Without quiet it also asks
 * Process Control to stop "pppd_pppoe" and "pppd_pppoa" and then waits 3 s. */
int killPPP(const void *quiet);
int kill_ppp1(void);
int reset_eth(void);
int is_nas0_up(void);
int logger_act(const char *format, ...);

/* ---- Hooks for tests and simulators ------------------------------------- */

/* The clock behind every expiry (default: time) and the wait of killPPP
 * (default: sleep). Tests install their own to move time instead of waiting. */
typedef long (*msg_clock_fn)(void);
typedef unsigned (*msg_sleep_fn)(unsigned seconds);
void msg_setClock(msg_clock_fn clock);  /* absent restores the default */
void msg_setSleep(msg_sleep_fn sleeper);
long msg_now(void);

/* Makes the n-th allocation of the library from now on fail (1 = the next
 * one); 0 switches failures off. Returns the allocations counted since the
 * last call, so a test can first count and then fail each one in turn. */
long msg_failAlloc(long n);

#ifdef __cplusplus
}
#endif

#endif
