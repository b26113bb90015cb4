// Character-set correspondence tables: per tagged set, one entry per code, each entry in a
// ring with the characters of other sets that stand for the same character, and the
// routing of conversions within the family of 16-bit sets 0xC0060000..0xC0170000.
// Tables are made on demand and never freed; one lock of their own guards them, since a
// walker meeting a half-joined ring would never come back to its start.
#include <initializer_list>

#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/startup.h"
#include "text/code_method.h"

namespace tq {

namespace {

CODE_TABLE_HEADER* table_list = nullptr;
L_CHAR collision_a = LC_NO_CHAR;  // the last pair set_correspond refused
L_CHAR collision_b = LC_NO_CHAR;
SEM code_table_lock{};

class TableGuard {
 public:
  TableGuard() : on_(lock_up_test(code_table_lock) != 0) {
    if (on_) lock_task(code_table_lock);
  }
  ~TableGuard() {
    if (on_) unlock_task(code_table_lock, "code_table");
  }
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;

 private:
  bool on_;
};

constexpr L_CHAR tag(unsigned n) { return 0xC0000000u | n << 16; }  // family member 0xC0nn0000

CODE_TABLE_HEADER* find_table(L_CHAR lcz) {
  for (CODE_TABLE_HEADER* t = table_list; t; t = t->next)
    if (t->lcz == lcz) return t;
  return nullptr;
}

CODE_TABLE_HEADER* table_of_char(L_CHAR ch) {
  for (CODE_TABLE_HEADER* t = table_list; t; t = t->next)
    if (((t->lcz ^ ch) & t->mask) == 0) return t;
  return nullptr;
}

CODE_TABLE_HEADER* make_table(L_CHAR lcz) {
  if ((lcz & 0x80000000u) == 0) return nullptr;  // UCS is not a tagged set
  L_CHAR mask = get_lc_mask(lcz);
  lcz &= mask;
  if (CODE_TABLE_HEADER* t = find_table(lcz)) return t;
  auto* t = static_cast<CODE_TABLE_HEADER*>(d_calloc(1, sizeof(CODE_TABLE_HEADER)));
  t->lcz = lcz;
  t->mask = mask;
  t->len = int64_t(~mask) + 1;
  t->tbl = static_cast<CODE_ENTRY*>(d_alloc(size_t(t->len) * sizeof(CODE_ENTRY)));
  for (int64_t i = 0; i < t->len; ++i) {
    t->tbl[i].code = lcz | L_CHAR(i);
    t->tbl[i].co = &t->tbl[i];
  }
  t->next = table_list;
  table_list = t;
  return t;
}

CODE_ENTRY* entry_of(CODE_TABLE_HEADER* t, L_CHAR ch) { return &t->tbl[ch & ~t->mask]; }

L_CHAR first_existing(std::initializer_list<L_CHAR> tags) {
  for (L_CHAR t : tags)
    if (find_table(t)) return t;
  return LC_NO_CHAR;
}

bool in_family(L_CHAR set, unsigned first, unsigned last) { return set >= tag(first) && set <= tag(last); }

// The three groups of the family by the table they share.
bool group_a(L_CHAR set) { return set == 0 || in_family(set, 0x0E, 0x11) || set == tag(0x14); }
bool group_b(L_CHAR set) { return in_family(set, 0x0A, 0x0D) || set == tag(0x13); }
bool group_c(L_CHAR set) { return in_family(set, 0x06, 0x09) || set == tag(0x12); }

// The set whose members answer a conversion to target.
L_CHAR route_target(L_CHAR target) {
  if (group_a(target)) return first_existing({tag(0x14), tag(0x13), tag(0x12)});
  if (group_b(target)) return first_existing({tag(0x13), tag(0x12)});
  if (group_c(target)) return tag(0x12);
  if (target == tag(0x15)) return find_table(tag(0x15)) ? tag(0x12) : target;
  if (target == tag(0x16) || target == tag(0x17)) {
    if (target == tag(0x17) && find_table(tag(0x17))) return tag(0x14);
    if (find_table(tag(0x16))) return tag(0x13);
    if (find_table(tag(0x15))) return tag(0x12);
  }
  return target;
}

// The table that holds the source character's entry.
CODE_TABLE_HEADER* route_source(L_CHAR set, L_CHAR from) {
  L_CHAR t = LC_NO_CHAR;
  if (group_a(set))
    t = first_existing({tag(0x14), tag(0x13), tag(0x12)});
  else if (group_b(set))
    t = first_existing({tag(0x13), tag(0x12)});
  else if (group_c(set))
    t = tag(0x12);
  else if (set == tag(0x15))
    t = tag(0x15);
  else if (set == tag(0x16) || set == tag(0x17))
    t = first_existing({set, tag(0x16), tag(0x15)});
  else
    return table_of_char(from);
  return t == LC_NO_CHAR ? nullptr : find_table(t);
}

L_CHAR convert_unlocked(L_CHAR from, L_CHAR lcz_to) {
  L_CHAR target = lc_set_of(lcz_to);
  L_CHAR source = lc_set_of(from);
  if (source == target) return from;
  L_CHAR routed = route_target(target);
  if (routed == LC_NO_CHAR) return LC_NO_CHAR;
  CODE_TABLE_HEADER* t = route_source(source, from);
  if (!t) return LC_NO_CHAR;
  L_CHAR code = from & ~get_lc_mask(from);
  if (int64_t(code) >= t->len) return LC_NO_CHAR;  // does not fit the set it is routed to
  CODE_ENTRY* start = &t->tbl[code];
  CODE_ENTRY* e = start;
  do {
    if (lc_set_of(e->code) == routed)
      return routed == target ? e->code : (e->code & ~get_lc_mask(e->code)) | target;
    e = e->co;
  } while (e != start);
  return LC_NO_CHAR;
}

}  // namespace

void init_code_table_lock() {
  if (!lock_up_test(code_table_lock)) code_table_lock = new_lock();
}

CODE_TABLE_HEADER* get_code_table_by_lcz(L_CHAR lcz) {
  TableGuard g;
  return make_table(lcz);
}

CODE_TABLE_HEADER* get_code_table_by_char(L_CHAR ch) {
  TableGuard g;
  return table_of_char(ch);
}

int col_code_entry(CODE_ENTRY* a, CODE_ENTRY* b) {
  CODE_ENTRY* x = a;
  do {
    CODE_ENTRY* y = b;
    do {
      if (lc_set_of(x->code) == lc_set_of(y->code)) return 1;
      y = y->co;
    } while (y != b);
    x = x->co;
  } while (x != a);
  return 0;
}

void marge_code_entry(CODE_ENTRY* a, CODE_ENTRY* b) {
  CODE_ENTRY* t = a->co;
  a->co = b->co;
  b->co = t;
}

int set_correspond(L_CHAR a, L_CHAR b) {
  TableGuard g;
  CODE_TABLE_HEADER* ta = table_of_char(a);
  CODE_TABLE_HEADER* tb = table_of_char(b);
  if (!ta || !tb) er_panic("set_correspond");
  CODE_ENTRY* ea = entry_of(ta, a);
  CODE_ENTRY* eb = entry_of(tb, b);
  if (col_code_entry(ea, eb)) {
    collision_a = a;
    collision_b = b;
    return -1;
  }
  marge_code_entry(ea, eb);
  return 0;
}

void get_last_collision(L_CHAR* a, L_CHAR* b) {
  TableGuard g;
  *a = collision_a;
  *b = collision_b;
}

L_CHAR code_convert(L_CHAR from, L_CHAR lcz_to) {
  TableGuard g;
  return convert_unlocked(from, lcz_to);
}

L_CHAR code_convert_set(L_CHAR from, const LCZ_SET* set1, const LCZ_SET* set2) {
  if (!set1 && !set2) return from;
  TableGuard g;
  for (const LCZ_SET* list : {set1, set2}) {
    for (const LCZ_SET* e = list; e && e->lcz != LC_NO_CHAR; ++e) {
      L_CHAR r = convert_unlocked(from, e->lcz);
      if (r != LC_NO_CHAR && ((r ^ e->lcz) & (e->mask | get_lc_mask(e->lcz))) == 0) return r;
    }
  }
  return LC_NO_CHAR;
}

int cmp_l_code(L_CHAR a, L_CHAR b) {
  TableGuard g;
  CODE_TABLE_HEADER* ta = table_of_char(a);
  CODE_TABLE_HEADER* tb = table_of_char(b);
  if (!ta || !tb) return -1;
  CODE_ENTRY* ea = entry_of(ta, a);
  CODE_ENTRY* eb = entry_of(tb, b);
  CODE_ENTRY* e = ea;
  do {
    if (e == eb) return 0;
    e = e->co;
  } while (e != ea);
  return -1;
}

L_CHAR* get_all_l_char(int* sizep, L_CHAR a) {
  TableGuard g;
  CODE_TABLE_HEADER* t = table_of_char(a);
  if (!t) {
    *sizep = 0;
    return nullptr;
  }
  CODE_ENTRY* start = entry_of(t, a);
  int n = 0;
  CODE_ENTRY* e = start;
  do {
    ++n;
    e = e->co;
  } while (e != start);
  auto* ret = static_cast<L_CHAR*>(d_alloc(size_t(n + 1) * sizeof(L_CHAR)));
  e = start;
  for (int i = 0; i < n; ++i, e = e->co) ret[i] = e->code;
  ret[n] = 0;
  *sizep = n;
  return ret;
}

}  // namespace tq
