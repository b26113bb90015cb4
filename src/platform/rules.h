// Rules the code keeps everywhere, checked where they can break. One test finds one case of
// a broken rule; a check at the site where the rule can break finds every case of its kind.
// The checks are off in a user's run and on in the test programs: the variable
// TQ_RULE_CHECKS (set by the test main, so the programs the tests start inherit it) turns
// them on at start-up. A broken rule then ends the process through er_panic, naming the
// rule and the site, as taking a held lock again does.
//
// | rule                                                   | checked in                   |
// |--------------------------------------------------------|------------------------------|
// | nothing delayed is realised inside a memory section    | the realisation of a delay   |
// | no thread start waits while its task holds a lock      | the pool's waiting starts    |
// | a reader's text ends at its end, never at an error     | the parser's end of input    |
// | a word broken by a reference is never read as a token  | the parser's token intake    |
#pragma once

namespace tq {

// Whether the checks are on. Read once at start-up from TQ_RULE_CHECKS; a test may turn
// them on or off for itself.
bool rule_checks_on();
void set_rule_checks(bool on);
void init_rule_checks();  // reads TQ_RULE_CHECKS (a nonempty value other than "0" is on)

// Ends the process: "rule broken: <rule> at <file>:<line>[ (<detail>)]" in er_panic's frame.
[[noreturn]] void rule_broken(const char* rule, const char* file, int line, const char* detail = nullptr);

// The recorded locks the calling task holds, oldest first, as the lock layer notes them
// (see lock.h). Up to kHeldLocksNoted are named; a deeper nesting is counted only.
inline constexpr int kHeldLocksNoted = 16;
int held_lock_count();
// The i-th held lock's taking site; false when i is past the locks noted.
bool held_lock_site(int i, const char** file, int* line);

}  // namespace tq
