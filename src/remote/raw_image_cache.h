// The raw image cache: images named by URL, fetched through remote sessions by one worker
// per server, decoded by their extension (GIF or JPEG) and kept, decoded pixels and fetched
// bytes both, for every later caller. A caller that asks while an image loads may leave a
// callback; a 30-second tick polls the waiters, and after each completed fetch the cache
// keeps at most 99 entries, dropping the least recently used that are not loading.
// Nothing starts the cache but a host that calls init_tq_ri (once) and then tq_get_ri.
//
// ri_lock guards the ring, the tree, ri_count and every entry's fields. An entry is created
// loading (1), becomes ready (0) or failed (-1) when its worker ends the fetch, and leaves
// through eviction or delete_ri; a loading entry is never removed.
#pragma once
#include <cstdint>

#include "text/l_char.h"
#include "util/avl_tree.h"
#include "util/sys_queue.h"

namespace tq {

struct RAW_IMAGE;
struct RI_QUEUE;

// A waiter's callback: (kind, its waiter entry, the caller's word for kinds 2 and 3, else
// null). Kinds: 2 attach (lock held; the callback may store its word in the entry's data),
// 3 same-waiter test (lock held; 0: this waiter already stands for the call), 1 result
// ready (no lock; the entry holds err, data, width, height), 4 release (no lock after 1,
// held after 5), 5 poll every 30 s while loading (lock held; non-zero gives up).
using ri_que_cf = int (*)(int kind, RI_QUEUE* q, void* data);

enum : int { RI_READY_CB = 1, RI_ATTACH = 2, RI_SAME = 3, RI_RELEASE = 4, RI_POLL = 5 };
enum : int { RI_OK = 0, RI_LOADING = 1, RI_FAILED = -1 };

struct RI_QUEUE {
  RI_QUEUE* next;
  RAW_IMAGE* ri;
  void* data;  // the waiter's own word
  ri_que_cf call_function;  // null once the waiter gave up
};

struct RAW_IMAGE_HEADER {
  Q_HEADER h;  // key: the server key of the image's URL
  RAW_IMAGE_HEADER* ri_next;  // towards the least recently used
  RAW_IMAGE_HEADER* ri_prev;  // towards the most recently used
};

struct RAW_IMAGE {
  RAW_IMAGE_HEADER h;
  L_CHAR* path;     // the URL (debug heap)
  int width;
  int height;
  uint32_t* data;   // width x height pixels: red x 4 + green x 4096 + blue x 4194304
  unsigned char* ndata;  // the file bytes as fetched
  int ndata_len;
  int err;          // RI_LOADING, RI_OK, RI_FAILED
  RI_QUEUE* ri_que; // the waiters while loading
  AVT_NODE node;    // in the tree by path
};

// Creates the lock, the empty cache and its fetch queue, and starts the 30-second tick; 0.
int init_tq_ri();
// The pixels of the image at path, or null: *err 0 ready (size in *w, *h), 1 loading (the
// fetch starts when the path is new; func, when given, is attached as a waiter with
// cf_data), -1 the fetch failed.
uint32_t* tq_get_ri(int* err, int* w, int* h, ri_que_cf func, void* cf_data, const L_CHAR* path);
// The fetched file bytes of the image at path (owned by the cache), waiting while it loads;
// *len their length (-1 on failure), *err the entry's state.
unsigned char* tq_search_ri_org(int* err, int* len, const L_CHAR* path);
// Removes the entry of path, if it is not loading, with its path, pixels and bytes.
void delete_ri(const L_CHAR* path);
int ri_count_now();  // entries in the cache

}  // namespace tq
