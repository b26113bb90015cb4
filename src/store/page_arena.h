// Page buffers of the store's page cache: 4096-byte pieces, aligned to 4096, of one mapping
// reserved at the first request and sized to the default page limit; beyond it (a raised
// limit, dirty pages above the limit) and in sanitizer builds they come from malloc. No
// lock: callers serialise, as for the page cache.
#pragma once

namespace tq {

// A 4096-byte buffer, its bytes undefined (zeros when fresh from the mapping). Null when
// memory is short.
unsigned char* fac_page_alloc();
// Gives back a buffer of fac_page_alloc (null: nothing): its memory returns to the system,
// and a piece of the mapping is handed out again before untouched ones.
void fac_page_free(unsigned char* page);

}  // namespace tq
