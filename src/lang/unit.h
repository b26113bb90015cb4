// Units and dimensions: what the unit text of a number means. A unit environment holds, for
// each of four base dimensions (length, time, mass, angle in the default one), an ordered
// list of system units with their factors, and named aliases for whole unit vectors. Unit
// texts parse into vectors (name2dim), vectors name back into texts (dim2name), and values
// convert between vectors of equal powers; the arithmetic and the comparisons use these to
// bring numbers with units to a common unit.
//
// Invariants:
//  - A unit vector is four DIMENSION components, one per dimension; the empty vector has
//    u 0, p 0, r 1 everywhere. A value v with vector D stands for v times the product of
//    r * (unit u)^p over the components; a component with power 0 contributes only r.
//  - sys_unit[d] is sorted by shi/bo descending (the smallest unit first); units are
//    numbered 1, 2, ... in that order and no2su[d][n] is unit n (entry 0 null).
//  - An environment is filled before other threads can reach it and is not changed after;
//    its tables are read without a lock. unit_lock guards only the list of named ones.
//  - Every record lives in collected memory; an environment is kept by the language
//    environments whose uenv names it and, when registered, by ue_name_list (gc_unit).
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "platform/lock.h"

namespace tq {

inline constexpr int kUnitDims = 4;
inline constexpr int kUnitBuckets = 100;

// One component of a unit vector.
struct DIMENSION {
  uint16_t u;  // unit number within the dimension, 1 for the first; 0 none
  int16_t p;   // power
  int32_t r;   // scale, 1 when there is none
};

// One unit of one dimension. shi/bo is the number of this unit in one base unit.
struct SYSTEM_UNIT {
  SYSTEM_UNIT* next;  // the next unit of the dimension, in ratio order
  int16_t no;         // 1-based position in the dimension's list
  L_CHAR* name;
  double shi;
  double bo;
  int64_t shi_int;  // shi and bo truncated toward zero (saturating): integer conversions
  int64_t bo_int;
};

// A named unit vector.
struct UNIT_ALIAS {
  UNIT_ALIAS* n_next;  // the next alias of the same name bucket
  UNIT_ALIAS* d_next;  // the next alias of the same vector bucket
  L_CHAR* name;
  DIMENSION dim[kUnitDims];
};

struct UNIT_ENV {
  UNIT_ENV* next;  // ue_name_list
  L_CHAR* name;    // registered name, or null
  UNIT_ALIAS* name_hash[kUnitBuckets];  // by the sum of the name's codes, modulo 100
  UNIT_ALIAS* dim_hash[kUnitBuckets];   // by the sum of u + p + r of the components, modulo 100
  SYSTEM_UNIT* sys_unit[kUnitDims];
  SYSTEM_UNIT** no2su[kUnitDims];  // unit number -> unit; entry 0 null
  int32_t no2su_len[kUnitDims];    // entries of no2su, at least the units plus 1
};

// 64-bit two's complement arithmetic that wraps, computed in unsigned so that no overflow
// is undefined. wrap_div truncates toward zero; b must not be 0; INT64_MIN / -1 wraps.
inline int64_t wrap_add(int64_t a, int64_t b) { return int64_t(uint64_t(a) + uint64_t(b)); }
inline int64_t wrap_sub(int64_t a, int64_t b) { return int64_t(uint64_t(a) - uint64_t(b)); }
inline int64_t wrap_mul(int64_t a, int64_t b) { return int64_t(uint64_t(a) * uint64_t(b)); }
inline int64_t wrap_div(int64_t a, int64_t b) { return b == -1 ? wrap_sub(0, a) : a / b; }

// A double truncated toward zero to 64 bits: beyond the range it saturates and NaN gives
// INT64_MIN, as the original machine's conversion does (a plain cast would be undefined).
int64_t trunc64(double d);

// ---- Environments.
extern SEM unit_lock;
extern UNIT_ENV* ue_name_list;  // named environments, the last registered first
UNIT_ENV* new_uenv();  // empty, rooted in the caller's top frame
// The unit lock and the default environment, attached to qvlisp_top_env0 (after
// init_qvlisp). Once; later calls do nothing.
void init_unit();
// Registers ue under a copy of name at the head of the list; when ue had a name, the first
// environment of that old name is unlinked first. Another environment of the same name
// stays in the list (searches find the later one first). Under unit_lock; _ forms without.
void set_uenv_name(UNIT_ENV* ue, const L_CHAR* name);
void del_uenv_name(const L_CHAR* name);          // unlinks the first of that name, if any
UNIT_ENV* search_uenv_name(const L_CHAR* name);  // the first of that name, or null
void _set_uenv_name(UNIT_ENV* ue, const L_CHAR* name);
void _del_uenv_name(const L_CHAR* name);
UNIT_ENV* _search_uenv_name(const L_CHAR* name);
// A new environment with copies of ue's system units (names, factors, numbering), without
// aliases and name.
UNIT_ENV* copy_uenv1(UNIT_ENV* ue);
// Adds every alias of from to to (name buckets 0..99, each chain in order), renumbering the
// units through their names; aliases whose name or vector to has are skipped. A unit that to
// lacks ends the process ("copy_uenv2(1)").
void copy_uenv2(UNIT_ENV* to, UNIT_ENV* from);

// Mark routines (inside a collection only). gc_unit marks every named environment.
void gc_unit();
void gc_unit_env(void* ue);
void gc_unit_alias(void* ua);
void gc_system_unit(void* su);

// ---- Units and aliases.
// Adds a unit to dimension sys (0..3) in ratio order and renumbers the dimension; -1 when
// the dimension has a unit of that name or sys is out of range, else 0. n_: byte text in
// the process's default code method.
int new_su(UNIT_ENV* ue, int sys, const L_CHAR* name, double shi, double bo);
int n_new_su(UNIT_ENV* ue, int sys, const char* name, double shi, double bo);
// Adds an alias; -1 when one of that name or of an equal vector exists, else 0.
int new_ua(UNIT_ENV* ue, const DIMENSION* dim, const L_CHAR* name);
int n_new_ua(UNIT_ENV* ue, const DIMENSION* dim, const char* name);
// An alias of its own name for every system unit (that unit at power 1).
void system_unit_alias(UNIT_ENV* ue);
UNIT_ALIAS* search_alias_by_name(UNIT_ENV* ue, const L_CHAR* name);  // null for a null ue
UNIT_ALIAS* search_alias_by_dim(UNIT_ENV* ue, const DIMENSION* dim);
SYSTEM_UNIT* search_system_unit(UNIT_ENV* ue, int sys, const L_CHAR* name);
// The unit numbered no in dimension sys, or null.
SYSTEM_UNIT* unit_by_no(UNIT_ENV* ue, int sys, int no);

// ---- Vectors.
void zero_unit(DIMENSION* dim);  // the empty vector
int dim_cmp(const DIMENSION* d1, const DIMENSION* d2);        // 0 when u, p, r all equal, else -1
int dim_power_cmp(const DIMENSION* d1, const DIMENSION* d2);  // 0 when all powers equal, else -1
// Fills dim from a unit text: an alias's vector, else the product of system units
// "u1^p1*u2^p2..." (power "%i"-style, 1 when absent; unknown names and factors whose power
// is no 16-bit integer are ignored; a later factor of a dimension replaces an earlier one).
// Null text or a null ue: the empty vector. Always 0.
int name2dim(UNIT_ENV* ue, DIMENSION* dim, const L_CHAR* name);
// The text of a vector: null for all powers 0; an alias's own name (owned by ue); null when
// a component with power has a scale; else "u1^p1*u2..." (a temporary of the caller's ring).
L_CHAR* dim2name(UNIT_ENV* ue, const DIMENSION* dim);
// Per component the whole component of s1 when its power is not 0 and s2's is 0 or s1's
// unit is finer (integer) / coarser (floating); else s2's.
void fit_dimension_integer(DIMENSION* dest, const DIMENSION* s1, const DIMENSION* s2);
void fit_dimension_floating(DIMENSION* dest, const DIMENSION* s1, const DIMENSION* s2);
// Converts value from vector from to vector to. *er = 0; -1 with the value unchanged when a
// power differs or a unit a power needs is missing. The integer form keeps the integer steps
// (wrapping, truncating at each division, so 1 inch gives 25 mm and 1 rad 60 degree); when
// a step would divide by 0 or multiply by a factor truncated to 0 (a unit or scale below 1)
// it converts in doubles instead and truncates (saturating).
int64_t conv_unit_integer(int* er, UNIT_ENV* ue, int64_t value, const DIMENSION* from, const DIMENSION* to);
double conv_unit_floating(int* er, UNIT_ENV* ue, double value, const DIMENSION* from, const DIMENSION* to);
// The scale of a component of power 0 is first folded into *value (it becomes 1). Then the
// name of dim when dim2name gives one (nothing more changes); otherwise every scale that
// stands on a component is folded into *value (the scale becomes 1) and null is returned:
// name the vector afterwards.
L_CHAR* normalize_dim_integer(UNIT_ENV* ue, DIMENSION* dim, int64_t* value);
L_CHAR* normalize_dim_floating(UNIT_ENV* ue, DIMENSION* dim, double* value);
// value converted between two unit texts; *er as conv_unit_floating. A null ue returns value
// and leaves *er alone.
double conv_unit(int* er, UNIT_ENV* ue, double value, const L_CHAR* from_name, const L_CHAR* to_name);
// The unit text of an integer or float; of a list the first one found depth first; else
// null (also past the nesting limit).
L_CHAR* get_base_unit(TQ_SEXP* s);
void print_dim(const DIMENSION* dim);  // "u%i^%i(%i)" per component on standard output

// ---- Coordinate units (kept for the word library; nothing in the core uses them).
struct COORDINATE_UNIT {
  COORDINATE_UNIT* next;
  L_CHAR* url;     // debug heap
  L_CHAR* system;  // debug heap
  L_CHAR* unit;    // debug heap
  UNIT_ENV* uenv;
};
struct CU_UNIT {
  const char* name;  // empty: the end of the group
  double rate;       // units per base unit; -x stands for 1/x
};
struct CU_TABLE {
  const char* system;  // empty: the end of the table
  CU_UNIT unit[10];
};
extern const CU_TABLE tbl[3];
void zero_c_unit(COORDINATE_UNIT* u);  // clears all five fields
void free_c_unit(COORDINATE_UNIT* u);  // frees system, unit and url (not the record)
// u's unit text (or text) followed by "^-1", a temporary of the caller's ring.
L_CHAR* reso_c_unit(const COORDINATE_UNIT* u);
L_CHAR* reso_c_unit_str(const L_CHAR* text);
// The index of the unit name in tbl, its group in *group; -1 when no group has it.
int table_search(int* group, const char* name);
int standard_unit(int group);  // the group's first unit of rate 1.0, or -1

}  // namespace tq
