// Small text utilities: the safety escape for lock-server names, splitting at separator
// strings, the two-key integer map, flag names, the locale abbreviation and the dump of
// global addresses.
#include "text/text_util.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/startup.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

// ---- Safety escape

namespace {

struct safety_entity {
  unsigned char ch;
  const char* ent;
};
constexpr safety_entity kSafetyTable[] = {
    {'&', "&amp;"}, {'<', "&lt;"}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\n"}, {0, nullptr}};

const char* safety_replacement(L_CHAR ch) {
  for (const safety_entity* e = kSafetyTable; e->ch; ++e)
    if (ch == e->ch) return e->ent;
  return nullptr;
}

}  // namespace

L_CHAR* xx_safety_string(const L_CHAR* str, const char* file, int line) {
  size_t n = 1;
  for (const L_CHAR* p = str; *p; ++p) {
    const char* r = safety_replacement(*p);
    n += r ? strlen(r) : 1;
  }
  auto* ret = static_cast<L_CHAR*>(xx_d_alloc(n * sizeof(L_CHAR), file, line));
  L_CHAR* q = ret;
  for (const L_CHAR* p = str; *p; ++p) {
    if (const char* r = safety_replacement(*p))
      while (*r) *q++ = static_cast<unsigned char>(*r++);
    else
      *q++ = *p;
  }
  *q = 0;
  return ret;
}

// ---- Splitting

namespace {

L_CHAR* copy_piece(const L_CHAR* s, size_t n) {
  auto* p = static_cast<L_CHAR*>(d_alloc((n + 1) * sizeof(L_CHAR)));
  memcpy(p, s, n * sizeof(L_CHAR));
  p[n] = 0;
  return p;
}

bool match_at(const L_CHAR* s, const L_CHAR* div, size_t m) {
  for (size_t i = 0; i < m; ++i)
    if (s[i] != div[i]) return false;
  return true;
}

}  // namespace

void divide_string_str(DIV_STR* str, const L_CHAR* div) {
  if (str->type == 1) {
    divide_string(str->d.ds, div);
    return;
  }
  const L_CHAR* s = str->d.str;
  size_t n = size_t(l_strlen(s)), m = size_t(l_strlen(div));
  // First pass counts, second cuts. An empty separator cuts nothing.
  size_t pieces = 0;
  for (int pass = 0; pass < 2; ++pass) {
    DIV_STR* arr = nullptr;
    if (pass == 1) arr = static_cast<DIV_STR*>(d_calloc(pieces, sizeof(DIV_STR)));
    size_t k = 0, start = 0, i = 0;
    auto add = [&](size_t from, size_t to) {
      if (arr) {
        arr[k].term = 1;
        arr[k].type = 0;
        arr[k].flags = 1;
        arr[k].d.str = copy_piece(s + from, to - from);
      }
      ++k;
    };
    while (m > 0 && i + m <= n) {
      if (match_at(s + i, div, m)) {
        add(start, i);
        i += m;
        start = i;
      } else {
        ++i;
      }
    }
    if (start < n || k == 0) add(start, n);
    if (pass == 0) {
      pieces = k;
      continue;
    }
    arr[k - 1].term = 0;
    if (str->flags & 1) d_f_ree(str->d.str);
    str->type = 1;
    str->flags = 1;
    str->d.ds = arr;
  }
}

void divide_string(DIV_STR* str, const L_CHAR* div) {
  for (DIV_STR* p = str;; ++p) {
    divide_string_str(p, div);  // a nested item is split recursively there
    if (p->term == 0) break;
  }
}

void free_div_str(DIV_STR* ds) {
  if (ds->type == 1 && ds->d.ds) free_div_str_list(ds->d.ds);
  if (ds->flags & 1) {
    if (ds->type == 1)
      d_f_ree(ds->d.ds);
    else if (ds->d.str)
      d_f_ree(ds->d.str);
  }
  ds->d.str = nullptr;
  ds->flags = 0;
}

void free_div_str_list(DIV_STR* ds) {
  for (DIV_STR* p = ds;; ++p) {
    free_div_str(p);
    if (p->term == 0) break;
  }
}

void print_div_str(const DIV_STR* str) {
  fputs("[", stdout);
  for (const DIV_STR* p = str;; ++p) {
    if (p->type == 1) {
      print_div_str(p->d.ds);
    } else {
      fputs(n_string(std_cm, p->d.str), stdout);
      fputs(" ", stdout);
    }
    if (p->term == 0) break;
  }
  fputs("]", stdout);
}

// ---- Two-key map

namespace {

size_t bucket_of(const CODEHASH* ch, int key) { return size_t(unsigned(key) % unsigned(ch->keylen)); }

codehash_entry* find_forward(const CODEHASH* ch, int key) {
  for (codehash_entry* e = ch->forward[bucket_of(ch, key)]; e; e = e->forward_next)
    if (e->forward == key) return e;
  return nullptr;
}

codehash_entry* find_reverse(const CODEHASH* ch, int key) {
  for (codehash_entry* e = ch->reverse[bucket_of(ch, key)]; e; e = e->reverse_next)
    if (e->reverse == key) return e;
  return nullptr;
}

// The next unused key after *gen, starting again at 1 past the largest int.
int generate_key(const CODEHASH* ch, int* gen, codehash_entry* (*find)(const CODEHASH*, int)) {
  do {
    *gen = *gen == INT_MAX || *gen < 0 ? 1 : *gen + 1;
  } while (find(ch, *gen));
  return *gen;
}

codehash_entry** new_buckets(CODEHASH* ch) {
  size_t size = size_t(ch->keylen) * sizeof(codehash_entry*);
  auto** b = static_cast<codehash_entry**>(ch->alloc_func(size));
  memset(b, 0, size);
  return b;
}

}  // namespace

void init_codehash(CODEHASH* ch) {
  if (ch->keylen <= 0) er_panic("init_codehash");
  if (!ch->reverse) ch->reverse = new_buckets(ch);
  if (!ch->forward) ch->forward = new_buckets(ch);
}

codehash_entry* insert_codehash(CODEHASH* ch, int rev, int forward, int flags) {
  init_codehash(ch);
  if (!(flags & 1)) forward = generate_key(ch, &ch->gen_forward, find_forward);
  if (!(flags & 2)) rev = generate_key(ch, &ch->gen_reverse, find_reverse);
  auto* e = static_cast<codehash_entry*>(ch->alloc_func(sizeof(codehash_entry)));
  e->forward = forward;
  e->reverse = rev;
  codehash_entry*& fb = ch->forward[bucket_of(ch, forward)];
  e->forward_next = fb;
  fb = e;
  codehash_entry*& rb = ch->reverse[bucket_of(ch, rev)];
  e->reverse_next = rb;
  rb = e;
  return e;
}

codehash_entry* search_codehash(CODEHASH* ch, int rev, int forward, int flags) {
  init_codehash(ch);
  return (flags & 1) ? find_forward(ch, forward) : find_reverse(ch, rev);
}

void delete_codehash(CODEHASH* ch, int rev, int forward, int flags) {
  init_codehash(ch);
  codehash_entry* e = (flags & 1) ? find_forward(ch, forward) : find_reverse(ch, rev);
  if (!e) return;
  auto unlink = [](codehash_entry** pp, codehash_entry* target, codehash_entry* codehash_entry::*next) {
    for (; *pp; pp = &((*pp)->*next))
      if (*pp == target) {
        *pp = target->*next;
        return true;
      }
    return false;
  };
  bool in_forward = unlink(&ch->forward[bucket_of(ch, e->forward)], e, &codehash_entry::forward_next);
  bool in_reverse = unlink(&ch->reverse[bucket_of(ch, e->reverse)], e, &codehash_entry::reverse_next);
  if (!in_forward || !in_reverse) er_panic("delete_codehash");
  ch->free_func(e);
}

// ---- Flag names

int get_attr_flags(int* er, const L_CHAR* attr, const ATTR_TABLE* at) {
  *er = 0;
  int result = 0;
  const L_CHAR* p = attr;
  for (const ATTR_TABLE* row = at; row->flag_name;) {
    L_CHAR* name = _xx_nl_copy_str_1(std_cm, row->flag_name, __FILE__, __LINE__);
    size_t n = size_t(l_strlen(name));
    bool prefix = true;
    for (size_t i = 0; i < n && prefix; ++i) prefix = p[i] == name[i];
    d_f_ree(name);
    if (!prefix) {
      ++row;
      continue;
    }
    result |= row->flag;  // a name given twice sets its flag once
    p += n;
    if (*p == 0) return result;
    if (*p == ':')
      ++p;  // the next name may be this row's again
    else
      ++row;
  }
  *er = -1;
  return result;
}

// ---- Locale

const char* get_abstract_locale(const char* name) {
  static constexpr struct {
    const char* details;
    const char* abstract;
  } kLangTable[] = {{"ja_JP", "ja"}, {"ja", "ja"}};
  if (name)
    for (const auto& row : kLangTable)
      if (strcmp(name, row.details) == 0) return row.abstract;
  return "en";
}

// ---- Dump of global addresses (the parser's start-up lists its globals here when asked)

namespace {

FILE* sg_file = nullptr;
std::atomic<bool> sg_opened{false};

}  // namespace

void init_sg() {
  bool expected = false;
  if (!sg_opened.compare_exchange_strong(expected, true)) return;
  const char* dir = get_preference_path();
  size_t n = strlen(dir) + sizeof "global.txt";
  auto* raw = static_cast<char*>(d_alloc(n));
  snprintf(raw, n, "%sglobal.txt", dir);
  char* path = change_delim_str(raw);
  char* folder = change_delim_str(dir);
  m_mkdir(folder, 0700);  // an existing folder keeps its mode
  sg_file = fopen(path, "w+");
  d_f_ree(folder);
  d_f_ree(path);
  d_f_ree(raw);
}

void sg_title(const char* title) {
  if (sg_file) fprintf(sg_file, "\n%s\n\n", title);
}

void sg(const char* type, const char* name, const void* ptr) {
  if (sg_file)
    fprintf(sg_file, "%s\t\t*((%s*)0x%lx)\n", name, type, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(ptr)));
}

void end_sg() {
  if (sg_file) fclose(sg_file);
  sg_file = nullptr;
}

}  // namespace tq
