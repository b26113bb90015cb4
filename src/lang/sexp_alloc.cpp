// The cell allocator that every constructor of the system goes through, the in-place
// rewrites of delayed cells, and get_type.
//
// A cell takes the size of its own body; a delayed cell takes the size of the largest body,
// since realisation rewrites it in place into any other kind, and it is the only kind ever
// rewritten. Rewrites run under the memory lock (the collector never sees half a cell) and
// store the tag last with release; get_type reads it with acquire, so a thread that sees
// the new tag sees the whole body.
#include <cstdio>
#include <cstring>

#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "lang/tq_file.h"
#include "platform/startup.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int64_t kBodySize[] = {
    sizeof(TQ_NULL),  sizeof(TQ_ERROR), sizeof(TQ_PAIR), sizeof(TQ_SYMBOL),
    sizeof(TQ_STRING), sizeof(TQ_INTEGER), sizeof(TQ_FLOAT), sizeof(TQ_FUNC),
    sizeof(tq_sexp),  // delayed: the largest body
    sizeof(TQ_PTR),   sizeof(TQ_RAW),    sizeof(TQ_TQISP_ENV),
};
static_assert(sizeof kBodySize / sizeof kBodySize[0] == kTagMax + 1);

void set_position(TQ_SEXP* s, TQ_FILE* f, TQ_SEXP* h) {
  if (h) {
    s->h.file = h->h.file;
    s->h.line = h->h.line;
  } else if (f) {
    s->h.file = f;
    s->h.line = f->token_head_line;
  } else {
    s->h.file = nullptr;
    s->h.line = 0;
  }
}

[[gnu::hot]] TQ_SEXP* new_cell(TQ_FILE* f, int32_t type, TQ_SEXP* h, const char* file, int line) {
  const int64_t size = get_sexp_size(type);
  lock_mem();
  auto* s = static_cast<TQ_SEXP*>(mmalloc_nl(size_t(size), gc_qv_sexp, file, line));
  set_position(s, f, h);
  set_sexp_tag(s, type);
  unlock_mem();
  return s;
}

void require_delayed(TQ_SEXP* d, const char* text) {
  if (!d || sexp_tag(d) != kTagDelay) er_panic(text);
}

// Clears everything after the header: d is delay-sized.
void clear_body(TQ_SEXP* d) {
  std::memset(reinterpret_cast<char*>(d) + sizeof(TQ_SEXP_HEADER), 0, sizeof(tq_sexp) - sizeof(TQ_SEXP_HEADER));
}

}  // namespace

int64_t get_sexp_size(int32_t type) {
  if (type < 0 || type > kTagMax) {
    std::fprintf(stderr, "get_sexp_size(1) %i\n", int(type));
    er_panic("get_sexp_size(1)");
  }
  return kBodySize[type];
}

[[gnu::hot]] TQ_SEXP* xx_get_sexp(TQ_FILE* f, int32_t type, const char* file, int line) {
  TQ_SEXP* s = new_cell(f, type, nullptr, file, line);
  if (f) set_reader_field(f->sexp, s);
  return s;
}

TQ_SEXP* xx_get_sexp_inh(TQ_FILE* f, int32_t type, TQ_SEXP* h, const char* file, int line) {
  return new_cell(f, type, h, file, line);
}

void set_sexp(TQ_FILE* f, int32_t type, TQ_SEXP* d) {
  get_sexp_size(type);
  lock_mem();
  require_delayed(d, "set_sexp(1)");
  clear_body(d);
  set_position(d, f, nullptr);
  d->h.flags = 0;
  if (f) set_reader_field(f->sexp, d);
  set_sexp_tag(d, type);
  unlock_mem();
}

void set_sexp_inh(TQ_FILE* f, int32_t type, TQ_SEXP* d, TQ_SEXP* h) {
  get_sexp_size(type);
  lock_mem();
  require_delayed(d, "set_sexp(1)");
  clear_body(d);
  set_position(d, f, h);
  set_sexp_tag(d, type);
  unlock_mem();
}

void over_write_sexp(TQ_SEXP* d, TQ_SEXP* from) {
  if (d == from) return;
  lock_mem();
  require_delayed(d, "over_write_sexp(1)");
  clear_body(d);
  if (!from) {
    d->h.file = nullptr;
    d->h.line = 0;
    d->h.flags = 0;
    set_sexp_tag(d, kTagNil);
    unlock_mem();
    return;
  }
  const int32_t type = sexp_tag(from);
  const int64_t size = get_sexp_size(type);
  std::memcpy(reinterpret_cast<char*>(d) + sizeof(TQ_SEXP_HEADER),
              reinterpret_cast<const char*>(from) + sizeof(TQ_SEXP_HEADER), size_t(size) - sizeof(TQ_SEXP_HEADER));
  d->h.file = from->h.file;
  d->h.line = from->h.line;
  d->h.flags = from->h.flags;
  set_sexp_tag(d, type);
  unlock_mem();
}

[[gnu::hot]] L_CHAR* copy_cell_text(const L_CHAR* s) {
  if (!s) return nullptr;
  const size_t n = size_t(l_strlen(s)) + 1;
  auto* p = static_cast<L_CHAR*>(mmalloc(n * sizeof(L_CHAR), gc_text));
  std::memcpy(p, s, n * sizeof(L_CHAR));
  return p;
}

}  // namespace tq
