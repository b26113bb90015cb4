// Environments: hashed symbol tables with a parent, and pairs that join two environments.
// Lookups through a pair prefer its first side, definitions land on its second side. All
// records live in collected memory; qv_env_lock guards every bucket array, one hashed table
// at a time and never across a call out.
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
  int32_t type;  // kEnvHash
  TQISP_ENV* parent;
  void* work;      // owned by whoever set it
  int32_t flags;   // bit 0: work has been set
  ELEMENT** hash_ptr;
  int32_t hash_ptr_size;     // 7, then 103 after the enlargement
  int32_t hash_element_nos;  // names ever added (removal does not lower it)
  ELEMENT* default_sym;      // undefined-name handler, or null
  UNIT_ENV* uenv;            // unit environment, or null
};
union TQISP_ENV {
  int32_t type;
  TQ_ENV_PAIR pair;
  TQ_ENV env;
};

extern SEM qv_env_lock;
void init_env_lock();  // language start-up

uint32_t hash_key(const L_CHAR* name, int32_t size);
TQISP_ENV* new_env(TQISP_ENV* parent);
TQISP_ENV* new_env_pair(TQISP_ENV* env0, TQISP_ENV* env1);
void set_env(TQISP_ENV* env, const L_CHAR* name, TQ_SEXP* value);
void set_default_env(TQISP_ENV* env, TQ_SEXP* value);
void del_env(TQISP_ENV* env, const L_CHAR* name);
void del_default_env(TQISP_ENV* env);
// The binding of name in one hashed table (anything else ends the process: "search_env").
ELEMENT* search_env(TQISP_ENV* env, const L_CHAR* name);
// The lookup through a chain: a hashed table, then its parents; a pair searches its first
// side (depth less one; a negative depth there again means no limit), then its second.
// depth counts the environments after the first; negative means no limit. 0 with the value
// through ret when name is bound, else -1. The evaluator's symbol lookup is built on it.
int lookup_env(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name, int depth);
TQISP_ENV* get_root_env(TQISP_ENV* env);
void* get_env_work(TQISP_ENV* env);
void set_env_work(TQISP_ENV* env, void* work);
UNIT_ENV* get_uenv(TQISP_ENV* env);
void set_uenv(TQISP_ENV* env, UNIT_ENV* uenv);
TQ_SEXP* get_listbase_env(TQISP_ENV* env);
TQISP_ENV* set_listbase_env(TQ_SEXP* list, TQISP_ENV* env);

}  // namespace tq
