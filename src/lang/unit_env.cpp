// Unit environments: the records, their system units and aliases, the default environment
// of the language, the list of named environments, copies, and the collector's marking.
//
// A unit list is kept in ratio order (the smallest unit first) and renumbered after every
// insertion; no2su indexes it by number. Aliases sit in two hash tables of 100 chains, by
// name and by vector, and are only ever added.
#include <cmath>

#include "lang/env.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/mstr.h"
#include "lang/unit.h"
#include "platform/startup.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

SEM unit_lock;
UNIT_ENV* ue_name_list = nullptr;

namespace {

uint32_t name_bucket(const L_CHAR* name) {
  uint32_t sum = 0;
  for (const L_CHAR* p = name; *p; ++p) sum += uint32_t(*p);
  return sum % kUnitBuckets;
}

uint32_t dim_bucket(const DIMENSION* dim) {
  uint32_t sum = 0;
  for (int i = 0; i < kUnitDims; ++i) sum += uint32_t(int32_t(dim[i].u) + dim[i].p + dim[i].r);
  return sum % kUnitBuckets;
}

bool marked(void* p) { return gc_block_of(p)->mark & kMarkLive; }

// Renumbers dimension sys in list order and rebuilds its number index.
void renumber(UNIT_ENV* ue, int sys) {
  int n = 0;
  for (SYSTEM_UNIT* su = ue->sys_unit[sys]; su; su = su->next) su->no = int16_t(++n);
  if (ue->no2su_len[sys] < n + 1) {
    auto* grown = static_cast<SYSTEM_UNIT**>(mmalloc(sizeof(SYSTEM_UNIT*) * size_t(n + 1), gc_text));
    ue->no2su[sys] = grown;
    ue->no2su_len[sys] = n + 1;
  }
  ue->no2su[sys][0] = nullptr;
  for (SYSTEM_UNIT* su = ue->sys_unit[sys]; su; su = su->next) ue->no2su[sys][su->no] = su;
}

// The default environment's units, in their order of definition.
struct UnitDef {
  int sys;
  const char* name;
  double shi;
  double bo;
};
constexpr double kPi = 3.141592653589793;
constexpr UnitDef kDefaultUnits[] = {
    {0, "inch", 10000, 254}, {0, "feet", 10000, 3048}, {0, "yard", 10000, 9144},
    {0, "mm", 1000, 1},      {0, "cm", 100, 1},        {0, "m", 1, 1},
    {0, "km", 1, 1000},      {1, "sec", 60, 1},        {1, "min", 1, 1},
    {1, "h", 1, 60},         {2, "mg", 1000, 1},       {2, "g", 1, 1},
    {2, "kg", 1, 1000},      {3, "rad", 1, 1},         {3, "degree", 180, kPi},
    {3, "'", 10800, kPi},    {3, "''", 648000, kPi},
};

// The default aliases: a name for the vector a unit text parses to, with a scale on
// component 0.
struct AliasDef {
  const char* name;
  const char* text;
  int32_t scale;
};
constexpr AliasDef kDefaultAliases[] = {
    {"a", "m^2", 100},          {"l", "cm^3", 1000},         {"dl", "cm^3", 100},
    {"dpi", "inch^-1", 1},      {"dot/mm", "mm^-1", 1},      {"dot/cm", "cm^-1", 1},
    {"dot/m", "m^-1", 1},       {"dot/km", "km^-1", 1},      {"dot/degree", "degree^-1", 1},
    {"dot/rad", "rad^-1", 1},
};

void unlink_env(UNIT_ENV* ue) {
  for (UNIT_ENV** p = &ue_name_list; *p; p = &(*p)->next) {
    if (*p == ue) {
      *p = ue->next;
      ue->next = nullptr;
      return;
    }
  }
}

}  // namespace

int64_t trunc64(double d) {
  if (std::isnan(d)) return INT64_MIN;
  if (d >= 9223372036854775808.0) return INT64_MAX;
  if (d < -9223372036854775808.0) return INT64_MIN;
  return int64_t(d);
}

// ---- Records.

UNIT_ENV* new_uenv() { return static_cast<UNIT_ENV*>(mmalloc(sizeof(UNIT_ENV), gc_unit_env)); }

int new_su(UNIT_ENV* ue, int sys, const L_CHAR* name, double shi, double bo) {
  if (!ue || !name || sys < 0 || sys >= kUnitDims) return -1;
  if (search_system_unit(ue, sys, name)) return -1;
  GcFrame frame("new_su");
  MemLock lock;  // the record is made, filled and linked, and the index changed, in one section
  auto* su = static_cast<SYSTEM_UNIT*>(mmalloc(sizeof(SYSTEM_UNIT), gc_system_unit));
  su->name = ll_copy_mstr(name);
  su->shi = shi;
  su->bo = bo;
  su->shi_int = trunc64(shi);
  su->bo_int = trunc64(bo);
  const double ratio = shi / bo;
  SYSTEM_UNIT** at = &ue->sys_unit[sys];
  while (*at && (*at)->shi / (*at)->bo >= ratio) at = &(*at)->next;  // equal ratios: after
  su->next = *at;
  *at = su;
  renumber(ue, sys);
  return 0;
}

int n_new_su(UNIT_ENV* ue, int sys, const char* name, double shi, double bo) {
  return new_su(ue, sys, _l_string_1(std_cm, name), shi, bo);
}

int new_ua(UNIT_ENV* ue, const DIMENSION* dim, const L_CHAR* name) {
  if (!ue || !name) return -1;
  if (search_alias_by_name(ue, name) || search_alias_by_dim(ue, dim)) return -1;
  GcFrame frame("new_ua");
  MemLock lock;  // the record is made, filled and linked in one section
  auto* ua = static_cast<UNIT_ALIAS*>(mmalloc(sizeof(UNIT_ALIAS), gc_unit_alias));
  ua->name = ll_copy_mstr(name);
  for (int i = 0; i < kUnitDims; ++i) ua->dim[i] = dim[i];
  const uint32_t nb = name_bucket(name);
  const uint32_t db = dim_bucket(dim);
  ua->n_next = ue->name_hash[nb];
  ua->d_next = ue->dim_hash[db];
  ue->name_hash[nb] = ua;
  ue->dim_hash[db] = ua;
  return 0;
}

int n_new_ua(UNIT_ENV* ue, const DIMENSION* dim, const char* name) {
  return new_ua(ue, dim, _l_string_1(std_cm, name));
}

void system_unit_alias(UNIT_ENV* ue) {
  for (int sys = 0; sys < kUnitDims; ++sys) {
    for (SYSTEM_UNIT* su = ue->sys_unit[sys]; su; su = su->next) {
      DIMENSION dim[kUnitDims];
      zero_unit(dim);
      dim[sys].u = uint16_t(su->no);
      dim[sys].p = 1;
      new_ua(ue, dim, su->name);
    }
  }
}

UNIT_ALIAS* search_alias_by_name(UNIT_ENV* ue, const L_CHAR* name) {
  if (!ue || !name) return nullptr;
  for (UNIT_ALIAS* a = ue->name_hash[name_bucket(name)]; a; a = a->n_next)
    if (l_strcmp(a->name, name) == 0) return a;
  return nullptr;
}

UNIT_ALIAS* search_alias_by_dim(UNIT_ENV* ue, const DIMENSION* dim) {
  if (!ue) return nullptr;
  for (UNIT_ALIAS* a = ue->dim_hash[dim_bucket(dim)]; a; a = a->d_next)
    if (dim_cmp(a->dim, dim) == 0) return a;
  return nullptr;
}

SYSTEM_UNIT* search_system_unit(UNIT_ENV* ue, int sys, const L_CHAR* name) {
  if (!ue || !name || sys < 0 || sys >= kUnitDims) return nullptr;
  for (SYSTEM_UNIT* su = ue->sys_unit[sys]; su; su = su->next)
    if (l_strcmp(su->name, name) == 0) return su;
  return nullptr;
}

SYSTEM_UNIT* unit_by_no(UNIT_ENV* ue, int sys, int no) {
  if (!ue || sys < 0 || sys >= kUnitDims || no <= 0 || no >= ue->no2su_len[sys]) return nullptr;
  return ue->no2su[sys][no];
}

// ---- The default environment.

void init_unit() {
  if (lock_up_test(unit_lock)) return;
  unit_lock = new_lock();
  GcFrame frame("init_unit");
  UNIT_ENV* ue = new_uenv();
  if (qvlisp_top_env0) set_uenv(qvlisp_top_env0, ue);
  for (const UnitDef& u : kDefaultUnits) n_new_su(ue, u.sys, u.name, u.shi, u.bo);
  system_unit_alias(ue);
  for (const AliasDef& a : kDefaultAliases) {
    DIMENSION dim[kUnitDims];
    name2dim(ue, dim, _l_string_1(std_cm, a.text));
    dim[0].r = a.scale;
    n_new_ua(ue, dim, a.name);
  }
}

// ---- Named environments.

void _set_uenv_name(UNIT_ENV* ue, const L_CHAR* name) {
  L_CHAR* copy = ll_copy_mstr(name);
  MemLock lock;  // the collector walks the list without unit_lock
  // The environment itself leaves the list before it goes to the head again, so renaming
  // one of two environments of the same name never links a record twice.
  unlink_env(ue);
  ue->name = copy;
  ue->next = ue_name_list;
  ue_name_list = ue;
}

void _del_uenv_name(const L_CHAR* name) {
  MemLock lock;
  if (UNIT_ENV* ue = _search_uenv_name(name)) unlink_env(ue);
}

UNIT_ENV* _search_uenv_name(const L_CHAR* name) {
  if (!name) return nullptr;
  for (UNIT_ENV* ue = ue_name_list; ue; ue = ue->next)
    if (ue->name && l_strcmp(ue->name, name) == 0) return ue;
  return nullptr;
}

void set_uenv_name(UNIT_ENV* ue, const L_CHAR* name) {
  LOCK_SCOPE(unit_lock);
  _set_uenv_name(ue, name);
}

void del_uenv_name(const L_CHAR* name) {
  LOCK_SCOPE(unit_lock);
  _del_uenv_name(name);
}

UNIT_ENV* search_uenv_name(const L_CHAR* name) {
  LOCK_SCOPE(unit_lock);
  return _search_uenv_name(name);
}

// ---- Copies.

UNIT_ENV* copy_uenv1(UNIT_ENV* ue) {
  UNIT_ENV* to = new_uenv();  // stays rooted in the caller's frame: it is the result
  for (int sys = 0; sys < kUnitDims; ++sys)
    for (SYSTEM_UNIT* su = ue->sys_unit[sys]; su; su = su->next) new_su(to, sys, su->name, su->shi, su->bo);
  return to;
}

void copy_uenv2(UNIT_ENV* to, UNIT_ENV* from) {
  for (int b = 0; b < kUnitBuckets; ++b) {
    for (UNIT_ALIAS* a = from->name_hash[b]; a; a = a->n_next) {
      DIMENSION dim[kUnitDims];
      for (int i = 0; i < kUnitDims; ++i) {
        dim[i] = a->dim[i];
        if (!dim[i].u) continue;
        SYSTEM_UNIT* su = unit_by_no(from, i, dim[i].u);
        SYSTEM_UNIT* tsu = su ? search_system_unit(to, i, su->name) : nullptr;
        if (!tsu) er_panic("copy_uenv2(1)");
        dim[i].u = uint16_t(tsu->no);
      }
      new_ua(to, dim, a->name);
    }
  }
}

// ---- Marking.

namespace {

// Marks p; true when it was not marked before. Its block records the site now marking
// either way, as every mark routine does before it looks at the mark bit.
bool mark_first(void* p) {
  const bool first = !marked(p);
  gc_text(p);
  return first;
}

}  // namespace

void gc_system_unit(void* p) {
  for (auto* su = static_cast<SYSTEM_UNIT*>(p); su && mark_first(su); su = su->next) gc_text(su->name);
}

void gc_unit_alias(void* p) {
  for (auto* ua = static_cast<UNIT_ALIAS*>(p); ua && mark_first(ua); ua = ua->n_next) gc_text(ua->name);
}

// Every alias is on a name chain, so the name buckets reach them all; the next environment
// of the named list is marked by gc_unit, not here.
void gc_unit_env(void* p) {
  auto* ue = static_cast<UNIT_ENV*>(p);
  if (!ue || !mark_first(ue)) return;
  gc_text(ue->name);
  for (UNIT_ALIAS* a : ue->name_hash) gc_unit_alias(a);
  for (int sys = 0; sys < kUnitDims; ++sys) {
    gc_system_unit(ue->sys_unit[sys]);
    gc_text(ue->no2su[sys]);
  }
}

void gc_unit() {
  for (UNIT_ENV* ue = ue_name_list; ue; ue = ue->next) gc_unit_env(ue);
}

}  // namespace tq
