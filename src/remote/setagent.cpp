// The SetAgent text.
#include "remote/setagent.h"

#include "platform/d_alloc.h"
#include "text/l_string.h"

namespace tq {

char* setagent_msg;

void set_setagent_msg(const char* text) {
  char* copy = copy_str(text);
  if (setagent_msg) d_f_ree(setagent_msg);
  setagent_msg = copy;
}

}  // namespace tq
