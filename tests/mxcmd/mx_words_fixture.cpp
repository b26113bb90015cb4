// The store matrix whose scripts run the matrix words for the tests.
#include "mxcmd/mx_words_fixture.h"

#include <cstring>
#include <mutex>

#include "interp/script_start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/matrix_open.h"
#include "matrix/mx_codes.h"
#include "mxtype/block_type.h"
#include "mxtype/datum.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace mxtest {

using namespace tq;

namespace {

std::mutex mu;
std::string edit_forms, fetch_forms;
std::vector<WordRun> runs;
std::vector<WordInput> inputs;
const int16_t kDefault0 = 7;

std::string datum_bytes(TQ_SEXP* v) {
  if (get_type(v) != kTagPair || get_type(get_el(v, 2)) != kTagPtr) return "";
  void* d = get_el(v, 2)->ptr.ptr;
  const auto* h = static_cast<MATRIX_DATA_HEADER*>(d);
  if (h->type == MXT_BLOCK) {
    const auto* b = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d);
    return std::string(static_cast<const char*>(b->block), size_t(b->size));
  }
  MDT tp = get_matrix_data_type(h->type);
  return tp ? std::string(static_cast<const char*>(d), size_t(tp->get_size(tp, d))) : "";
}

TQ_SEXP* w_run(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  std::string forms;
  {
    std::lock_guard<std::mutex> g(mu);
    forms = get_type(get_el(form, 1)) == kTagInteger ? fetch_forms : edit_forms;
  }
  if (forms.empty()) return nullptr;
  TQ_SEXP* f = sexp_commands(std_cm, forms.c_str(), nullptr);
  TQ_SEXP* v = get_type(f) == kTagError ? f : nullptr;  // a text that does not read
  for (; get_type(f) == kTagPair; f = f->pair.cdr)
    if (get_type(v = eval(env, f->pair.car)) == kTagError) break;
  auto* t = static_cast<MATRIX_TOKEN*>(get_env_work(env));
  WordRun r{text(v), datum_bytes(v),
            std::to_string(t->normal_jump_status) + " " + std::to_string(t->err_jump_status) + " " +
                std::to_string(t->normal_jump) + " " + std::to_string(t->err_jump)};
  std::lock_guard<std::mutex> g(mu);
  runs.push_back(r);
  return v;
}

TQ_SEXP* w_input(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  WordInput in;
  {
    std::lock_guard<std::mutex> g(mu);
    in = inputs.at(size_t(get_el(form, 1)->integer.data));
  }
  void* d = xx_atype_alloc(int64_t(in.bytes.size()), MX_ALLOC_GC, nullptr, __FILE__, __LINE__);
  memcpy(d, in.bytes.data(), in.bytes.size());
  TQ_SEXP* dc = nullptr;
  for (auto it = in.dc.rbegin(); it != in.dc.rend(); ++it) dc = cons(get_integer(*it, nullptr), dc);
  return List(n_get_symbol("data"), dc, get_ptr(d, gc_text), kListEnd);
}

WordRun last_run() {
  std::lock_guard<std::mutex> g(mu);
  WordRun r = runs.empty() ? WordRun{} : runs.back();
  runs.clear();
  return r;
}

}  // namespace

WordMatrix::WordMatrix(const char* name) {
  spec.axes = {{64, 1, 3}, {64, 1, 3}};
  spec.channels = {{&mx_type_int16_v, MXC_STORED, const_cast<int16_t*>(&kDefault0), 0},
                   {&mx_type_double, MXC_STORED, nullptr, 0},
                   {&mx_type_block, MXC_STORED, nullptr, 0}};
  spec.scripts = {{{3, 4, 5}, "(finish 2 2) (run 1)"}, {{9, 10, 11}, "(run)"}, {{12}, "(note 12)"},
                  {{13}, "(note 13)"},  {{14}, "(note 14)"},          {{21, 22, 23}, "(save)"}};
  m_ = open_store_matrix(&spec, name);
  auto* env = static_cast<TQISP_ENV*>(m_->mx_env->data);
  set_env(env, _l_string_2(std_cm, "run"), get_func_prim(w_run, 1, nullptr, 1, 2));
  set_env(env, _l_string_2(std_cm, "input"), get_func_prim(w_input, 1, nullptr, 2, 2));
}

WordMatrix::~WordMatrix() {
  EXPECT_TRUE(drained());
  close_matrix(m_);
}

MATRIX_NODE* WordMatrix::node(std::vector<int64_t> dc) {
  int code;
  lookup(&code, m_, dc, 0);
  EXPECT_TRUE(drained());
  MATRIX_NODE* n = find_node(m_, dc);
  EXPECT_TRUE(n && n->status == MS_OK);
  return n;
}

WordRun WordMatrix::edit(MATRIX_NODE* n, const std::string& forms) {
  {
    std::lock_guard<std::mutex> g(mu);
    edit_forms = forms;
  }
  matrix_trigger_access(n, MI_EDIT_1, 1);
  EXPECT_TRUE(drained()) << forms;
  return last_run();
}

WordRun WordMatrix::fetch(std::vector<int64_t> dc, const std::string& forms) {
  {
    std::lock_guard<std::mutex> g(mu);
    fetch_forms = forms;
  }
  int code;
  lookup(&code, m_, dc, 0);
  EXPECT_TRUE(drained()) << forms;
  {
    std::lock_guard<std::mutex> g(mu);
    fetch_forms.clear();
  }
  return last_run();
}

void set_inputs(std::vector<WordInput> in) {
  std::lock_guard<std::mutex> g(mu);
  inputs = std::move(in);
}

std::string vector_bytes(MDT tp, const std::vector<int>& sizes, const std::string& elements) {
  MATRIX_ALLOC_VECTOR_PARAM prm{int(sizes.size()), const_cast<int*>(sizes.data()), nullptr, nullptr};
  void* v = mxt_alloc_vector(tp, MX_ALLOC_DEBUG, &prm, nullptr);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  memcpy(dh.offset, elements.data(), elements.size());
  std::string r(static_cast<const char*>(v), size_t(tp->get_size(tp, v)));
  mxt_free_data(tp, v);
  return r;
}

std::string elements_of(const std::string& datum) {
  if (datum.size() < 4) return "";
  return datum.substr(size_t(uint8_t(datum[0])));
}

}  // namespace mxtest
