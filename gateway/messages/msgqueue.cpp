// Sequence numbers, sending, routing and the outgoing queue.
#include <errno.h>
#include <stdio.h>

#include "keyvalue.h"
#include "msg_internal.h"

int current_seq = 0;

namespace {

char seq_text[64];
// Every message is written here and sent from here: no allocation on the
// send path.
char out_buffer[MSG_OUT_BUFFER];

msg_record *message_queue = nullptr;
const route_entry *msg_route_table = nullptr;
msg_handler msg_route_hook = nullptr;

const char *const kRelay = "logic";

void unlink_head() {
  msg_record *head = message_queue;
  message_queue = head->next;
  if (message_queue != nullptr) message_queue->prev = nullptr;
  head->next = head->prev = nullptr;
}

void push_front(msg_record *msg) {
  msg->prev = nullptr;
  msg->next = message_queue;
  if (message_queue != nullptr) message_queue->prev = msg;
  message_queue = msg;
}

}  // namespace

int msg_getNextSeq(void) {
  // Wraps to 1 after the largest number; computed without signed overflow.
  current_seq = current_seq >= 2147483647 || current_seq < 0 ? 1 : current_seq + 1;
  return current_seq;
}

const char *msg_convSeq(int number) {
  seq_text[msg_decimal(number, seq_text)] = '\0';
  return seq_text;
}

int msg_sendOut(const msg_record *msg, const char *address) {
  if (serv_socket < 0) return MSG_DELIVER_LATER;
  if (msg == nullptr || address == nullptr) return MSG_DELIVER_FAILED;
  int len = msg_makeXML(out_buffer, sizeof out_buffer, msg);
  if (len <= 0) return MSG_DELIVER_FAILED;
  int sent = comm_sendto(serv_socket, out_buffer, (size_t)len, address);
  if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? MSG_DELIVER_LATER
                                                                : MSG_DELIVER_FAILED;
  return sent;
}

int msg_send(msg_record *msg) {
  if (msg == nullptr) return -1;
  if (msg_route_table == nullptr) {
    int r = msg_sendOut(msg, kRelay);
    msg_free(msg);
    return r;
  }
  msg->next = msg->prev = nullptr;
  if (message_queue == nullptr) {
    message_queue = msg;
  } else {
    msg_record *last = message_queue;
    while (last->next != nullptr) last = last->next;
    last->next = msg;
    msg->prev = last;
  }
  return 0;
}

int msg_setRouteTable(const route_entry *table) {
  msg_route_table = table;
  return 0;
}

int msg_setRouteHook(msg_handler hook) {
  msg_route_hook = hook;
  return 0;
}

int msg_get_route(const msg_record *msg, msg_handler *handler) {
  // Without a table everything goes through the relay, as msg_send does.
  if (msg_route_table == nullptr) {
    if (handler != nullptr) *handler = nullptr;
    return ROUTE_VIA_LOGIC;
  }
  const route_entry *e = msg_route_table;
  const char *to = msg != nullptr ? msg->to : nullptr;
  while (e->name != nullptr && (to == nullptr || safe_strcmp(e->name, to) != 0)) ++e;
  if (handler != nullptr) *handler = e->handler;
  return e->kind;
}

int msg_route(msg_record *msg) {
  msg_handler handler = nullptr;
  switch (msg_get_route(msg, &handler)) {
    case ROUTE_LOCAL:
      return handler != nullptr ? handler(msg) : MSG_DELIVER_FAILED;
    case ROUTE_DIRECT:
      if (msg == nullptr || msg->to == nullptr) return MSG_DELIVER_FAILED;
      return msg_sendOut(msg, msg->to);
    case ROUTE_VIA_LOGIC:
      return msg_sendOut(msg, kRelay);
    default:
      return MSG_DELIVER_FAILED;
  }
}

int msg_deliver(msg_record *msg) {
  if (msg_route_hook != nullptr && msg_get_route(msg, nullptr) == ROUTE_LOCAL) {
    int r = msg_route_hook(msg);
    if (r != ROUTE_HOOK_PASS) return r;
  }
  return msg_route(msg);
}

int msg_iterate_queue(void) {
  while (message_queue != nullptr) {
    // The head leaves the queue while it is delivered, so that a handler
    // that sends, flushes or drains the queue itself cannot release it or
    // deliver it twice; a message that must wait goes back to the front.
    msg_record *head = message_queue;
    unlink_head();
    int r = msg_deliver(head);
    if (r == MSG_DELIVER_LATER) {
      long now = msg_now();
      if (head->expires == 0) head->expires = (int)(now + MSG_EXPIRY_SECONDS);
      if (now < head->expires) {
        push_front(head);
        return -1;
      }
      printf("*** Message %d from %s to %s has expired\n", head->type, msg_text(head->from),
             msg_text(head->to));
      fflush(stdout);
    }
    msg_free(head);
  }
  return 0;
}

int msg_flush(void) {
  while (message_queue != nullptr) {
    msg_record *head = message_queue;
    unlink_head();
    msg_free(head);
  }
  return 0;
}

void lib_close(void) { lib_close_messages(); }
