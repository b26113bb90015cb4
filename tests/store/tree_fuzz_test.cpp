// Fuzzing of trees and tries in damaged files. Two sound files (an integer index's tree of
// kind 256, and a trie of kind 259 with value arrays) are damaged in one to three places
// (links, levels, lengths, types and data of roots, nodes and value arrays; or cut short),
// and then searched, inserted into, deleted from, walked both ways, range-searched and
// checked. Every case must end with a result, an error, or one of the deliberate stops the
// store gives for a broken file; never a hang, a crash or a sanitizer report.
//
// The cases run in runner processes (this program started again for its hidden Runner
// test), since a deliberate stop ends the process; after a stop the next runner goes on with
// the next case. A runner that makes no progress for a minute has hung. A fresh process
// rather than a fork: a fork could inherit a lock that another thread held at that moment.
// The suite runs a short pass; the long run is disabled:
//   TQ_TREE_FUZZ_CASES=100000 test_store --gtest_also_run_disabled_tests --gtest_filter='TreeFuzz.*Long*'
// TQ_TREE_FUZZ_CASE=n runs case n alone in the test process (to debug it).
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cinttypes>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "store/assoc64.h"
#include "store/record_io.h"
#include "store/store_lock.h"
#include "store/trie64.h"
#include "tree_fixture.h"

using namespace tq;

namespace {

// ------------------------------------------------------------------ the sound files

struct Record {
  uint64_t ofs;
  uint16_t type;
  uint64_t d;  // disk length
};

struct Seed {
  std::string bytes;
  uint64_t root;
  bool trie;
  std::vector<Record> records;
};

std::vector<Record> walk(const std::string& b) {
  std::vector<Record> out;
  for (uint64_t at = 0; at + 4 <= b.size();) {
    uint64_t d = uint64_t(uint8_t(b[at + 2])) << 8 | uint8_t(b[at + 3]);
    out.push_back(Record{at, uint16_t(uint8_t(b[at]) << 8 | uint8_t(b[at + 1])), d});
    at += d ? d : b.size();
  }
  return out;
}

L_CHAR* key_text(std::u32string& buf, uint64_t n) {
  static const char kLetters[] = "abcab";
  buf.clear();
  do buf += char32_t(kLetters[n % 5]);
  while ((n /= 5) > 0);
  return reinterpret_cast<L_CHAR*>(buf.data());
}

uint64_t value_record(PDB64* p) {
  PN64_HEADER h{};
  h.type = kRecTestBlock;
  h.size = 24;
  int64_t at = alloc_filespace64(p, &h);
  unsigned char rec[24] = {};
  set_rec_head64(rec, kRecTestBlock, 24);
  write_filespace64f(p, uint64_t(at), rec);
  return uint64_t(at);
}

Seed make_seed(const std::string& path, bool trie) {
  PDB64* p = open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kFsFreeList, 31, "utf8");
  FAVT64_ROOT* r = trie ? alloc64_dtree(p, kAssocStringKind) : favt64_alloc_root(p, kFavtKindIndexInt, integer_endian64);
  uint64_t root = r->h.fofs;
  std::u32string k;
  for (uint64_t i = 0; i < 40; ++i) {
    if (trie) {
      insert_dtree64(nullptr, r, key_text(k, i * 7), 0, value_record(p));
      if (i % 6 == 0) insert_dtree64(nullptr, r, key_text(k, i * 7), 0, value_record(p));  // an array
    } else {
      unsigned char data[12] = {};
      int32_t key = int32_t(i * 37 % 101);
      std::memcpy(data, &key, 4);
      FAVT64_NODE* a = favt64_alloc_node(r, data, 12);
      if (favt64_insert(nullptr, r, &r->node, a, cmp_assoc64_integer, nullptr) != a) favt64_free_node(a);
    }
  }
  close_filespace64(p);
  Seed s{tqtest::read_file(path), root, trie, {}};
  s.records = walk(s.bytes);
  return s;
}

// ------------------------------------------------------------------ damage

using Rng = std::mt19937_64;
uint64_t below(Rng& g, uint64_t n) { return n ? g() % n : 0; }

void put(std::string& b, uint64_t at, uint64_t v, int width) {
  for (int i = width - 1; i >= 0 && at + uint64_t(i) < b.size(); --i, v >>= 8) b[at + uint64_t(i)] = char(v & 0xFF);
}

// A place a link may be made to lead: a record, the record itself, nowhere, the middle of
// something, past the end, anything.
uint64_t link_target(Rng& g, const Seed& s, const Record& self) {
  switch (below(g, 7)) {
    case 0: return s.records[below(g, s.records.size())].ofs;
    case 1: return self.ofs;
    case 2: return 0;
    case 3: return below(g, s.bytes.size());
    case 4: return s.bytes.size() + below(g, 3);
    case 5: return s.records[below(g, s.records.size())].ofs + 1 + below(g, 8);
    default: return g();
  }
}

// The 8-byte link fields of a record: (offset in the record).
std::vector<uint64_t> link_fields(const Seed& s, const Record& r) {
  if (r.type == kRecTreeRoot) return {8};
  if (r.type == kRecTreeNode) return s.trie ? std::vector<uint64_t>{4, 12, 28, 36} : std::vector<uint64_t>{4, 12};
  std::vector<uint64_t> out;
  if (r.type == kRecTrieValues)
    for (uint64_t at = 4; at + 8 <= r.d; at += 8) out.push_back(at);
  return out;
}

void damage_once(Rng& g, const Seed& s, std::string& b) {
  const Record& r = s.records[2 + below(g, s.records.size() - 2)];  // never the header or anchor
  if (r.ofs + r.d > b.size()) return;  // cut off by an earlier damage
  static constexpr int64_t kLevels[] = {0, -1, 1, 2, INT32_MAX, INT32_MIN, 1000000};
  static constexpr uint16_t kTypes[] = {257, 258, 259, 260, 261, 513, 514, 123, 0, 1};
  switch (below(g, 10)) {
    case 0: case 1: case 2: case 3: {  // a link
      std::vector<uint64_t> f = link_fields(s, r);
      if (!f.empty()) put(b, r.ofs + f[below(g, f.size())], link_target(g, s, r), 8);
      break;
    }
    case 4:  // a level, or a root's kind
      if (r.type == kRecTreeNode) put(b, r.ofs + 20, uint64_t(kLevels[below(g, 7)]), 4);
      if (r.type == kRecTreeRoot) put(b, r.ofs + 4, below(g, 3) ? uint64_t(std::array{2, 256, 259, 1025, 0}[below(g, 5)]) : g(), 4);
      break;
    case 5: {  // a length
      static constexpr int64_t kDelta[] = {-8, -4, -1, 1, 4, 8};
      uint64_t d = below(g, 2) ? r.d + uint64_t(kDelta[below(g, 6)]) : below(g, 0x10000);
      put(b, r.ofs + 2, d, 2);
      break;
    }
    case 6:  // a type
      put(b, r.ofs, below(g, 4) ? kTypes[below(g, 10)] : g(), 2);
      break;
    case 7:  // data bytes
      if (r.d > 4) b[r.ofs + 4 + below(g, r.d - 4)] = char(g());
      break;
    case 8: {  // another record's bytes over this one
      const Record& o = s.records[2 + below(g, s.records.size() - 2)];
      b.replace(r.ofs, std::min(r.d, o.d), s.bytes, o.ofs, std::min(r.d, o.d));
      break;
    }
    default:  // cut short
      b.resize(44 + below(g, b.size() - 44));
  }
}

// ------------------------------------------------------------------ one case

int count_node(FAVT64_NODE*, void* w) {
  ++*static_cast<int*>(w);
  return 0;
}
int count_value(uint64_t, void*, DTREE64_TRACE_WORK* st) {
  ++*static_cast<int*>(st->w);
  return 0;
}

void tree_ops(Rng& g, FAVT64_ROOT* r) {
  int32_t keys[4] = {int32_t(below(g, 101)), int32_t(below(g, 101)), 200, -5};
  for (int32_t k : keys) {
    FAVT64_NODE* top = root_node64(nullptr, r);
    if (top) favt64_search(nullptr, r, top, &k, cmp_assoc64_integer, nullptr);
  }
  unsigned char data[12] = {};
  std::memcpy(data, &keys[0], 4);
  if (FAVT64_NODE* a = favt64_alloc_node(r, data, 12))
    if (favt64_insert(nullptr, r, &r->node, a, cmp_assoc64_integer, nullptr) != a) favt64_free_node(a);
  if (FAVT64_NODE* gone = favt64_delete(nullptr, r, &r->node, &keys[1], cmp_assoc64_integer, nullptr))
    favt64_free_node(gone);
  int n = 0;
  favt64_trace_from_small(nullptr, r, root_node64(nullptr, r), count_node, &n);
  favt64_trace_from_large(nullptr, r, root_node64(nullptr, r), count_node, &n);
  int32_t lo = 10, hi = 60;
  free_bound_list64(favt64_bound_search(nullptr, r, root_node64(nullptr, r), &lo, &hi, -1, cmp_assoc64_integer, nullptr));
  free_bound_list64(favt64_bound_search(nullptr, r, root_node64(nullptr, r), &lo, &hi, 3, cmp_assoc64_integer, nullptr));
  favt64_test(nullptr, r, root_node64(nullptr, r), cmp_assoc64_integer);
}

void trie_ops(Rng& g, FAVT64_ROOT* r) {
  std::u32string k;
  for (int i = 0; i < 4; ++i) search_dtree64(nullptr, nullptr, r, key_text(k, below(g, 300)), int(i & 1));
  insert_dtree64(nullptr, r, key_text(k, below(g, 300)), 0, 44);
  insert_dtree64(nullptr, r, key_text(k, below(g, 40) * 7), 0, 44);
  delete_dtree64(nullptr, r, key_text(k, below(g, 40) * 7), 0);
  delete_dtree64(nullptr, r, key_text(k, below(g, 40) * 7), 44);
  int n = 0;
  dtree64_trace_from_small(nullptr, r, count_value, &n);
  dtree64_trace_from_large(nullptr, r, count_value, &n);
}

void run_case(const std::vector<Seed>& seeds, uint64_t base, uint64_t i, const std::string& path) {
  Rng g(base + i * 0x9E3779B97F4A7C15ull);
  const Seed& s = seeds[i % seeds.size()];
  std::string b = s.bytes;
  for (uint64_t n = 1 + below(g, 3); n > 0; --n) damage_once(g, s, b);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << b;
  PDB64* p = open_filespace64(path.c_str(), O_RDWR, 0644, kFsFreeList, 31, "utf8");
  if (!p) return;
  FAVT64_ROOT* r = get_root64(nullptr, p, s.root, s.trie ? dtree64_endian : integer_endian64);
  if (r && s.trie)
    trie_ops(g, r);
  else if (r)
    tree_ops(g, r);
  check_cache64("tree fuzz");
  close_filespace64(p);
}

// ------------------------------------------------------------------ the driver

// The stops the store gives for broken files: the trie's, the tree check's, and the file
// space's when damage has spread into it through a write-back. (Records that are no tree
// records where tree records belong are unreadable: no stop.)
const std::set<std::string> kDeliberateStops = {
    "favt error 1", "favt error 2", "favt error 3", "favt error 4",
    "delete_dtree(2)", "check_freelist(-1)", "check_freelist64(0)", "check_freelist64(1)", "check_freelist64(2)",
    "check_freelist64(3)", "free_filespace(1)", "free_filespace(1-1)", "free_filespace64(1)", "free_filespace64",
    "alloc_filespace(1)", "alloc_filespace(2)", "alloc_filespace sizeoerror(1)", "truncate_check(1)",
    "save_freelist", "next_freelist(2)"};

struct Report {
  int children = 0;
  std::map<std::string, int> stops;
  std::vector<std::string> failures;
};

// The text of er_panic's banner in a child's standard error, or "".
std::string stop_text(const std::string& err) {
  static const std::string kStars = "\n************\n";
  size_t a = err.find(kStars);
  if (a == std::string::npos) return "";
  a += kStars.size();
  size_t e = err.find(" (", a);
  return e == std::string::npos ? "" : err.substr(a, e - a);
}

bool sanitizer_report(const std::string& err) {
  return err.find("Sanitizer") != std::string::npos || err.find("runtime error") != std::string::npos;
}

constexpr int kProgressFd = 3;  // where a runner reports each case it starts

// Runs cases [first, count) in a runner process; answers the index of the last case it
// started (or count when it finished) and adds what happened to rep.
uint64_t run_child(uint64_t base, uint64_t first, uint64_t count, const tqtest::TempDir& dir, Report* rep) {
  std::string err_path = dir.file("stderr");
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&fa, fds[1], kProgressFd);
  std::vector<std::string> env = {"TQ_TREE_FUZZ_RUN=" + std::to_string(first) + " " + std::to_string(count) + " " +
                                      std::to_string(base),
                                  "TQ_TREE_FUZZ_DIR=" + dir.path()};
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "TQ_TREE_FUZZ", 12) != 0) env.emplace_back(*e);
  std::vector<char*> envp, argv;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe", filter = "--gtest_filter=TreeFuzzRunner.DISABLED_Run",
              disabled = "--gtest_also_run_disabled_tests";
  argv = {self.data(), filter.data(), disabled.data(), nullptr};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, self.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    rep->failures.push_back("cannot start a runner");
    return count;
  }
  uint64_t last = first;
  bool hung = false;
  for (;;) {
    pollfd pf{fds[0], POLLIN, 0};
    if (poll(&pf, 1, 60000) == 0) {  // a minute without a new case
      hung = true;
      kill(pid, SIGKILL);
      break;
    }
    uint64_t i;
    if (read(fds[0], &i, sizeof i) != ssize_t(sizeof i)) break;
    last = i;
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ++rep->children;
  std::string err = tqtest::read_file(err_path), text = stop_text(err);
  auto fail = [&](const std::string& why) {
    rep->failures.push_back("case " + std::to_string(last) + ": " + why + "\n" + err.substr(0, 2000));
  };
  if (hung) {
    fail("no progress for a minute");
  } else if (sanitizer_report(err)) {
    fail("sanitizer report");
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return count;
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 1 && kDeliberateStops.count(text)) {
    ++rep->stops[text];
  } else {
    fail(WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status)) : "stop \"" + text + "\"");
  }
  return last;
}

uint64_t env_number(const char* name, uint64_t fallback) {
  const char* v = getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

std::vector<Seed> seeds_in(const std::string& dir) {
  return {make_seed(dir + "/tree", false), make_seed(dir + "/trie", true)};
}

void fuzz(uint64_t cases) {
  tqtest::TempDir dir;
  uint64_t base = env_number("TQ_TREE_FUZZ_SEED", 16);
  if (const char* one = getenv("TQ_TREE_FUZZ_CASE")) {
    run_case(seeds_in(dir.path()), base, std::strtoull(one, nullptr, 10), dir.file("case"));
    return;
  }
  Report rep;
  for (uint64_t next = 0; next < cases && rep.failures.size() < 10;)
    next = run_child(base, next, cases, dir, &rep) + 1;
  std::string stops;
  for (auto& [text, n] : rep.stops) stops += " " + text + ":" + std::to_string(n);
  std::printf("%" PRIu64 " cases in %d runners; deliberate stops:%s\n", cases, rep.children, stops.c_str());
  for (const std::string& f : rep.failures) ADD_FAILURE() << f;
}

class TreeFuzz : public treetest::TreeTest {};

TEST_F(TreeFuzz, DamagedTreesAndTriesEndEveryOperation) { fuzz(env_number("TQ_TREE_FUZZ_SHORT", 200)); }

TEST_F(TreeFuzz, DISABLED_DamagedTreesAndTriesLong) { fuzz(env_number("TQ_TREE_FUZZ_CASES", 100000)); }

// A runner: the cases its spawner names, each announced on kProgressFd before it runs; it
// ends at the last case, or at the first deliberate stop. It works in its spawner's folder
// and makes none of its own (it never gets to remove one).
TEST(TreeFuzzRunner, DISABLED_Run) {
  const char* run = getenv("TQ_TREE_FUZZ_RUN");
  const char* dir = getenv("TQ_TREE_FUZZ_DIR");
  if (!run || !dir) GTEST_SKIP() << "started by the fuzz tests only";
  init_l_favt64();
  uint64_t first = 0, count = 0, base = 0;
  if (std::sscanf(run, "%" SCNu64 " %" SCNu64 " %" SCNu64, &first, &count, &base) != 3) _exit(2);
  std::vector<Seed> seeds = seeds_in(dir);
  for (uint64_t i = first; i < count; ++i) {
    if (write(kProgressFd, &i, sizeof i) != ssize_t(sizeof i)) _exit(3);
    run_case(seeds, base, i, std::string(dir) + "/case");
  }
  _exit(0);
}

}  // namespace
