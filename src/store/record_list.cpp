// Record lists: pieces queued in a chain and joined into one contiguous record buffer.
// Sizes and sums are 64-bit throughout.
#include "store/record_list.h"

#include <cstddef>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

CHAIN_LIST64* new_piece(void* ptr, int64_t len, int free_flag) {
  auto* c = static_cast<CHAIN_LIST64*>(d_calloc(1, sizeof(CHAIN_LIST64)));
  c->ptr = ptr;
  c->len = len;
  c->free_flag = free_flag;
  return c;
}

int64_t chain_len(const CHAIN_LIST64* c) {
  int64_t sum = 0;
  for (; c; c = c->next) sum += c->len;
  return sum;
}

// The size field of the head copy at the start of data.
void set_copy_size(RECORD_LIST64* r, uint64_t size) {
  std::memcpy(static_cast<unsigned char*>(r->data) + offsetof(PN64_HEADER, size), &size, sizeof size);
}

}  // namespace

RECORD_LIST64* new_recordlist64(uint16_t type, uint64_t size) {
  auto* r = static_cast<RECORD_LIST64*>(d_calloc(1, sizeof(RECORD_LIST64)));
  r->header.type = type;
  r->header.size = size;
  r->body = int64_t(size);
  if (size > 0) r->data = d_calloc(1, size_t(size));
  if (size >= sizeof(PN64_HEADER)) {
    r->enable_header = 1;
    std::memcpy(r->data, &r->header, sizeof(PN64_HEADER));
  }
  return r;
}

void set_recordlist_chain64(RECORD_LIST64* r, void* ptr, int64_t len, int free_flag) {
  CHAIN_LIST64* c = new_piece(ptr, len, free_flag);
  if (r->chain_tail)
    r->chain_tail->next = c;
  else
    r->chain_head = c;
  r->chain_tail = c;
}

void set_recordlist_chain64_middle(RECORD_LIST64* r, CHAIN_LIST64* after, void* ptr, int64_t len, int free_flag) {
  CHAIN_LIST64* c = new_piece(ptr, len, free_flag);
  CHAIN_LIST64** link = after ? &after->next : &r->chain_head;
  c->next = *link;
  *link = c;
  if (!c->next) r->chain_tail = c;
}

void setup_recordlist64_size(RECORD_LIST64* r) {
  if (!r->chain_head || !r->enable_header) return;
  r->body = int64_t(r->header.size);
  set_copy_size(r, uint64_t(r->body + chain_len(r->chain_head)));
}

int64_t _setup_recordlist64(RECORD_LIST64* r) {
  if (!r->chain_head) return 0;
  r->body = int64_t(r->header.size);
  int64_t total = r->body + chain_len(r->chain_head);
  void* grown = d_re_alloc(r->data, size_t(total));
  if (!grown && total > 0) er_panic("setup_recordlist64");
  r->data = grown;
  auto* at = static_cast<unsigned char*>(r->data) + r->body;
  for (CHAIN_LIST64* c = r->chain_head; c; c = c->next) {
    if (c->len > 0) std::memcpy(at, c->ptr, size_t(c->len));
    at += c->len;
  }
  if (r->body != 0 && r->enable_header) {
    r->header.size = uint64_t(total);
    set_copy_size(r, uint64_t(total));
  }
  free_chain_list64(r->chain_head);
  r->chain_head = r->chain_tail = nullptr;
  return total;
}

int64_t setup_recordlist64(RECORD_LIST64* list) {
  int64_t sum = 0;
  for (RECORD_LIST64* r = list; r; r = r->next) sum += _setup_recordlist64(r);
  return sum;
}

void free_chain_list64(CHAIN_LIST64* c) {
  while (c) {
    CHAIN_LIST64* next = c->next;
    if (c->free_flag && c->ptr) d_f_ree(c->ptr);
    d_f_ree(c);
    c = next;
  }
}

void free_recordlist64(RECORD_LIST64* list) {
  while (list) {
    RECORD_LIST64* next = list->next;
    free_chain_list64(list->chain_head);
    if (list->data) d_f_ree(list->data);
    d_f_ree(list);
    list = next;
  }
}

}  // namespace tq
