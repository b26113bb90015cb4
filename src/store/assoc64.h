// The associative index: a small persistent dictionary of language values in a store file.
// A file holds named indexes, each an integer index (32-bit keys, a tree of kind 256) or a
// string index (L_CHAR keys, a trie whose top kind is 259); every key maps to one value,
// kept as its printed text in the file's encoding and read back with the reader. Up to
// nine index files are open at once, named by the slot keys 1 to 9. No lock: several
// threads go through the locked wrappers (store/store_lock.h).
//
// Records (big-endian, written field by field; bytes no field covers are zeros):
//   index header, type 513: the head, then one 16-byte entry per index:
//     0 fofs (offset of the index's root record), 8 type (1 integer, 2 string), 10 name
//     (unique in the file), 12 four zero bytes. The first 513 record of a file is its header.
//   value text, type 514: the head, then the printed text, its terminating zero, and zeros
//     up to at least 8 bytes.
//   integer index node data, 12 bytes: 0 key (int32), 4 offset of the value's 514 record.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "store/favt64.h"
#include "text/code_method.h"

namespace tq {

inline constexpr int kAssocSlots = 9;       // slot keys 1 to 9
inline constexpr int16_t kAssocInteger = 1;  // index types
inline constexpr int16_t kAssocString = 2;
inline constexpr int kAssocStringKind = 258;  // a string index's trie is made with it (top kind 259)
inline constexpr uint64_t kAssocEntryLen = 16;
inline constexpr uint64_t kAssocMinText = 8;  // a value text takes at least 8 bytes

// One index of a file, in host order.
struct ASSOC64_INDEX {
  int64_t fofs;  // offset of its tree root record
  int16_t type;  // kAssocInteger or kAssocString
  int16_t name;
};

// The data of an integer index's node, in host order (12 bytes in the node: no padding).
struct ASSOC64_INTEGER {
  int32_t data;  // the key
  int64_t fofs;  // offset of the value's 514 record
};

// An open index file.
struct ASSOC64_KEY {
  PDB64* p;                   // null for a free slot
  PN64_FILE_HEADER* fheader;  // the file header, host order (debug heap)
  ASSOC64_INDEX* assoc;       // the header's entries (debug heap); null while there is none
  uint64_t assoc_fofs;        // offset of the 513 record; 0 while it has no place in the file
  int assoc_len;              // number of indexes
  CODE_METHOD* cm;            // the method the file's encoding names
};
extern ASSOC64_KEY as_key64[kAssocSlots + 1];  // slot 0 unused

// Options of a string-index search: flags is the exact flag (0: the longest prefix of the
// key that has a value answers); size receives the matched length.
struct ASSOC64_STRING_OPT {
  int flags;
  int size;
};

// The state of a collection of all values.
struct GET_ALL_WORK {
  PDB64* p;
  TQ_SEXP* ret;  // the list so far
  CODE_METHOD* cm;
};

// Opens (or creates) a store file as an index file in the lowest free slot: the slot key, or
// -1 when all nine are taken, the file cannot be opened (open_filespace64 takes the six
// arguments), or its encoding names no code method (EINVAL; the file is closed again).
int open_associate64(const char* path, int oflags, int mode, uint32_t flags, int32_t type, const char* encoding);
// Closes the slot's file and frees the slot: 0, or -1 for a key of no open slot or when the
// file could not be written back and closed.
int close_associate64(int key);
// Makes an index of type kAssocInteger or kAssocString named name: its position, or -1 for
// a key of no open slot, a name already used in the file, or a failure to reserve or write
// its records. Another type stops the process ("new_index").
int new_index64(int key, int type, int16_t name);
// The position of the index named name, or -1.
int get_index64(int key, int16_t name);
// The type of the index at pos, or -1.
int get_index_type64(int key, int pos);
// Stores value under key_value (a pointer to an int32 for an integer index, a non-empty
// L_CHAR string for a string index), replacing the text it had (freed once the index is
// written back: favt64_free_later): 0, or -1 for a bad slot key or position, a value the
// printer cannot print, an empty string key, an index damaged in its file, or a record that
// cannot be written (errno set); the key then keeps its old value.
int insert_associate64(int key, int pos, const void* key_value, TQ_SEXP* value);
// The value stored under key_value, read back and rooted in the caller's top frame (its
// parts are read lazily); null when absent, for a bad key or position, or a damaged index
// (a value record that cannot be read or is no text among it).
TQ_SEXP* search_associate64(int key, int pos, const void* key_value, ASSOC64_STRING_OPT* opt);
// Removes a string key and frees its text (as above): 0, or -1 (nothing changed) for a bad
// slot key or position, an integer index, a key not present, or a damaged index.
int delete_associate64(int key, int pos, const L_CHAR* key_value);
// Every stored value, rooted in the caller's top frame: an integer index in ascending key
// order, a string index in the reverse of a descending walk. Null for a bad key or
// position, an empty index, or a damaged one.
TQ_SEXP* get_assoc64_all(int key, int pos);
// Writes a zero-terminated text as a new 514 record: its offset, or -1 (errno set) when no
// room could be had or written, the file's records and free chain then as they were.
int64_t alloc64_data(PDB64* p, const char* text);

// The integer index's order (signed keys) and endian function (key and offset swapped on a
// little-endian host: the whole node data is big-endian in the file).
int cmp_assoc64_integer(void* node_data, void* key, void* work);
void integer_endian64(void* data, int64_t len);

}  // namespace tq
