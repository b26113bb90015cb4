// The switch of the rule checks and the end they give a broken rule.
#include "platform/rules.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/lock.h"
#include "platform/startup.h"

namespace tq {

namespace {
std::atomic<bool> checks{false};
}  // namespace

bool rule_checks_on() { return checks.load(std::memory_order_relaxed); }

void set_rule_checks(bool on) { checks.store(on, std::memory_order_relaxed); }

void init_rule_checks() {
  const char* v = getenv("TQ_RULE_CHECKS");
  set_rule_checks(v && *v && strcmp(v, "0") != 0);
}

void rule_broken(const char* rule, const char* file, int line, const char* detail) {
  char text[768];
  if (detail)
    snprintf(text, sizeof text, "rule broken: %s at %s:%i (%s)", rule, file ? file : "?", line, detail);
  else
    snprintf(text, sizeof text, "rule broken: %s at %s:%i", rule, file ? file : "?", line);
  er_panic(text);
}

void check_lock_held(SEM sem, const char* what, const char* file, int line) {
  if (rule_checks_on() && !lock_held_by_me(sem))
    rule_broken("data a recorded lock guards is touched only by that lock's holder", file, line, what);
}

namespace {
constexpr unsigned kChannel = waits(PeerWait::kConnection);
constexpr unsigned kChannelAndLookup = waits(PeerWait::kConnection, PeerWait::kLookup);
// A request through an agent or on a session also waits for its reply, which the reader of
// its connection fills in without the token, the session's lock or the output lock (held
// across a new agent connection's SetAgent until its reply is through).
constexpr unsigned kChannelAndReply = kChannel | waits(PeerWait::kValue);
constexpr unsigned kChannelLookupAndReply = kChannelAndLookup | waits(PeerWait::kValue);

// A root helper file's drain waits for the write task to hand that file's queued bytes to its
// helper (bounded by the drain's 30 s); the output and delay-queue locks are held across it
// when a reply goes to a file interpreter's file, and only that interpreter's writers wait
// on them.
constexpr unsigned kDrain = waits(PeerWait::kHelperDrain);
}  // namespace

const HAND_LOCK_ROW hand_locks[int(HandLock::kCount)] = {
    {"the delay-queue lock", kChannel | kDrain},  {"the output lock", kChannelAndReply | kDrain},
    {"accept_lock", kChannel},                    {"the blacklist's busy flag", kChannelAndLookup},
    {"the agent's token", kChannelLookupAndReply},     {"the session's lock", kChannelLookupAndReply},
};

namespace {
std::atomic<int> takes[int(HandLock::kCount)];
std::atomic<int> holds[int(HandLock::kCount)];
}  // namespace

void hand_lock_taken(HandLock which, const void* lock, const char* file, int line) {
  if (!rule_checks_on()) return;
  const HAND_LOCK_ROW& row = hand_locks[int(which)];
  _note_lock(lock, row.name, row.waits, file, line);
  ++takes[int(which)];
  ++holds[int(which)];
}

void hand_lock_released(HandLock which, const void* lock) {
  if (!rule_checks_on()) return;
  _unnote_lock(lock);
  --holds[int(which)];
}

int hand_lock_takes(HandLock which) { return takes[int(which)].load(); }
int hand_locks_held(HandLock which) { return holds[int(which)].load(); }

void check_no_peer_wait(PeerWait kind, const char* what, const char* file, int line, const void* given_up) {
  if (!rule_checks_on()) return;
  const int i = held_shared_lock(kind, given_up);
  if (i < 0) return;
  const char* f = nullptr;
  const char* name = nullptr;
  int l = 0;
  held_lock_site(i, &f, &l, &name);
  char detail[512];
  snprintf(detail, sizeof detail, "%s; %s taken at %s:%i", what, name ? name : "lock", f ? f : "?", l);
  rule_broken("no wait on a peer while the task holds a lock other interpreters need", file, line, detail);
}

}  // namespace tq
