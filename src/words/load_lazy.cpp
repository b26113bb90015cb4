// The lazily read lists of "Load": raw chunks of up to 4096 bytes, and text records cut at
// a terminator pattern (see load.h). Each realisation reads just one element and rewrites
// its delayed cell in place into (element . next delayed cell), or nil at the end.
#include <cerrno>
#include <cstring>
#include <vector>

#include "interp/gc_hooks.h"
#include "lang/gc.h"
#include "lang/mstr.h"
#include "lang/parse.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "stream/stream_write.h"
#include "text/l_string.h"
#include "words/load.h"

namespace tq {

SEM df_lock;
DELAY_LOAD_T* df_list;

namespace {

bool marked(void* p) { return gc_block_of(p)->mark & kMarkLive; }

TQ_SEXP* new_load_cell(DELAY_LOAD_T* df) { return new_delay_func_cell(df->rec, &df->h); }

void close_decoder(DELAY_LOAD_T* df) {
  if (df->cm_work) df->cm->close(nullptr, df->cm_work);
  df->cm_work = nullptr;
  d_f_ree(df->rb);
  df->rb = nullptr;
}

// The stream closed (queued from inside a collection, which holds the stream lock).
void close_stream(DELAY_LOAD_T* df, bool in_collection) {
  if (df->st) {
    if (in_collection)
      s_close_queue(df->st);
    else
      d_s_close(df->st);
  }
  df->st = nullptr;
  close_decoder(df);
}

void call_close_hook(DELAY_LOAD_T* df) {
  TQ_CLOSE_FUNC fn = df->close_func;
  void* work = df->work;
  df->close_func = nullptr;
  df->work = nullptr;
  if (fn) fn(1, work);
}

void free_buffers(DELAY_LOAD_T* df) {
  free_automaton(df->term_a);
  df->term_a = nullptr;
  d_f_ree(df->backbuffer);
  df->backbuffer = nullptr;
  df->bb_size = df->bb_ptr = 0;
}

// The error of a read that failed with err: the system's cause after the text.
TQ_SEXP* read_error(TQ_SEXP* cell, int err) {
  const char* why = err > 0 ? std::strerror(err) : nullptr;
  return get_error(cell->h.file, cell->h.line, ER_END_OF_INPUT, _l_string_2(std_cm, "load"),
                   list(n_get_string("cannot read the file"), why ? n_get_string(why) : nullptr, nullptr));
}

// One read of the stream, repeated while it is interrupted: bytes, 0 at the end, -1.
int read_some(STREAM* st, uint8_t* into, int room) {
  for (;;) {
    errno = 0;
    const int n = s_read(st, reinterpret_cast<char*>(into), room);
    if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return n;
  }
}

// The next character of a text record: 1 with *ch, 0 at the end, -1 on a read failure.
int next_char(DELAY_LOAD_T* df, L_CHAR* ch) {
  if (df->bb_ptr < df->bb_size) {
    *ch = df->backbuffer[df->bb_ptr++];
    return 1;
  }
  if (df->backbuffer) {
    d_f_ree(df->backbuffer);
    df->backbuffer = nullptr;
    df->bb_size = df->bb_ptr = 0;
  }
  while (df->st) {
    if (df->rb_ptr == df->rb_len) {
      const int n = read_some(df->st, df->rb, kLoadChunk);
      if (n < 0) return -1;
      if (n == 0) {
        close_stream(df, false);  // the hook waits for the sweep
        return 0;
      }
      df->rb_len = n;
      df->rb_ptr = 0;
    }
    if (df->cm->to_internal(ch, df->cm_work, df->rb[df->rb_ptr++])) return 1;
  }
  return 0;
}

// The characters data[from..n) go back in front of what the back buffer still holds.
void push_back(DELAY_LOAD_T* df, const L_CHAR* data, int from, int n) {
  const size_t rest = df->bb_size - df->bb_ptr;
  const size_t total = size_t(n - from) + rest;
  auto* b = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * (total + 1)));
  for (int i = from; i < n; ++i) b[i - from] = data[i];
  for (size_t i = 0; i < rest; ++i) b[size_t(n - from) + i] = df->backbuffer[df->bb_ptr + i];
  d_f_ree(df->backbuffer);
  df->backbuffer = b;
  df->bb_size = total;
  df->bb_ptr = 0;
}

// At the end of the input: whether a terminator ends the characters read, trying every start
// the search has not yet passed (a match seen so far counts, as no character will follow).
bool final_terminator(STATE_CHECKER* sc, const std::vector<L_CHAR>& buf) {
  const int n = int(buf.size());
  while (sc->stptr < n)
    if (en_state_checker(sc, buf.data(), n, true) == 0) return true;
  return false;
}

}  // namespace

void init_load_list() {
  if (lock_up_test(df_lock)) return;
  df_lock = new_lock();
  set_loader_gc_hooks(df_lock, sp_gc_load);
}

TQ_SEXP* new_delay_load(STREAM* st, int mode, const L_CHAR* path, AUTOMATON* term_a, TQ_CLOSE_FUNC func, void* work) {
  GcFrame frame("new_delay_load");
  const bool text = mode != LOAD_RAW;
  if (!text) free_automaton(term_a);
  const L_CHAR* site = get_tqlisp_site();  // takes lex_lock: not inside a section
  if (!site) site = _l_string_2(std_cm, "");
  DELAY_LOAD_T* df;
  {
    MemLock hold;  // the records are filled where no collection reads them half made
    df = static_cast<DELAY_LOAD_T*>(mmalloc(sizeof(DELAY_LOAD_T), tq_load_gc));
    df->h = DELAY_FUNC{text ? tq_delay_load_text : tq_delay_load, tq_load_gc, nullptr};
    df->st = st;
    df->close_func = func;
    df->work = work;
    df->term_a = text ? term_a : nullptr;
    df->escapeflag = mode == LOAD_TEXT_ESCAPE ? 2 : 0;
    df->rec = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
    df->rec->name = ll_copy_mstr(path);
    df->rec->site = ll_copy_mstr(site);
  }
  if (text) {
    df->cm = s_get_cm(st) ? s_get_cm(st) : std_cm;
    df->cm_work = df->cm->open();
    df->rb = static_cast<uint8_t*>(d_alloc(kLoadChunk));
  }
  {
    LOCK_SCOPE(df_lock);
    df->next = df_list;
    df_list = df;
  }
  return frame.release(new_load_cell(df));
}

TQ_SEXP* tq_delay_load(TQ_SEXP* cell) {
  auto* df = reinterpret_cast<DELAY_LOAD_T*>(cell->delay.d.func);
  GcFrame frame("tq_delay_load", df, tq_load_gc);
  uint8_t chunk[kLoadChunk];
  int fill = 0;
  bool end = !df->st;
  while (!end && fill < kLoadChunk) {
    const int n = read_some(df->st, chunk + fill, kLoadChunk - fill);
    if (n < 0) {
      publish_pair(cell, read_error(cell, errno), nullptr, cell->h.file, cell->h.line);
      end = true;
      fill = -1;
      break;
    }
    if (n == 0) end = true;
    fill += n;
  }
  if (fill > 0)
    publish_pair(cell, get_raw(chunk, fill), end ? nullptr : new_load_cell(df), cell->h.file, cell->h.line);
  else if (fill == 0)
    publish_nil(cell);
  if (end) {
    call_close_hook(df);
    close_stream(df, false);
  }
  return cell;
}

TQ_SEXP* tq_delay_load_text(TQ_SEXP* cell) {
  auto* df = reinterpret_cast<DELAY_LOAD_T*>(cell->delay.d.func);
  GcFrame frame("tq_delay_load_text", df, tq_load_gc);
  std::vector<L_CHAR> buf;
  STATE_CHECKER sc{df->term_a, 0, -1};
  bool cut = false;
  for (;;) {
    L_CHAR ch;
    const int r = next_char(df, &ch);
    if (r < 0) {
      publish_pair(cell, read_error(cell, errno), nullptr, cell->h.file, cell->h.line);
      return cell;
    }
    if (r == 1) {
      buf.push_back(ch);
      if (en_state_checker(&sc, buf.data(), int(buf.size())) != 0) continue;
    } else if (!final_terminator(&sc, buf)) {
      break;
    }
    if (sc.endptr < int(buf.size())) push_back(df, buf.data(), sc.endptr, int(buf.size()));
    buf.resize(size_t(sc.stptr));
    cut = true;
    break;
  }
  if (!cut && buf.empty()) {
    free_buffers(df);
    publish_nil(cell);
    return cell;
  }
  buf.push_back(0);
  if (df->escapeflag) escape_handling(buf.data());
  TQ_SEXP* text = get_string(buf.data());
  if (!cut) free_buffers(df);
  publish_pair(cell, text, cut ? new_load_cell(df) : nullptr, cell->h.file, cell->h.line);
  return cell;
}

int en_state_checker(STATE_CHECKER* sc, const L_CHAR* data, int n, bool at_end) {
  A_STATE* state = sc->a ? search_state(sc->a, AS_INITIAL) : nullptr;
  if (!state) {
    sc->stptr += 1;
    return 1;
  }
  int accepted = -1;
  for (int i = sc->stptr; i < n; ++i) {
    if ((state->flags & AS_ACCEPT) && i > sc->stptr) accepted = i;  // an empty match ends nothing
    A_STATE* next = get_next_state(state, data[i]);
    if (!next) {
      if (accepted >= 0) {
        sc->endptr = accepted;
        return 0;
      }
      sc->stptr += 1;
      return 1;
    }
    state = next;
  }
  if ((state->flags & AS_ACCEPT) && n > sc->stptr && (state->table_size == 0 || at_end)) {
    sc->endptr = n;
    return 0;
  }
  if (!at_end) return 2;
  if (accepted >= 0) {
    sc->endptr = accepted;
    return 0;
  }
  sc->stptr += 1;
  return 1;
}

void escape_handling(L_CHAR* text) {
  auto hex = [](L_CHAR c) -> int {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    return -1;
  };
  L_CHAR* out = text;
  for (L_CHAR* p = text; *p;) {
    if (p[0] == '&' && (p[1] == 'c' || p[1] == 'C') && (p[2] == 'x' || p[2] == 'X')) {
      uint32_t v = 0;
      L_CHAR* q = p + 3;
      for (int d; (d = hex(*q)) >= 0; ++q) v = v * 16 + uint32_t(d);
      if ((*q == ';' || *q == 0) && v != 0) {  // a 0 would end the text there
        *out++ = v;
        p = *q ? q + 1 : q;
        continue;
      }
    }
    *out++ = *p++;
  }
  *out = 0;
}

void tq_load_gc(void* p) {
  auto* df = static_cast<DELAY_LOAD_T*>(p);
  if (!df || marked(df)) return;
  gc_text(df);
  gc_qv_file(df->rec);
  if (df->close_func) df->close_func(2, df->work);
}

void sp_gc_load() {
  for (DELAY_LOAD_T** p = &df_list; *p;) {
    DELAY_LOAD_T* df = *p;
    if (marked(df)) {
      p = &df->next;
      continue;
    }
    call_close_hook(df);
    close_stream(df, true);
    free_buffers(df);
    *p = df->next;
  }
}

}  // namespace tq
