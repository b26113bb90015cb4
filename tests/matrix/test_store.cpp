// The test open hook, its node store and the test words.
#include "matrix/test_store.h"

#include "interp/script_start.h"
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/print.h"
#include "stream/string_stream.h"
#include "matrix/access_token.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_upkeep.h"
#include "matrix/mx_codes.h"
#include "matrix/node_cache.h"
#include "matrix/node_encode.h"
#include "support/test_util.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace mxtest {

using namespace tq;

namespace {

std::mutex trace_mu;
std::vector<std::string> trace;

void add_trace(const std::string& s) {
  std::lock_guard<std::mutex> g(trace_mu);
  trace.push_back(s);
}

MATRIX_TOKEN* token(TQISP_ENV* env) { return static_cast<MATRIX_TOKEN*>(get_env_work(env)); }
int64_t int_arg(TQ_SEXP* form, int i, int64_t def) {
  TQ_SEXP* v = get_el(form, i);
  return get_type(v) == kTagInteger ? v->integer.data : def;
}
StoreShape* shape_of(MATRIX* m) { return static_cast<StoreShape*>(m->open_work); }
std::vector<int64_t> key_of(const MATRIX_NODE* n) {
  return std::vector<int64_t>(n->dim_code, n->dim_code + n->matrix->p.dim + 1);
}

TQ_SEXP* w_finish(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  set_access_jump(token(env), int(int_arg(form, 4, -1)), int(int_arg(form, 3, -1)), int(int_arg(form, 2, -1)),
                  int(int_arg(form, 1, -1)));
  return nullptr;
}

TQ_SEXP* w_load(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  MATRIX_TOKEN* t = token(env);
  const int r = t->process_node->matrix->p.read_file(t);
  return r ? lang_error_text(form, ER_MX_LOAD_SAVE, "load", "no such node") : nullptr;
}

TQ_SEXP* w_save(TQISP_ENV* env, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  MATRIX_TOKEN* t = token(env);
  lock_save(t->process_node);
  t->process_node->matrix->p.write_file(t);
  return nullptr;
}

TQ_SEXP* w_fail(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return lang_error_text(form, uint32_t(int_arg(form, 1, ER_USER)), "fail", "test failure");
}

TQ_SEXP* w_wait(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  MATRIX_TOKEN* t = token(env);
  const int len = list_length(form);
  if (len > 2) {
    MATRIX* m = t->process_node->matrix;
    std::vector<int64_t> dc;
    for (int i = 2; i < len; ++i) dc.push_back(int_arg(form, i, 0));
    int code = 0;
    get_matrix_node(&code, m, dc.data(), 0, t, nullptr);
    if (code == 0) return nullptr;
  }
  return lang_error(form, ER_APPLICATION, "wait",
                    List(n_get_string("Application System error"), get_el(form, 1), kListEnd));
}

TQ_SEXP* w_note(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  add_trace(std::to_string(int_arg(form, 1, 0)));
  return nullptr;
}

std::atomic<bool> held{false}, released{false};

TQ_SEXP* w_hold(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  held = true;
  tqtest::wait_until([] { return released.load(); }, std::chrono::seconds(30));
  held = released = false;
  return nullptr;
}

TQ_SEXP* w_tokerr(TQISP_ENV* env, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  matrix_token_error(token(env));
  return nullptr;
}

int store_read(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  StoreShape* shape = shape_of(n->matrix);
  shape->reads++;
  std::string bytes;
  {
    std::lock_guard<std::mutex> g(shape->mu);
    auto it = shape->saved.find(key_of(n));
    if (it == shape->saved.end()) return MX_NOT_OPEN;
    bytes = it->second;
  }
  GcFrame frame("store_read");
  return decode_matrix_node(n, get_raw(bytes.data(), int64_t(bytes.size()))) ? MX_LOAD_FAILED : 0;
}

int store_write(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  StoreShape* shape = shape_of(n->matrix);
  shape->writes++;
  GcFrame frame("store_write");
  TQ_SEXP* raw = encode_matrix_node(n);
  {
    std::lock_guard<std::mutex> g(shape->mu);
    shape->saved[key_of(n)] = std::string(reinterpret_cast<char*>(raw->raw.data), size_t(raw->raw.size));
  }
  unlock_save(n);
  return 0;
}

int store_trigger(int event, void*) {
  add_trace("t" + std::to_string(event));
  return 0;
}

void bind(MATRIX* m, ConstText name, TQ_PRIM prim) {
  set_env(static_cast<TQISP_ENV*>(m->mx_env->data), _l_string_2(std_cm, name),
          get_func_prim(prim, 1, nullptr, 1, kNoMax));
}

void store_open_hook(MATRIX_TOKEN* t) {
  MATRIX* m = t->wait_matrix;
  StoreShape* shape = shape_of(m);
  GcFrame frame("store_open_hook");
  MATRIX_PARAM p{};
  p.dim = int(shape->axes.size());
  p.channel_nos = int(shape->channels.size());
  p.flags = shape->flags;
  for (auto [id, w] : shape->pri) p.pri_area[id] = w;
  p.read_file = store_read;
  p.write_file = store_write;
  p.trigger = store_trigger;
  EXPECT_EQ(set_matrix_param(m, &p), 0);
  for (int a = 0; a < p.dim; ++a) {
    EXPECT_EQ(set_matrix_block_size(m, a, shape->axes[a].block_size), 0);
    EXPECT_EQ(set_matrix_dim_divide(m, a, shape->axes[a].dim_divide), 0);
    EXPECT_EQ(set_matrix_pixel_size(m, a, shape->axes[a].pixel_size), 0);
  }
  for (int ch = 0; ch < p.channel_nos; ++ch) EXPECT_EQ(set_matrix_channel_info(m, ch, &shape->channels[ch]), 0);
  for (auto& [slots, text] : shape->scripts) {
    TQ_SEXP* forms = sexp_commands(std_cm, text.c_str(), nullptr);
    for (int id : slots) EXPECT_EQ(set_matrix_cal(m, id, forms), 0);
  }
  bind_test_words(m);
  set_matrix_mode(m, MX_MODE_OPEN);
  free_open_token(t);
}

}  // namespace

void bind_test_words(MATRIX* m) {
  bind(m, "finish", w_finish);
  bind(m, "load", w_load);
  bind(m, "save", w_save);
  bind(m, "fail", w_fail);
  bind(m, "wait", w_wait);
  bind(m, "note", w_note);
  bind(m, "hold", w_hold);
  bind(m, "tokerr", w_tokerr);
}

MATRIX* open_store_matrix(StoreShape* shape, const char* name) {
  EXPECT_TRUE(drained()) << "an earlier test's tokens still run";
  MATRIX* m = open_matrix(nullptr, _l_string_1(std_cm, name), nullptr, store_open_hook, shape);
  if (m) wait_matrix_mode(m);
  return m;
}

bool wait_held() {
  return tqtest::wait_until([] { return held.load(); });
}

void release_hold() { released = true; }

std::vector<std::string> take_trace() {
  std::lock_guard<std::mutex> g(trace_mu);
  return std::move(trace);
}

// Both counts in one hold of the queue's lock: read apart, a worker that queues a token and
// then lets its own key go could be seen with neither the token nor a worker for it.
bool drained() {
  return tqtest::wait_until([] {
    LOCK_SCOPE(matrix_que.target_lock);
    if (matrix_que.total_cnt != 0) return false;
    for (KEY_LIST* k = matrix_que.keylist; k; k = k->next)
      if (k->task_asign) return false;
    return true;
  });
}

MATRIX_NODE* find_node(MATRIX* m, std::vector<int64_t> dc) {
  LOCK_SCOPE(matrix_lock);
  for (MATRIX_NODE* n = m->node_hash[_get_node_hash(m, dc.data())]; n; n = n->nh_next)
    if (_cmp_dim_code(m, n->dim_code, dc.data()) == 0) return n;
  return nullptr;
}

MATRIX_NODE* lookup(int* code, MATRIX* m, std::vector<int64_t> dc, int access) {
  LOCK_SCOPE(matrix_lock);
  *code = 0;
  return _get_matrix_node(code, m, dc.data(), access, dc[0], nullptr, 0);
}

void abandon(MATRIX_NODE* n) {
  LOCK_SCOPE(matrix_lock);
  MATRIX_TOKEN* t = n->process_token;
  gc_matrix_lock();
  t->env->del = 1;
  gc_matrix_unlock();
  n->process_token = nullptr;
  --n->matrix->token_cnt;
  _free_matrix_token(t);
}

std::string text(TQ_SEXP* v) {
  STREAM* out = s_open_string_write(utf8_cm);
  print_sexp(out, v, kPrintSexp);
  const char* s = s_get_string(out);
  std::string r = s ? std::string(s, size_t(s_get_string_size(out))) : "";
  d_s_close(out);
  return r;
}

std::string ids(const MATRIX_TOKEN* t) {
  std::string s;
  for (const MATRIX_ACCESS_LIST* a = t ? t->access_list : nullptr; a; a = a->next) s += std::to_string(a->id) + " ";
  return s;
}

}  // namespace mxtest
