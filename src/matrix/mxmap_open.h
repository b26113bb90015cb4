// The sample open hook: describes a map-like file matrix (parameters, axes, channels, event
// scripts), creates its file and opens it. It is the reference for how an open hook uses
// the setters and what event scripts look like; nothing in the store passes it by itself.
//
// Channels: 0 double_v (flags 3, default 0.0), 1 string_v (3), 8 block (3: the compressed
// compound of the edit script), 9 uint8_v (2), 10 double (2), 11 double_v (2), 12 to
// 11 + dest_dim double_v (2, default 0.0), then one double per level (2, default 0.0);
// 2 to 7 are not declared. Events: fetch (3; 4 and 5 the same), edit 1 (9 top, 10 middle,
// 11 level 0), edit 2 (13 middle, 14 level 0), save (21; 22 and 23 the same).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "matrix/matrix_token.h"

namespace tq {

// The hook's argument (the matrix's open_work).
struct MXMAP_WORK {
  int src_dim;          // axes
  int dest_dim;         // extra per-level vector channels
  int64_t* pixel_size;  // src_dim level-0 sizes
};

// The hook (run by the open token's worker): describes the matrix of t, writes its header
// and its scripts (as mode 0's set, with the matrix's priorities), sets mode 1 (also after
// a failed setter) and frees t.
void open_mxmap(MATRIX_TOKEN* t);

// The script of access id `id` as the pieces it is joined from (empty when the id has
// none of its own); numbers in decimal.
std::vector<std::string> mxmap_script_pieces(int id, int dest_dim);

}  // namespace tq
