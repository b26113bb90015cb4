// "Get" (see get_file.h): resolves the name through the get-file table, then tries each
// candidate path in the entry's order, holding the entry's lock while a candidate is read;
// only a file that cannot be opened moves on to the next candidate.
#include "words/get_file.h"

#include <cerrno>


#include "interp/file_prefix.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/tick.h"
#include "words/load.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

CALL_LOCK_DESCRIPTER read_lock(const L_CHAR* key) { return call_lock(key, CL_READ, nullptr, nullptr); }

// One held lock of a load (debug heap), from the take until the release.
struct LOAD_FILE_T {
  TQ_SEXP* s;     // the "Get" form, kept for the collector while the lock is held
  CALL_LOCK_DESCRIPTER id;
  L_CHAR* path;   // the key the lock was taken on; null once released
};

LOAD_FILE_T* new_lft(TQ_SEXP* s, CALL_LOCK_DESCRIPTER id, const L_CHAR* path) {
  auto* lft = static_cast<LOAD_FILE_T*>(d_alloc(sizeof(LOAD_FILE_T)));
  *lft = LOAD_FILE_T{s, id, ll_copy_str(path)};
  return lft;
}

// The one-shot tick that releases a lock; the release talks to the lock server through the
// thread's interpreter, which the tick thread gets on its first release.
void lf_tick_func(void* rec) {
  auto* id = static_cast<CALL_LOCK_DESCRIPTER*>(rec);
  if (get_my_iid() == 0) setup_self_interpreter();
  get_lock_ops.unlock(*id);
  d_f_ree(id);
}

// The close hook of a locked load: 1 releases the lock (on the tick thread) and frees the
// record; 2 marks the form for the collector.
void lf_close_function(int kind, void* work) {
  auto* lft = static_cast<LOAD_FILE_T*>(work);
  if (!lft || !lft->path) return;
  if (kind == 2) {
    gc_qv_sexp(lft->s);
    return;
  }
  auto* rec = static_cast<CALL_LOCK_DESCRIPTER*>(d_alloc(sizeof(CALL_LOCK_DESCRIPTER)));
  *rec = lft->id;
  lft->id = cl_invalid();
  new_tick(lf_tick_func, 0, rec);
  d_f_ree(lft->path);
  lft->path = nullptr;
  d_f_ree(lft);
}

TQ_SEXP* get_op(TQISP_ENV* env, TQ_SEXP* s, const L_CHAR* name) {
  L_CHAR* targets[2];
  TQ_GETFILE gf;
  if (TQ_SEXP* e = get_path(targets, &gf, name, s, "Get")) return e;
  const bool tq = l_text_is(gf.mode, "tq");
  TQ_SEXP* r = nullptr;
  if (!tq && !l_text_is(gf.mode, "raw")) r = word_error_str(s, ER_NOT_IN_THREAD, "Get", "unsupport Get mode");
  for (int i = 0; !r && i < 2 && targets[i]; ++i) {
    LOAD_FILE_T* lft = nullptr;
    if (const int lock = gf.flags & GF_LOCK_MASK) {
      const L_CHAR* key = lock & GF_LOCK_FULL ? targets[i] : name;
      const CALL_LOCK_DESCRIPTER id = get_lock_ops.lock(key);
      if (cl_error_check(id) != 0) {
        r = get_cl_error(s, "Get");
        break;
      }
      lft = new_lft(s, id, key);
    }
    // A link that leads out of the candidate's tree serves nothing: as if there were no file.
    const bool docs = (i == 0) == bool(gf.flags & GF_DOCS_ONLY);
    if (path_in_tree(name, targets[i], docs) == 0)
      r = load_open_error(s, targets[i], ENOENT);
    else
      r = load_file(env, s, tq ? LOAD_TQ : LOAD_RAW, targets[i], nullptr, nullptr, 0,
                    lft ? lf_close_function : nullptr, lft);
    if (get_type(r) != kTagError) break;
    if (lft) lf_close_function(1, lft);
    if (r->error.code == ER_CANNOT_OPEN && i == 0 && targets[1]) r = nullptr;  // the next candidate
  }
  d_f_ree(targets[0]);
  d_f_ree(targets[1]);
  clear_getfile(&gf);
  return r;
}

TQ_SEXP* tq_Get(TQ_WORD_ARGS) {
  TQ_SEXP* name = get_el(s, 1);
  if (get_type(name) != kTagString) return word_error_str(s, ER_TYPE, "Get", "type missmatch");
  return get_op(env, s, name->string.data);
}

}  // namespace

GET_LOCK_OPS get_lock_ops{read_lock, call_unlock};

void init_Get(TQISP_ENV* env) { bind_word(env, "Get", tq_Get, 1, nullptr, 2, 2); }

}  // namespace tq
