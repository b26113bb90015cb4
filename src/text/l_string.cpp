// Conversions between byte strings and L_CHAR strings with their three owners (the
// per-task ring of temporaries, the constant cache, the debug heap), and the L_CHAR string
// functions.
//
// The ring lives in a per-thread area of the task pool, released with every slot it holds
// when the task function returns. get_my_area takes the pool's area lock, which all threads
// share; a thread-local pointer to the caller's area makes the many small conversions of
// message formatting lock-free. The area's clean-up runs on the finishing task's own thread
// and clears that pointer before the area is freed.
#include "text/l_string.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "platform/task.h"

namespace tq {

// ---- The ring of temporaries

namespace {

struct temp_buffer {
  THREAD_AREA_HEADER h;
  int ptr;  // next slot
  void* fifo[kTempRing];
  const char* file[kTempRing];
  int line[kTempRing];
};

void close_temp_buffer(void* area);

THREAD_AREA buffer_ta{};
const THREAD_AREA buffer_template = {nullptr, close_temp_buffer, int(sizeof(temp_buffer)), 61, nullptr};
std::atomic<bool> buffer_ta_ready{false};
thread_local temp_buffer* my_buffer = nullptr;

void close_temp_buffer(void* area) {
  auto* b = static_cast<temp_buffer*>(area);
  for (void*& p : b->fifo) {
    if (p) d_f_ree(p);
    p = nullptr;
  }
  if (my_buffer == b) my_buffer = nullptr;
}

temp_buffer* get_temp_buffer() {
  if (my_buffer) return my_buffer;
  if (!buffer_ta_ready.load(std::memory_order_acquire)) {
    init_thread_area(&buffer_ta, &buffer_template);  // idempotent under the pool's area lock
    buffer_ta_ready.store(true, std::memory_order_release);
  }
  my_buffer = static_cast<temp_buffer*>(get_my_area(&buffer_ta));
  return my_buffer;
}

void* grow(void* p, size_t size) {
  void* q = d_re_alloc(p, size);
  if (!q) er_panic("l_string: d_re_alloc");
  return q;
}

}  // namespace

void xx_set_buffer(void* buf, const char* _file, int _line) {
  temp_buffer* b = get_temp_buffer();
  int p = b->ptr;
  if (b->fifo[p]) d_f_ree(b->fifo[p]);
  b->fifo[p] = buf;
  b->file[p] = _file;
  b->line[p] = _line;
  b->ptr = (p + 1) % kTempRing;
}

// ---- Conversions onto the debug heap (no temporaries involved)

namespace {

// Decodes n bytes into a new exactly sized, 0-terminated block.
L_CHAR* decode_to_heap(CODE_METHOD* cm, const char* str, size_t n) {
  auto* out = static_cast<L_CHAR*>(d_alloc((n + 1) * sizeof(L_CHAR)));
  void* w = cm->open();
  size_t k = 0;
  int (*to_internal)(L_CHAR*, void*, unsigned char) = cm->to_internal;
  for (size_t i = 0; i < n; ++i) k += to_internal(&out[k], w, static_cast<unsigned char>(str[i]));
  cm->close(nullptr, w);
  out[k] = 0;
  if (k < n) out = static_cast<L_CHAR*>(grow(out, (k + 1) * sizeof(L_CHAR)));
  return out;
}

// Encodes a 0-terminated L_CHAR string into a new exactly sized, NUL-terminated block.
char* encode_to_heap(CODE_METHOD* cm, const L_CHAR* lstr) {
  size_t n = size_t(l_strlen(lstr));
  size_t cap = n * 6 + 1;
  size_t pos = 0;
  auto* out = static_cast<unsigned char*>(d_alloc(cap));
  auto room = [&](size_t k) {
    if (cap - pos >= k) return;
    cap = cap * 2 > pos + k ? cap * 2 : pos + k;
    out = static_cast<unsigned char*>(grow(out, cap));
  };
  size_t max_ret = size_t(cm->max_ret), close_max = size_t(cm->close_max);
  void* w = cm->open();
  for (size_t i = 0; i < n; ++i) {
    room(max_ret);
    int k = cm->to_external(out + pos, w, lstr[i]);
    if (k > 0) {
      pos += size_t(k);
      continue;
    }
    // Back to the initial shift state, then the escape in its place, then a fresh record.
    room(close_max);
    pos += size_t(cm->close(out + pos, w));
    room(13);
    pos += size_t(snprintf(reinterpret_cast<char*>(out + pos), 13, "&Cx%x;", lstr[i]));
    w = cm->open();
  }
  room(close_max + 1);
  pos += size_t(cm->close(out + pos, w));
  out[pos] = 0;
  if (pos + 1 < cap) out = static_cast<unsigned char*>(grow(out, pos + 1));
  return reinterpret_cast<char*>(out);
}

}  // namespace

L_CHAR* _l_string_1(CODE_METHOD* cm, const char* str) {
  if (!str) return nullptr;
  L_CHAR* ret = decode_to_heap(cm, str, strlen(str));
  set_buffer(ret);
  return ret;
}

char* n_string(CODE_METHOD* cm, const L_CHAR* lstr) {
  if (!lstr) return nullptr;
  char* ret = encode_to_heap(cm, lstr);
  set_buffer(ret);
  return ret;
}

// ---- The constant cache: keyed by (method, text address), never freed. Lock-free: a node
// is complete before it is published at the head of its bucket.

namespace {

constexpr size_t kLstrBuckets = 1011;

struct lstr_node {
  lstr_node* next;
  CODE_METHOD* cm;
  const char* str;
  L_CHAR* ret;
};

std::atomic<lstr_node*> lstr_cache[kLstrBuckets];

}  // namespace

L_CHAR* _l_string_2(CODE_METHOD* cm, ConstText text) {
  const char* str = text.str();
  std::atomic<lstr_node*>& bucket =
      lstr_cache[(reinterpret_cast<uintptr_t>(cm) + reinterpret_cast<uintptr_t>(str)) % kLstrBuckets];
  lstr_node* head = bucket.load(std::memory_order_acquire);
  for (lstr_node* n = head; n; n = n->next)
    if (n->str == str && n->cm == cm) return n->ret;
  auto* node = static_cast<lstr_node*>(d_alloc(sizeof(lstr_node)));
  node->cm = cm;
  node->str = str;
  node->ret = decode_to_heap(cm, str, strlen(str));
  // A node another thread added meanwhile may hold the same text; either answer is valid.
  node->next = head;
  while (!bucket.compare_exchange_weak(node->next, node, std::memory_order_release,
                                       std::memory_order_acquire)) {
  }
  return node->ret;
}

// ---- L_CHAR strings

int l_strlen(const L_CHAR* s) {
  const L_CHAR* p = s;
  while (*p) ++p;
  return int(p - s);
}

L_CHAR* l_strcpy(L_CHAR* d, const L_CHAR* s) {
  L_CHAR* p = d;
  while ((*p++ = *s++) != 0) {
  }
  return d;
}

int l_strcmp(const L_CHAR* str1, const L_CHAR* str2) {
  for (;; ++str1, ++str2) {
    auto a = static_cast<int32_t>(*str1), b = static_cast<int32_t>(*str2);
    if (*str1 == 0 || *str2 == 0) {
      if (*str1 == *str2) return 0;
      return *str1 == 0 ? -1 : 1;
    }
    if (a != b) return a < b ? -1 : 1;
  }
}

int cmp_part(const L_CHAR* target, const L_CHAR* data) {
  if (*data == 0) return 1;
  for (; *target; ++target) {
    const L_CHAR* t = target;
    const L_CHAR* d = data;
    while (*d && *t == *d) ++t, ++d;
    if (*d == 0) return 1;
  }
  return 0;
}

// ---- Copies on the debug heap

char* xx_copy_str(const char* s, const char* file, int line) {
  size_t n = strlen(s) + 1;
  auto* ret = static_cast<char*>(xx_d_alloc(n, file, line));
  memcpy(ret, s, n);
  return ret;
}

L_CHAR* xx_ll_copy_str(const L_CHAR* s, const char* file, int line) {
  if (!s) return nullptr;
  size_t n = (size_t(l_strlen(s)) + 1) * sizeof(L_CHAR);
  auto* ret = static_cast<L_CHAR*>(xx_d_alloc(n, file, line));
  memcpy(ret, s, n);
  return ret;
}

char* xx_ln_copy_str(CODE_METHOD* cm, const L_CHAR* s, const char* file, int line) {
  if (!s) return nullptr;
  char* ret = encode_to_heap(cm, s);
  xx_change_statistics(ret, file, line);
  return ret;
}

L_CHAR* _xx_nl_copy_str_1(CODE_METHOD* cm, const char* s, const char* file, int line) {
  if (!s) return nullptr;
  L_CHAR* ret = decode_to_heap(cm, s, strlen(s));
  xx_change_statistics(ret, file, line);
  return ret;
}

L_CHAR* _xx_nl_copy_str_2(CODE_METHOD* cm, ConstText s, const char* file, int line) {
  return xx_ll_copy_str(_l_string_2(cm, s), file, line);
}

}  // namespace tq
