// The text with which this process identifies itself to the servers of its native sessions
// (the "client" attribute of SetAgent), set once at start-up.
#pragma once

namespace tq {

extern char* setagent_msg;  // debug heap; null until set

void set_setagent_msg(const char* text);  // keeps a copy, replacing the previous one

}  // namespace tq
