// The word RemoteSession: a request to a remote server over a session that returns a
// delayed value at once. Requests wait in a queue per server; one worker per server sends
// them one after another through the session layer, the newest pending first, and a second
// worker per server stores each answer in its delayed value. A count of requests not yet
// answered lets the runtime wait for them before it closes its interpreters.
#pragma once

namespace tq {

// Returns once no request of the word is pending (takes tqi_lock).
void wait_rs_queue();
// The same with tqi_lock held (released while waiting).
void _wait_rs_queue();
// Adds n to the count of pending requests and wakes its waiters (takes tqi_lock).
void rs_count(int n);

}  // namespace tq
