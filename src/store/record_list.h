// Record lists: a store record built in memory before it is written, as a fixed first part
// (normally a copy of its 16-byte head) and a chain of pieces that encoders append, or
// insert after a piece already queued, and that joining copies behind the first part.
// Several records may be built together as a list. The joined buffer is the in-memory
// record form (head in host order until the writer converts it).
#pragma once
#include <cstdint>

#include "store/store_record.h"

namespace tq {

// One queued piece.
struct CHAIN_LIST64 {
  CHAIN_LIST64* next;
  void* ptr;          // the piece's bytes
  int64_t len;        // their number
  int32_t free_flag;  // non-zero: the bytes are the piece's own (debug heap), freed with it
};

// One record under construction.
struct RECORD_LIST64 {
  RECORD_LIST64* next;        // the next record of a list built together
  PN64_HEADER header;         // host order: the type, and the size given at creation, then
                              // the joined total
  uint64_t fofs;              // the record's offset, for the caller
  void* data;                 // the record buffer; starts with a head copy when enable_header
  void* ptr;                  // a cursor into data for the caller
  int64_t body;               // where joined pieces go in data
  CHAIN_LIST64* chain_head;   // queued pieces, null when none
  CHAIN_LIST64* chain_tail;
  uint32_t enable_header;     // 1: data begins with a copy of header
};

// A new record of `size` bytes (zeroed) whose first 16 bytes are a host-order copy of the
// head {type, size} when size is at least 16 (a smaller buffer has no room for one, and
// size 0 makes a bare byte builder without a buffer yet).
RECORD_LIST64* new_recordlist64(uint16_t type, uint64_t size);
// Appends a piece at the end of the chain.
void set_recordlist_chain64(RECORD_LIST64* r, void* ptr, int64_t len, int free_flag);
// Inserts a piece directly after `after` (null: at the front); a piece that ends the chain
// becomes its tail.
void set_recordlist_chain64_middle(RECORD_LIST64* r, CHAIN_LIST64* after, void* ptr, int64_t len, int free_flag);
// Writes the would-be total (first part plus queued pieces) into the head copy only.
void setup_recordlist64_size(RECORD_LIST64* r);
// Joins this record's pieces behind its first part and empties the chain: the total size,
// or 0 when no piece was queued. With a head copy, header.size and the copy's size
// become the total.
int64_t _setup_recordlist64(RECORD_LIST64* r);
// Joins every record of the list: the sum of their totals.
int64_t setup_recordlist64(RECORD_LIST64* list);
// Releases the pieces (and the bytes of flagged ones).
void free_chain_list64(CHAIN_LIST64* c);
// Releases every record of the list with its pieces and data.
void free_recordlist64(RECORD_LIST64* list);

}  // namespace tq
