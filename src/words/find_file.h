// The wildcard file search behind "FindFile": a pattern cut into plain segments (runs of
// path components without "*") and star segments (one component holding "*", which stands
// for any run of characters, also an empty one; a component exactly "**" for one or more
// levels of directories below), expanded against the file system, then filtered by kind
// and, with a source and a destination prefix, by the state of each path's counterpart in
// the destination tree. Lists and texts live on the debug heap.
#pragma once
#include <cstdint>

namespace tq {

struct DIR_LIST {
  char* name;  // owned
  int flags;   // kFoundFile or kFoundDir
  DIR_LIST* next;
};

// Condition bits.
enum : int {
  kFoundFile = 1,       // regular files may be results
  kFoundDir = 2,        // directories may be results
  kMapExist = 4,        // a mapped path that exists is accepted ...
  kMapMissing = 8,      // a missing one is accepted
  kMapNotNewer = 16,    // ... when the found path is not newer than it
  kMapNewer = 32,       // ... when the found path is newer than it
  kConditionAll = 63,
};

// The paths matching pattern (bytes), in the order the segments collected them. With a
// source prefix, a path must begin with it and its counterpart is the destination prefix
// followed by the rest of the path, its extension (from the last ".") replaced by
// extension when one is given; the counterpart's state decides by the condition's bits 4
// to 32. Kinds are decided by bits 1 and 2. Directories that cannot be opened and paths
// whose status cannot be read are reported on standard error and left out.
//
// A "**" segment lists every directory below each path it starts from once: a path that
// several starting paths reach is kept once, where it is first found, so patterns with many
// "**" take time in proportion to the tree, not to the ways of reaching each path.
DIR_LIST* get_dir(const char* pattern, const char* source_prefix, const char* destination_prefix,
                  const char* extension, int condition);
void free_dir_list(DIR_LIST* list);

// The name test of one star segment: 0 when name matches, -1 when it does not.
int match_check(const char* name, const char* segment);

}  // namespace tq
