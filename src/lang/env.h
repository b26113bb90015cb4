// Environments: hashed symbol tables with a parent, and pairs that join two environments.
// Lookups through a pair prefer its first side, definitions land on its second side. All
// records live in collected memory. qv_env_lock serialises every change of a table, one
// hashed table at a time and never across a call out; lookups read without it (each change
// is published with its last store, so a lookup sees a table before or after it).
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "platform/lock.h"

namespace tq {

struct UNIT_ENV;  // lang/unit.h

inline constexpr int32_t kEnvPair = 1;
inline constexpr int32_t kEnvHash = 2;
inline constexpr int32_t kEnvBucketsFirst = 7;
inline constexpr int32_t kEnvBucketsGrown = 103;
inline constexpr int32_t kEnvGrowAt = 51;  // names ever added before the one enlargement

// One binding.
struct ELEMENT {
  L_CHAR* sym;  // the name (collected memory); null for the undefined-name handler
  ELEMENT* next;
  TQ_SEXP* data;
};

struct TQ_ENV_PAIR {
  int32_t type;  // kEnvPair
  TQISP_ENV* env[2];
};
struct TQ_ENV {
  int32_t type;    // kEnvHash
  int32_t flags;   // bit 0: work has been set
  TQISP_ENV* parent;
  void* work;      // owned by whoever set it
  ELEMENT** hash_ptr;        // null until the first binding
  int16_t hash_ptr_size;     // 7, then 103 after the enlargement
  uint16_t moves;            // odd while the enlargement moves the bindings between chains
  int32_t hash_element_nos;  // names ever added (removal does not lower it)
  ELEMENT* default_sym;      // undefined-name handler, or null
  UNIT_ENV* uenv;            // unit environment, or null
  uint32_t removals;         // twice the bindings removed so far; odd while one is removed
  int32_t in_run;            // some table's run passes over this one (see skip)
  uint64_t names;            // two bits of every name ever bound here (name_bits); never cleared
  uint64_t serial;           // unique to this table for the process's life
  // The run of small tables from this one up its parents (env.cpp): the first environment
  // past it, the filter bits of every table in it, the epoch of names it was taken in, and
  // its length.
  TQISP_ENV* skip;
  uint64_t skip_names;
  uint64_t skip_epoch;
  int32_t skip_count;
};
union TQISP_ENV {
  int32_t type;
  TQ_ENV_PAIR pair;
  TQ_ENV env;
};

extern SEM qv_env_lock;
void init_env_lock();  // language start-up (init_qvlisp); a second call does nothing

// The two bits of a name (by its code sum) in a table's filter of the names it ever bound:
// a table whose filter lacks one of them does not bind the name.
inline uint64_t name_bits(uint32_t code_sum) {
  const uint64_t h = uint64_t(code_sum) * 0x9E3779B97F4A7C15ull;
  return (uint64_t(1) << (h >> 58)) | (uint64_t(1) << ((h >> 52) & 63));
}

// The sum of the name's codes as a wrapping 32-bit number, modulo size.
uint32_t hash_key(const L_CHAR* name, int32_t size);
// A hashed table of 7 buckets (made under the memory lock, the buckets with its first
// binding), rooted like any block.
TQISP_ENV* new_env(TQISP_ENV* parent);
TQISP_ENV* new_env_pair(TQISP_ENV* env0, TQISP_ENV* env1);
// Binds a copy of name to value in the first hashed table reached by following env[1] of
// pairs (nothing when there is none); a rebound name gets a fresh copy too. The 51st name
// ever added enlarges the table to 103 buckets, under the environment lock.
void set_env(TQISP_ENV* env, const L_CHAR* name, TQ_SEXP* value);
// set_env on a table this thread has just made and no other thread can reach yet (no
// environment lock), keeping name itself rather than a copy: a text in collected memory that
// nobody changes (a symbol's name), or one that is never freed (eval's fixed __args_env).
void bind_fresh(TQISP_ENV* env, L_CHAR* name, TQ_SEXP* value);
// Installs value as the undefined-name handler of that same table, replacing any other.
void set_default_env(TQISP_ENV* env, TQ_SEXP* value);
// Removes the first binding of name along the chain (a table, then its parents); a pair
// removes on both its sides. A bad record ends the process ("del_env").
void del_env(TQISP_ENV* env, const L_CHAR* name);
// Clears the handler of every table reached through both sides of pairs (not parents).
void del_default_env(TQISP_ENV* env);
// The binding of name in one hashed table (anything else ends the process: "search_env").
ELEMENT* search_env(TQISP_ENV* env, const L_CHAR* name);
// Replaces the value of name's binding in one hashed table: 0, or -1 when it has none.
int replace_env_value(TQISP_ENV* env, const L_CHAR* name, TQ_SEXP* value);
// The lookup through a chain: a hashed table, then its parents; a pair searches its first
// side (depth less one; a negative depth there again means no limit), then its second.
// depth counts the environments after the first; negative means no limit. 0 with the value
// through ret when name is bound, else -1. The evaluator's symbol lookup is built on it.
int lookup_env(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name, int depth);
// lookup_env whose value is rooted in the calling thread's top frame (gc_pin_nl) in the
// section that found it: no collection can free it before the caller holds it, though
// another thread set the name anew meanwhile. The evaluator's lookups go through it.
int lookup_env_rooted(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name, int depth);
// lookup_env without limit by a caller that holds the memory lock and stays in its section:
// the value is read in that section.
int lookup_env_held(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name);
// The table whose work applies: following env[1] of pairs and parents, the first table
// with a work pointer or without parent; null for null ("get_root_env(1)" for a bad record).
TQISP_ENV* get_root_env(TQISP_ENV* env);
// Relinks a table's parent or a pair's first member to parent; every lookup that starts
// after it returns follows the new link.
void set_env_parent(TQISP_ENV* env, TQISP_ENV* parent);
void* get_env_work(TQISP_ENV* env);  // the work of get_root_env(env), or null
// Sets work on a hashed table and bit 0 of its flags ("set_env_work(1)" for anything else).
void set_env_work(TQISP_ENV* env, void* work);
// The unit environment that applies: a pair asks its first side, then its second; a table
// answers its own, else its parent's; null when none ("get_uenv" for a bad record).
UNIT_ENV* get_uenv(TQISP_ENV* env);
void set_uenv(TQISP_ENV* env, UNIT_ENV* uenv);  // on a hashed table; anything else: nothing
// The list form (tqisp-env (type "env") (parent e) (work n) (flags n) (hash (element "name"
// value) ...) [(uenv ())] [(default-sym (element "" handler))]), or (tqisp-env (type "pair")
// e0 e1) with environment cells or nil; bindings in reverse of the bucket walk. Null: nil.
TQ_SEXP* get_listbase_env(TQISP_ENV* env);
// Reads the list form back: a new pair, or the bindings and handler into env (a new table
// under the form's parent when env is null). Work, flags and the unit environment are not
// restored. A form without type, or a table form without parent or hash, gives null.
TQISP_ENV* set_listbase_env(TQ_SEXP* list, TQISP_ENV* env);

}  // namespace tq
