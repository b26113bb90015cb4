// The raw image cache: entries, waiters, the per-server fetch workers and the tick.
#include "remote/raw_image_cache.h"

#include <cstdlib>
#include <cstring>

#include "image/gif_reader.h"
#include "image/jpeg_glue.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "remote/session.h"
#include "stream/format.h"
#include "stream/stream.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int kMaxEntries = 99;
constexpr int kTickSeconds = 30;

SEM ri_lock;
RAW_IMAGE_HEADER ri_root;  // ri_next: most recently used first
AVT_NODE* avt_ri_root;
int ri_count;
SYS_QUEUE ri_que1;

int ri_cmp(void* a, void* b) {
  const int c = l_strcmp(static_cast<RAW_IMAGE*>(a)->path, static_cast<RAW_IMAGE*>(b)->path);
  return c > 0 ? 1 : c < 0 ? -1 : 0;
}

void ring_unlink(RAW_IMAGE_HEADER* e) {
  e->ri_prev->ri_next = e->ri_next;
  e->ri_next->ri_prev = e->ri_prev;
}
void ring_front(RAW_IMAGE_HEADER* e) {
  e->ri_next = ri_root.ri_next;
  e->ri_prev = &ri_root;
  ri_root.ri_next->ri_prev = e;
  ri_root.ri_next = e;
}

// The entry of path (ri_lock held), moved to the front of the ring; null when none.
RAW_IMAGE* _search_ri(const L_CHAR* path) {
  RAW_IMAGE probe{};
  probe.path = const_cast<L_CHAR*>(path);
  AVT_NODE* n = avt_search(avt_ri_root, &probe, ri_cmp);
  if (!n) return nullptr;
  auto* ri = static_cast<RAW_IMAGE*>(n->data);
  ring_unlink(&ri->h);
  ring_front(&ri->h);
  return ri;
}

RI_QUEUE* new_waiter(RAW_IMAGE* ri, ri_que_cf func, void* cf_data) {
  auto* q = static_cast<RI_QUEUE*>(d_calloc(1, sizeof(RI_QUEUE)));
  q->ri = ri;
  if (func) func(RI_ATTACH, q, cf_data);
  q->call_function = func;
  q->next = ri->ri_que;
  ri->ri_que = q;
  return q;
}

// A new loading entry, queued for its server's worker (ri_lock held).
void _new_ri(const L_CHAR* path, ri_que_cf func, void* cf_data) {
  auto* ri = reinterpret_cast<RAW_IMAGE*>(new_queue_node(sizeof(RAW_IMAGE)));
  ri->path = ll_copy_str(path);
  ri->err = RI_LOADING;
  new_waiter(ri, func, cf_data);
  ri->node.data = ri;
  avt_insert(&avt_ri_root, &ri->node, ri_cmp);
  ring_front(&ri->h);
  ++ri_count;
  URL u;
  get_url2(&u, path);
  ri->h.h.key = get_server_key(&u, nullptr);
  free_url(&u);
  insert_queue(&ri_que1, &ri->h.h, 1);
}

// The file bytes of the answer to (Get path) from the URL's server, or null.
unsigned char* get_from_network(int* len, const RAW_IMAGE* ri, int sid) {
  GcFrame frame("get_from_network");
  URL u;
  get_url2(&u, ri->path);
  ss_printf("request\n");
  L_CHAR* file = get_url_filepath(&u);
  TQ_SEXP* cmd = list(List(n_get_symbol("Get"), get_string(file), kListEnd), nullptr);
  d_f_ree(file);
  TQ_SEXP* r = remote_session(qvlisp_top_env0, sid, &u, _l_string_2(std_cm, "standard"), _l_string_2(std_cm, "user"),
                              _l_string_2(std_cm, "Get"), cmd, nullptr, 0, 0, nullptr);
  free_url(&u);
  const int t = get_type(r);  // waits for the answer
  if (t == kTagError) {
    ss_printf("raw Image error %ls ", ri->path);
    print_sexp(s_stdout, r, 0);
    ss_printf("\n");
    return nullptr;
  }
  if (t != kTagPair) {
    ss_printf("raw image type missmatch\n");
    return nullptr;
  }
  int64_t total = 0;
  for (TQ_SEXP* p = r; get_type(p) == kTagPair; p = p->pair.cdr)
    if (get_type(p->pair.car) == kTagRaw) total += p->pair.car->raw.size;
  auto* bytes = static_cast<unsigned char*>(d_alloc(size_t(total) + 1));
  int64_t at = 0;
  for (TQ_SEXP* p = r; get_type(p) == kTagPair; p = p->pair.cdr)
    if (TQ_SEXP* c = p->pair.car; get_type(c) == kTagRaw && c->raw.size > 0) {
      memcpy(bytes + at, c->raw.data, size_t(c->raw.size));
      at += c->raw.size;
    }
  *len = int(total);
  return bytes;
}

uint32_t pixel_word(unsigned r, unsigned g, unsigned b) { return r * 4u + g * 4096u + b * 4194304u; }

// Decodes by the path's extension into pixel words (debug heap), or null.
uint32_t* decompress(int* w, int* h, const L_CHAR* path, const unsigned char* bytes, int len) {
  const L_CHAR* ext = nullptr;
  for (const L_CHAR* p = path; *p; ++p)
    if (*p == '.') ext = p;
  *w = *h = 0;
  if (!ext) return nullptr;
  if (l_text_is(ext, ".gif")) {
    GIF_ENV ge{};
    RGB4* px = gif_uncompress(w, h, &ge, bytes, len);
    if (!px) return nullptr;
    auto* words = reinterpret_cast<uint32_t*>(px);  // converted in place: 4 bytes each
    for (int i = 0; i < *w * *h; ++i) words[i] = pixel_word(px[i].r, px[i].g, px[i].b);
    return words;
  }
  if (l_text_is(ext, ".jpg") || l_text_is(ext, ".jpeg")) {
    unsigned char* px = jpeg_uncompress(w, h, bytes, len);
    if (!px) return nullptr;
    auto* words = static_cast<uint32_t*>(d_alloc(sizeof(uint32_t) * size_t(*w) * size_t(*h)));
    for (int i = 0; i < *w * *h; ++i) words[i] = pixel_word(px[4 * i], px[4 * i + 1], px[4 * i + 2]);
    free(px);
    return words;
  }
  return nullptr;
}

// The fetch ended: the entry takes its outcome, and its waiters are told and freed.
void publish(RAW_IMAGE* ri, int err, uint32_t* data, int w, int h, unsigned char* bytes, int len) {
  lock_task(ri_lock);
  ri->data = data;
  ri->width = w;
  ri->height = h;
  ri->ndata = bytes;
  ri->ndata_len = len;
  ri->err = err;
  RI_QUEUE* waiters = ri->ri_que;
  ri->ri_que = nullptr;
  wakeup_task(ri);
  unlock_task(ri_lock, "publish");
  while (RI_QUEUE* q = waiters) {
    waiters = q->next;
    if (q->call_function) {
      q->call_function(RI_READY_CB, q, nullptr);
      q->call_function(RI_RELEASE, q, nullptr);
    }
    d_f_ree(q);
  }
}

// Drops the least recently used entries that are not loading until kMaxEntries are left;
// when every older entry is loading, it stops.
void evict() {
  lock_task(ri_lock);
  while (ri_count > kMaxEntries) {
    RAW_IMAGE_HEADER* e = ri_root.ri_prev;
    while (e != &ri_root && reinterpret_cast<RAW_IMAGE*>(e)->err == RI_LOADING) e = e->ri_prev;
    if (e == &ri_root) break;
    L_CHAR* path = ll_copy_str(reinterpret_cast<RAW_IMAGE*>(e)->path);
    unlock_task(ri_lock, "evict");
    delete_ri(path);
    d_f_ree(path);
    lock_task(ri_lock);
  }
  unlock_task(ri_lock, "evict");
}

void fetch(RAW_IMAGE* ri, int sid) {
  int len = 0;
  unsigned char* bytes = get_from_network(&len, ri, sid);
  int w = 0, h = 0;
  uint32_t* data = bytes ? decompress(&w, &h, ri->path, bytes, len) : nullptr;
  if (data) {
    ss_printf("DATA OK %i %i\n", w, h);
    publish(ri, RI_OK, data, w, h, bytes, len);
    evict();
    return;
  }
  // The error is made while the entry still loads: once published, a waiter told of the
  // failure (or an eviction) may delete the entry with its path.
  GcFrame frame("raw_image");
  TQ_SEXP* e = bytes ? get_error(nullptr, 0, ER_NO_OBJECT, _l_string_2(std_cm, "raw_image"),
                                 list(n_get_string("undefined the image data"), get_string(ri->path), nullptr))
                     : nullptr;
  if (bytes) d_f_ree(bytes);
  publish(ri, RI_FAILED, nullptr, 0, 0, nullptr, 0);
  if (e) {
    ss_printf("decompress error");
    print_sexp(s_stderr, e, 0);
    ss_printf("\n");
  }
}

void fetch_task(void* data) {
  auto* q = static_cast<SYS_QUEUE*>(data);
  L_CHAR* key = touch_qkey(q);
  if (!key) return;
  setup_self_interpreter();
  const int sid = open_session(1);
  while (auto* ri = reinterpret_cast<RAW_IMAGE*>(delete_queue(q, sq_key_cond, key, 0))) fetch(ri, sid);
  release_qkey(q, key);
  d_f_ree(key);
  close_session(sid);
  close_self_interpreter();
}

void ri_tick(void*) {
  ScopedLock l(ri_lock, __FILE__, __LINE__);
  for (RAW_IMAGE_HEADER* e = ri_root.ri_next; e != &ri_root; e = e->ri_next) {
    auto* ri = reinterpret_cast<RAW_IMAGE*>(e);
    if (ri->err != RI_LOADING) continue;
    for (RI_QUEUE* q = ri->ri_que; q; q = q->next)
      if (q->call_function && q->call_function(RI_POLL, q, nullptr)) {
        q->call_function(RI_RELEASE, q, nullptr);
        q->call_function = nullptr;
        q->data = nullptr;
      }
  }
}

}  // namespace

int init_tq_ri() {
  ri_lock = new_lock();
  ri_root.ri_next = ri_root.ri_prev = &ri_root;
  ri_count = 0;
  avt_ri_root = nullptr;
  ri_que1 = SYS_QUEUE{};
  ri_que1.flags = SQ_LIFO;
  ri_que1.key_func = fetch_task;
  ri_que1.pri = 4;
  setup_queue(&ri_que1);
  new_tick(ri_tick, kTickSeconds, nullptr);
  return 0;
}

uint32_t* tq_get_ri(int* err, int* w, int* h, ri_que_cf func, void* cf_data, const L_CHAR* path) {
  ScopedLock l(ri_lock, __FILE__, __LINE__);
  RAW_IMAGE* ri = _search_ri(path);
  if (!ri) {
    _new_ri(path, func, cf_data);
    wakeup_task(&ri_root);
    *err = RI_LOADING;
    return nullptr;
  }
  switch (ri->err) {
    case RI_OK:
      *w = ri->width;
      *h = ri->height;
      *err = RI_OK;
      return ri->data;
    case RI_LOADING: {
      bool same = false;
      for (RI_QUEUE* q = ri->ri_que; func && q && !same; q = q->next)
        same = q->call_function == func && func(RI_SAME, q, cf_data) == 0;
      if (func && !same) new_waiter(ri, func, cf_data);
      *err = RI_LOADING;
      return nullptr;
    }
    case RI_FAILED:
      *err = RI_FAILED;
      return nullptr;
    default:
      er_panic("get_ri");
  }
}

unsigned char* tq_search_ri_org(int* err, int* len, const L_CHAR* path) {
  int w = 0, h = 0;
  tq_get_ri(err, &w, &h, nullptr, nullptr, path);
  ScopedLock l(ri_lock, __FILE__, __LINE__);
  RAW_IMAGE* ri;
  while ((ri = _search_ri(path)) != nullptr && ri->err == RI_LOADING) {
    sleep_task(ri, ri_lock);
    lock_task(ri_lock);
  }
  *len = -1;
  if (!ri) return nullptr;
  *err = ri->err;
  if (ri->err != RI_OK) return nullptr;
  *len = ri->ndata_len;
  return ri->ndata;
}

void delete_ri(const L_CHAR* path) {
  RAW_IMAGE* ri;
  {
    ScopedLock l(ri_lock, __FILE__, __LINE__);
    ri = _search_ri(path);
    if (!ri || ri->err == RI_LOADING) return;  // its worker still writes to it
    avt_delete(&avt_ri_root, ri, ri_cmp);
    ring_unlink(&ri->h);
    --ri_count;
  }
  d_f_ree(ri->path);
  if (ri->data) d_f_ree(ri->data);
  if (ri->ndata) d_f_ree(ri->ndata);
  d_f_ree(ri->h.h.key);
  d_f_ree(ri);
}

int ri_count_now() {
  ScopedLock l(ri_lock, __FILE__, __LINE__);
  return ri_count;
}

}  // namespace tq
