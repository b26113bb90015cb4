// Helpers the word tests share (see words_test_util.h).
#include "words_test_util.h"

#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace tqtest {

tq::TQ_SEXP* eval_last(const std::string& text) {
  using namespace tq;
  GcFrame frame("eval_last");
  STREAM* in = s_open_string_read(text.c_str(), std_cm, int(text.size()), 1);
  TQ_SEXP* v = nullptr;
  for (TQ_SEXP* p = init_parse(in, _l_string_1(std_cm, "t"), nullptr); get_type(p) == kTagPair; p = p->pair.cdr)
    v = eval(qvlisp_top_env1, p->pair.car);
  return frame.release(v);
}

std::string printed(tq::TQ_SEXP* v) {
  tq::STREAM* out = tq::s_open_string_write(tq::utf8_cm);
  tq::print_sexp(out, v, 0);
  std::string r = tq::s_get_string(out);
  d_s_close(out);
  return r;
}

std::string eval_text(const std::string& text) {
  tq::GcFrame frame("eval_text");
  tq::TQ_SEXP* v = eval_last(text);
  if (tq::get_type(v) == tq::kTagError) return "error " + std::to_string(v->error.code);
  return printed(v);
}

}  // namespace tqtest
