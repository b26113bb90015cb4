// The version records of the library's layers, registered at start-up, and the text with
// which this process names itself to peers (SetAgent): the library's name, "/", its version.
#pragma once
#include "util/version.h"

namespace tq {

extern VERSION src_code_version;      // "SR.code"
extern VERSION machine_code_version;  // "MA.code"
extern VERSION tq_lang_version;       // "TQ.lang"
extern VERSION tq_proto_version;      // "TQ.proto"
extern VERSION tq_code_version;       // "TQ.code", named "TQ.lib"

// Registers the five records in their order (a second call does nothing).
void register_versions();
// The SetAgent text, tq_code_version's name, "/" and its version, on the debug heap.
char* make_setagent_text();

}  // namespace tq
