// The store matrix whose scripts run the matrix words for the tests.
#include "mxcmd/mx_words_fixture.h"

#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>

#include "interp/script_start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/matrix_open.h"
#include "matrix/node_tree.h"
#include "matrix/matrix_registry.h"
#include "mxcmd/mx_payload.h"
#include "mxcmd/mx_word_frame.h"
#include "mxtype/datum.h"
#include "store/record_list.h"
#include "support/test_util.h"
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

// The bytes of the vector datum of a data list.
std::string datum_bytes(TQ_SEXP* v) {
  if (get_type(v) != kTagPair || get_type(get_el(v, 2)) != kTagPtr) return "";
  void* d = get_el(v, 2)->ptr.ptr;
  if (!d) return "";
  MDT tp = get_matrix_data_type(static_cast<MATRIX_DATA_HEADER*>(d)->type);
  if (tp->type == MXT_BLOCK) {  // the payload
    auto* b = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d);
    return std::string(static_cast<const char*>(b->block), size_t(b->size));
  }
  return std::string(static_cast<const char*>(d), size_t(tp->get_size(tp, d)));
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
  std::string state = text(v) + " | " + std::to_string(t->normal_jump_status) + " " +
                      std::to_string(t->err_jump_status) + " " + std::to_string(t->normal_jump) + " " +
                      std::to_string(t->err_jump) + " |";
  std::lock_guard<std::mutex> g(mu);
  runs.push_back({text(v), state, datum_bytes(v), {}});
  return v;
}

TQ_SEXP* w_input(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  WordInput in;
  {
    std::lock_guard<std::mutex> g(mu);
    in = inputs.at(size_t(get_el(form, 1)->integer.data));
  }
  void* d;
  if (in.datum) {
    MDT tp = get_matrix_data_type(static_cast<MATRIX_DATA_HEADER*>(in.datum)->type);
    d = tp->alloc_copy(tp, in.datum, MX_ALLOC_GC, nullptr, __FILE__, __LINE__);
  } else {
    d = xx_atype_alloc(int64_t(in.bytes.size()), MX_ALLOC_GC, nullptr, __FILE__, __LINE__);
    memcpy(d, in.bytes.data(), in.bytes.size());
  }
  TQ_SEXP* dc = nullptr;
  for (auto it = in.dc.rbegin(); it != in.dc.rend(); ++it) dc = cons(get_integer(*it, nullptr), dc);
  return List(n_get_symbol("data"), dc, mx_datum_cell(d), kListEnd);
}

std::string from_hex(TQ_SEXP* text) {
  return unhex(get_type(text) == kTagString ? n_string(std_cm, text->string.data) : "");
}

TQ_SEXP* w_bytes(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  const std::string b = from_hex(get_el(form, 1));
  return mx_datum_cell(mx_new_block(b.data(), int(b.size())));
}

TQ_SEXP* w_raw(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  const std::string b = from_hex(get_el(form, 1));
  return get_raw(b.data(), int64_t(b.size()));
}

std::string describe(TQ_SEXP* v) {
  switch (get_type(v)) {
    case kTagPair: {
      if (get_type(v->pair.car) == kTagSymbol && mx_text_is(v->pair.car->symbol.data, "data")) return describe(get_el(v, 2));
      std::string out = "(";
      for (TQ_SEXP* e = v; get_type(e) == kTagPair; e = e->pair.cdr) out += (e == v ? "" : " ") + describe(e->pair.car);
      return out + ")";
    }
    case kTagString: return "s:" + hex(n_string(utf8_cm, v->string.data));
    case kTagInteger: return "i:" + std::to_string(v->integer.data);
    case kTagFloat: {
      uint64_t bits;
      memcpy(&bits, &v->floating.data, 8);
      char buf[20];
      snprintf(buf, sizeof buf, "f:%016llx", static_cast<unsigned long long>(bits));
      return buf;
    }
    case kTagPtr:
    case kTagRaw: return describe_datum(mx_datum_of(v));
    default: return text(v);
  }
}

TQ_SEXP* w_describe(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return get_string(_l_string_1(std_cm, describe(get_el(form, 1)).c_str()));
}

TQ_SEXP* w_damage(TQISP_ENV* env, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  LOCK_SCOPE(matrix_lock);
  static_cast<MATRIX_TOKEN*>(get_env_work(env))->process_node->matrix->flags |= MXF_DAMAGED;
  return nullptr;
}

// The last run, with the ids the events 12 to 14 noted since.
WordRun last_run() {
  std::string notes;
  for (const std::string& t : take_trace())
    if (t[0] != 't') notes += " " + t;  // the trigger hook's events aside
  std::lock_guard<std::mutex> g(mu);
  WordRun r = runs.empty() ? WordRun{} : runs.back();
  r.state += notes;
  if (!runs.empty()) r.first = runs.front().value;
  runs.clear();
  return r;
}

void set_forms(std::string& which, const std::string& forms) {
  std::lock_guard<std::mutex> g(mu);
  which = forms;
}

std::vector<int64_t> code_of(std::istringstream& in) {
  std::vector<int64_t> dc(3);
  in >> dc[0] >> dc[1] >> dc[2];
  return dc;
}

}  // namespace

WordMatrix::WordMatrix(const char* name, std::vector<Axis> axes) {
  shape.axes = std::move(axes);
  shape.channels = {{&mx_type_int16_v, MXC_STORED, const_cast<int16_t*>(&kDefault0), 0},
                   {&mx_type_double, MXC_STORED, nullptr, 0},
                   {&mx_type_block, MXC_STORED, nullptr, 0}};
  shape.scripts = {{{3, 4, 5}, "(finish 2 2) (run 1)"}, {{9, 10, 11}, "(run)"}, {{12}, "(note 12)"},
                  {{13}, "(note 13)"},  {{14}, "(note 14)"},          {{21, 22, 23}, "(save)"}};
  m_ = open_store_matrix(&shape, name);
  auto* env = static_cast<TQISP_ENV*>(m_->mx_env->data);
  set_env(env, _l_string_2(std_cm, "run"), get_func_prim(w_run, 1, nullptr, 1, 2));
  set_env(env, _l_string_2(std_cm, "input"), get_func_prim(w_input, 1, nullptr, 2, 2));
  set_env(env, _l_string_2(std_cm, "bytes"), get_func_prim(w_bytes, 1, nullptr, 2, 2));
  set_env(env, _l_string_2(std_cm, "raw"), get_func_prim(w_raw, 1, nullptr, 2, 2));
  set_env(env, _l_string_2(std_cm, "describe"), get_func_prim(w_describe, 1, nullptr, 2, 2));
  set_env(env, _l_string_2(std_cm, "damage"), get_func_prim(w_damage, 1, nullptr, 1, 1));
  set_inputs({{{0, 0, 0}, vector_bytes(&mx_type_int16_v, {1}, std::string(2, '\0'))}});
  take_trace();
}

WordMatrix::~WordMatrix() {
  EXPECT_TRUE(drained());
  close_matrix(m_);
}

MATRIX_NODE* WordMatrix::node(std::vector<int64_t> dc) {
  for (int pass = 0; pass < 2; ++pass) {  // the first makes the path, the second finds it ready
    int code;
    if (MATRIX_NODE* n = get_matrix_tree(&code, m_, dc.data(), 2, 0)) unlock_node(n, nullptr);
    EXPECT_TRUE(drained());
  }
  MATRIX_NODE* n = find_node(m_, dc);
  EXPECT_TRUE(n && n->status == MS_OK);
  return n;
}

WordRun WordMatrix::edit(MATRIX_NODE* n, const std::string& forms, const std::function<void()>& meanwhile) {
  set_forms(edit_forms, forms);
  matrix_trigger_access(n, MI_EDIT_1, 1);
  if (meanwhile) meanwhile();
  EXPECT_TRUE(drained()) << forms;
  return last_run();
}

WordRun WordMatrix::fetch(std::vector<int64_t> dc, const std::string& forms) {
  set_forms(fetch_forms, forms);
  int code;
  lookup(&code, m_, dc, 0);
  EXPECT_TRUE(drained()) << forms;
  set_forms(fetch_forms, "");
  return last_run();
}

void WordMatrix::run_cases(const std::string& name) {
  std::ifstream in(std::string(TQ_SOURCE_DIR) + "/tests/mxcmd/cases/" + name);
  ASSERT_TRUE(in) << name;
  MATRIX_NODE* n = nullptr;
  std::vector<int64_t> fetch_dc;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string first;
    words >> first;
    if (first == "node") n = node(code_of(words));
    if (first == "fetch") fetch_dc = code_of(words);
    const size_t arrow = line.find(" => ");
    if (arrow == std::string::npos || line[0] == '#') continue;
    std::string want = line.substr(arrow + 4);
    for (size_t p; (p = want.find("\\n")) != std::string::npos;) want.replace(p, 2, "\n");
    const std::string forms = line.substr(0, arrow);
    const WordRun r = fetch_dc.empty() ? edit(n, forms) : fetch(fetch_dc, forms);
    static const std::regex address("\\+PTR:[0-9a-f]+\\+");  // cells print their addresses
    const std::string got = std::regex_replace(want.find(" | ") == std::string::npos ? r.value : r.state, address, "+PTR+");
    EXPECT_EQ(got, want) << name << ": " << forms;
    fetch_dc.clear();
  }
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

std::string elements_of(const std::string& datum) { return datum.size() < 4 ? "" : datum.substr(uint8_t(datum[0])); }

std::string describe_datum(void* d) {
  if (!d) return "null";
  const int type = static_cast<MATRIX_DATA_HEADER*>(d)->type;
  if (type == MXT_BLOCK) {
    auto* b = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d);
    return "b:" + hex(std::string(static_cast<const char*>(b->block), size_t(b->size)));
  }
  MDT tp = get_matrix_data_type(type);
  if (!tp || !tp->parent || !tp->convert_to_net) return "?";
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  tp->convert_to_net(tp, rl, d);
  const int64_t n = setup_recordlist64(rl);
  std::string net(static_cast<const char*>(rl->data), size_t(n));
  free_recordlist64(rl);
  return "v:" + hex(net);
}

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string h;
  for (unsigned char c : bytes) h += {digits[c >> 4], digits[c & 15]};
  return h;
}

std::string unhex(std::string h) {
  std::erase(h, ' ');
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2) s += char(std::stoi(h.substr(i, 2), nullptr, 16));
  return s;
}

std::string run_python(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
  std::string cmd = "/usr/bin/python3 " + std::string(TQ_SOURCE_DIR) + "/tests/mxcmd/" + program;
  for (const std::string& a : args) cmd += " " + a;
  if (!input.empty()) cmd += " < " + input;
  const tqtest::RunResult r = tqtest::run_program({"/bin/sh", "-c", cmd});
  return r.out + r.err;
}

}  // namespace mxtest
