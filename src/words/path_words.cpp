// Path and URL text words: "Leaf", "Prefix", "Directory", "ComposePath", "ComposeURL" and
// "GetURL" take paths and URLs apart and put them together as text, never touching the file
// system ("Directory" in URL mode reads the registered path pairs). They work on 32-bit
// character strings, so "/" and "." are compared as characters of any encoding.
#include "interp/file_prefix.h"
#include "interp/interpreter.h"
#include "lang/eval.h"
#include "platform/d_alloc.h"
#include "util/url.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

// A string made of n characters of text.
TQ_SEXP* string_of(const L_CHAR* text, int n) {
  L_CHAR* copy = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(n + 1)));
  for (int i = 0; i < n; ++i) copy[i] = text[i];
  copy[n] = 0;
  TQ_SEXP* r = get_string(copy);
  d_f_ree(copy);
  return r;
}

// The string a debug-heap text gives (freed here), or the error when it is null.
TQ_SEXP* string_or_error(L_CHAR* text, TQ_SEXP* s, const char* func) {
  if (!text) return word_error_str(s, ER_INVALID_PARAM, func, "invalid path argments");
  TQ_SEXP* r = get_string(text);
  d_f_ree(text);
  return r;
}

// Forward: one leading "/" skipped, then count components with their "/"; nothing left when
// the "/" runs out first (a negative count runs until it does).
TQ_SEXP* leaf_forward(const L_CHAR* p, int64_t count) {
  if (*p == '/') ++p;
  for (; count != 0; --count) {
    while (*p && *p != '/') ++p;
    if (!*p) return string_of(p, 0);
    ++p;
  }
  return get_string(p);
}

// Backward: one trailing "/" ignored, then count last components dropped with their "/".
TQ_SEXP* leaf_backward(const L_CHAR* p, int64_t count) {
  int end = l_strlen(p);
  if (end > 0 && p[end - 1] == '/') --end;
  for (; count != 0; --count) {
    int cut = end - 1;
    while (cut >= 0 && p[cut] != '/') --cut;
    if (cut < 0) return string_of(p, 0);
    end = cut;
  }
  return string_of(p, end);
}

// A float count truncated to an integer; past the 32-bit range it saturates (NaN counts 0).
int64_t truncated_count(double d) {
  if (!(d == d)) return 0;
  if (d >= 2147483647.0) return INT32_MAX;
  if (d <= -2147483648.0) return INT32_MIN;
  return int32_t(d);
}

TQ_SEXP* tq_Leaf(TQ_WORD_ARGS) {
  TQ_SEXP* path = get_el(s, 2);
  if (get_type(path) != kTagString) return lang_error(s, ER_TYPE, "Leaf", nullptr);
  TQ_SEXP* n = get_el(s, 1);
  int64_t count;
  if (get_type(n) == kTagInteger)
    count = int32_t(n->integer.data);  // its low 32 bits
  else if (get_type(n) == kTagFloat)
    count = truncated_count(n->floating.data);
  else
    return lang_error(s, ER_TYPE, "Leaf", nullptr);
  const L_CHAR* dir = word_attr(sf, "dir");
  return !dir || l_text_is(dir, "forward") ? leaf_forward(path->string.data, count)
                                           : leaf_backward(path->string.data, count);
}

TQ_SEXP* tq_Prefix(TQ_WORD_ARGS) {
  TQ_SEXP* path = get_el(s, 1);
  if (get_type(path) != kTagString) return lang_error(s, ER_TYPE, "Prefix", nullptr);
  const L_CHAR* p = path->string.data;
  for (int i = l_strlen(p) - 1; i >= 0 && p[i] != '/'; --i)
    if (p[i] == '.') return get_string(p + i);
  return string_of(p, 0);
}

TQ_SEXP* tq_Directory(TQ_WORD_ARGS) {
  const L_CHAR* mode = word_attr(sf, "mode");
  const bool url = mode && l_text_is(mode, "URL");
  if (mode && !url && !l_text_is(mode, "name"))
    return word_error_str(s, ER_INVALID_PARAM, "Directory", "invalid attribute mode");
  TQ_SEXP* path = get_el(s, 1);
  if (get_type(path) != kTagString) return word_error_str(s, ER_TYPE, "Directory", "type missmatch");
  const L_CHAR* p = path->string.data;
  if (url) {
    L_CHAR* u = get_url_path(p, nullptr);
    if (!u) return nullptr;
    TQ_SEXP* r = get_string(u);
    d_f_ree(u);
    return r;
  }
  int cut = 0;
  for (int i = 0; p[i]; ++i)
    if (p[i] == '/') cut = i + 1;
  return cut ? string_of(p, cut) : n_get_string(".");
}

bool both_strings(TQ_SEXP* s) { return get_type(get_el(s, 1)) == kTagString && get_type(get_el(s, 2)) == kTagString; }

TQ_SEXP* tq_ComposePath(TQ_WORD_ARGS) {
  if (!both_strings(s)) return lang_error(s, ER_TYPE, "ComposePath", nullptr);
  return string_or_error(compose_path(get_el(s, 1)->string.data, get_el(s, 2)->string.data), s, "ComposePath");
}

bool has_host(const URL& u) { return u.proto || u.server || u.port; }

// The relative URL resolved against the base: only the base's protocol, server and port,
// the joined database path and the relative resource are carried. Null when they do not join.
L_CHAR* compose_url_word(const L_CHAR* base, const L_CHAR* rel) {
  URL b{}, r{};
  get_url2(&b, base);
  get_url2(&r, rel);
  L_CHAR* out = nullptr;
  if (has_host(b) && r.proto && r.server && r.port) {
    out = ll_copy_str(rel);
  } else if (has_host(b) && !has_host(r) && b.db) {
    URL c{};
    c.proto = b.proto;
    c.server = b.server;
    c.port = b.port;
    c.db = r.db ? compose_path(b.db, r.db) : ll_copy_str(b.db);
    c.resource = r.resource;
    if (c.db)
      if (const L_CHAR* text = get_url_str2(&c)) out = ll_copy_str(text);
    d_f_ree(c.db);
  }
  free_url(&b);
  free_url(&r);
  return out;
}

TQ_SEXP* tq_ComposeURL(TQ_WORD_ARGS) {
  if (!both_strings(s)) return lang_error(s, ER_TYPE, "ComposeURL", nullptr);
  return string_or_error(compose_url_word(get_el(s, 1)->string.data, get_el(s, 2)->string.data), s, "ComposeURL");
}

TQ_SEXP* text_or_nil(const L_CHAR* t) { return t ? get_string(t) : nullptr; }

TQ_SEXP* tq_GetURL(TQ_WORD_ARGS) {
  TQ_SEXP* text = get_el(s, 1);
  if (get_type(text) != kTagString) return lang_error(s, ER_TYPE, "GetURL", nullptr);
  URL u{};
  get_url2(&u, text->string.data);
  TQ_SEXP* r = List(text_or_nil(u.proto), text_or_nil(u.server), get_integer(u.port, nullptr), text_or_nil(u.db),
                    text_or_nil(u.resource), kListEnd);
  free_url(&u);
  return r;
}

}  // namespace

void init_Leaf(TQISP_ENV* env) { bind_word(env, "Leaf", tq_Leaf, 1, nullptr, 3, 3); }
void init_Prefix(TQISP_ENV* env) { bind_word(env, "Prefix", tq_Prefix, 1, nullptr, 2, 2); }
void init_Directory(TQISP_ENV* env) { bind_word(env, "Directory", tq_Directory, 1, nullptr, 2, 2); }
void init_ComposePath(TQISP_ENV* env) { bind_word(env, "ComposePath", tq_ComposePath, 1, nullptr, 3, 3); }
void init_ComposeURL(TQISP_ENV* env) { bind_word(env, "ComposeURL", tq_ComposeURL, 1, nullptr, 3, 3); }
void init_GetURL(TQISP_ENV* env) { bind_word(env, "GetURL", tq_GetURL, 1, nullptr, 2, 2); }

}  // namespace tq
