// Closes of store files whose writes fail (a full disk, a file-size limit): the close answers
// -1 and the file keeps its open mark, so a read-write open refuses it (a read-only one still
// reads it); whatever the close wrote names only live records (checked on the raw bytes); a
// close that succeeds keeps every acknowledged key, and later ones after reopening. Plain
// store files (a tree, and a trie naming value records) and index files.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <set>

#include "lang/gc.h"
#include "lang/sexp.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "store/assoc64.h"
#include "store/record_io.h"
#include "store/store_lock.h"
#include "store/trie64.h"
#include "tree_fixture.h"

using namespace tq;
using storetest::be_at;

namespace {

// "" when every link and value reachable from the roots is a live record of its kind: a node
// of level 1 or more behind tree links, a lower trie level (a root of kind 2) behind trie
// data, a value record (123, 514, or an array 261 of 123s) behind trie and integer-index
// data; else the first that is not.
std::string unsound_names(const std::string& b, std::vector<uint64_t> todo) {
  std::map<uint64_t, storetest::Rec> recs;
  for (const storetest::Rec& r : storetest::records(b)) recs[r.ofs] = r;
  auto body = [&](uint64_t at, uint64_t i, int n) { return be_at(recs[at].bytes, 4 + i, n); };
  auto bad = [&](uint64_t from, uint64_t to, std::set<uint16_t> types) {
    const bool live = !to || (recs.count(to) && types.count(recs[to].type));
    return live ? "" : std::to_string(from) + " names " + std::to_string(to);
  };
  std::set<uint64_t> seen;
  for (std::string why; !todo.empty(); todo.pop_back()) {
    const uint64_t at = todo.back();
    if (!seen.insert(at).second) continue;
    std::vector<std::pair<uint64_t, std::set<uint16_t>>> names;  // what the record names
    if (recs[at].type == kRecTreeRoot) names.push_back({body(at, 4, 8), {kRecTreeNode}});
    if (recs[at].type == kRecTrieValues)
      for (uint64_t i = 0; i + 4 + 8 <= recs[at].bytes.size(); i += 8)
        names.push_back({body(at, i, 8), {kRecTestBlock}});
    if (recs[at].type == kRecTreeNode) {  // small, large, level, data
      if (int32_t(body(at, 16, 4)) < 1) return std::to_string(at) + " has level 0";
      names = {{body(at, 0, 8), {kRecTreeNode}}, {body(at, 8, 8), {kRecTreeNode}}};
      const std::set<uint16_t> values = {kRecTestBlock, kRecIndexValue, kRecTrieValues};
      if (recs[at].bytes.size() == 4 + 20 + 12) names.push_back({body(at, 24, 8), values});  // key, text
      if (recs[at].bytes.size() == 4 + 20 + 20) {  // ch, next level, value
        const uint64_t level = body(at, 24, 8);
        if (level && recs.count(level) && body(level, 0, 4) != uint64_t(kFavtKindTrieLower))
          return std::to_string(at) + " names no lower level";
        names.insert(names.end(), {{level, {kRecTreeRoot}}, {body(at, 32, 8), values}});
      }
    }
    for (auto& [to, types] : names) {
      if (!(why = bad(at, to, types)).empty()) return why;
      if (to && (types.count(kRecTreeNode) || types.count(kRecTreeRoot) || recs[to].type == kRecTrieValues))
        todo.insert(todo.begin(), to);
    }
  }
  return "";
}

// A file the test changes and checks against what was acknowledged.
class Model {
 public:
  virtual ~Model() = default;
  virtual bool open(bool create, bool read_only = false) = 0;  // false: refused
  virtual void change(std::mt19937_64& g, int ops) = 0;
  virtual std::string check() = 0;  // "": exactly the acknowledged keys and values
  virtual int close() = 0;
  virtual std::vector<uint64_t> roots(const std::string& bytes) = 0;
};

std::u32string key_of(std::mt19937_64& g) {
  std::u32string s(1 + g() % 3, U'a');
  for (char32_t& c : s) c = U'a' + char32_t(g() % 8);
  return s;
}
const L_CHAR* lk(const std::u32string& s) { return reinterpret_cast<const L_CHAR*>(s.c_str()); }

// A tree of integer keys, and a trie whose keys name value records (each holding its own
// offset), one or several per key; a value taken out of the trie is freed after it.
class PlainFile : public Model {
 public:
  explicit PlainFile(std::string path) : path_(std::move(path)) {}
  bool open(bool create, bool read_only) override {
    p_ = open_filespace64(path_.c_str(), read_only ? O_RDONLY : O_RDWR | (create ? O_CREAT | O_TRUNC : 0), 0644,
                          kFsFreeList, 31, "utf8");
    tree_ = !p_ ? nullptr : create ? favt64_alloc_root(p_, 1024, treetest::int_endian)
                                   : get_root64(nullptr, p_, roots_[0], treetest::int_endian);
    trie_ = !p_ ? nullptr : create ? alloc64_dtree(p_, 0) : get_root64(nullptr, p_, roots_[1], dtree64_endian);
    if (create && tree_ && trie_) roots_ = {tree_->h.fofs, trie_->h.fofs};
    return p_;
  }
  void change(std::mt19937_64& g, int ops) override {
    for (int i = 0, err = 0; i < ops; ++i) {
      const std::u32string key = g() % 2 ? key_of(g) : std::u32string(1, U'a' + char32_t(g() % 4));  // arrays
      std::set<uint64_t>& vals = values_[key];
      const int64_t k = int64_t(g() % 400);
      const bool tree_op = g() % 2;
      if (tree_op && keys_.count(k)) {  // a key of the tree out, or in
        ASSERT_TRUE(treetest::delete_key(tree_, k));
        keys_.erase(k);
      } else if (tree_op) {
        ASSERT_TRUE(treetest::insert_key(tree_, k));
        keys_.insert(k);
      } else if (vals.empty() || g() % 3) {  // a new value record, then the key names it
        PN64_HEADER h{};
        h.type = kRecTestBlock;
        h.size = 24;
        const int64_t at = alloc_filespace64(p_, &h);
        unsigned char rec[24];
        set_rec_head64(rec, kRecTestBlock, 24);
        put_be64(rec + 16, uint64_t(at));
        ASSERT_GE(write_filespace64f(p_, uint64_t(at), rec), 0);
        ASSERT_EQ(insert_dtree64(&err, trie_, lk(key), 0, uint64_t(at)), 0);
        vals.insert(uint64_t(at));
      } else {  // the key no longer names a value: its record goes
        ASSERT_EQ(delete_dtree64(&err, trie_, lk(key), *vals.begin()), 0);
        favt64_free_later(p_, *vals.begin());
        vals.erase(vals.begin());
      }
    }
  }
  std::string check() override {
    if (!tree_ || treetest::keys_of(tree_) != std::vector<int64_t>(keys_.begin(), keys_.end())) return "tree keys";
    for (auto& [key, vals] : values_) {
      int err = 0;
      const uint64_t d = trie_ ? search_dtree64(&err, nullptr, trie_, lk(key), 1) : 0;
      auto* rec = d ? static_cast<unsigned char*>(read_filespace64f(p_, d)) : nullptr;
      const bool array = rec && rec_type64(rec) == kRecTrieValues;
      std::set<uint64_t> got;
      for (uint64_t i = 16; array && i < rec_size64(rec); i += 8) got.insert(get_be64(rec + i));
      if (d && !array) got.insert(d);
      if (rec) d_f_ree(rec);
      bool whole = true;  // each value record holds its own offset
      for (uint64_t v : got) {
        auto* r = static_cast<unsigned char*>(read_filespace64f(p_, v));
        whole = whole && r && rec_type64(r) == kRecTestBlock && get_be64(r + 16) == v;
        if (r) d_f_ree(r);
      }
      if (got != vals || !whole) return "values of a key of " + std::to_string(key.size());
    }
    return "";
  }
  int close() override { return p_ ? close_filespace64(p_) : -1; }
  std::vector<uint64_t> roots(const std::string&) override { return roots_; }

 private:
  std::string path_;
  PDB64* p_ = nullptr;
  FAVT64_ROOT *tree_ = nullptr, *trie_ = nullptr;
  std::vector<uint64_t> roots_;
  std::set<int64_t> keys_;
  std::map<std::u32string, std::set<uint64_t>> values_;
};

// An index file with an integer index and a string index of integer values.
class IndexFile : public Model {
 public:
  explicit IndexFile(std::string path) : path_(std::move(path)) {}
  bool open(bool create, bool read_only) override {
    if (create) unlink(path_.c_str());
    key_ = l_open_associate64(path_.c_str(), read_only ? O_RDONLY : O_RDWR | O_CREAT, 0644, kFsFreeList, 31,
                              "UTF-8");
    const bool made =
        !create || (l_new_index64(key_, kAssocInteger, 1) == 0 && l_new_index64(key_, kAssocString, 2) == 1);
    EXPECT_TRUE(key_ <= 0 || made);
    return key_ > 0;
  }
  void change(std::mt19937_64& g, int ops) override {
    for (int i = 0; i < ops; ++i) {
      int32_t k = int32_t(g() % 100), v = int32_t(g() % 1000), op = int32_t(g() % 4);
      const std::u32string s = key_of(g);
      if (op < 2) {
        ASSERT_EQ(l_insert_associate64(key_, 0, &k, n_get_integer(v, nullptr)), 0);
        ints_[k] = v;
      } else if (op == 2 || !strs_.count(s) || strs_[s] < 0) {
        ASSERT_EQ(l_insert_associate64(key_, 1, lk(s), n_get_integer(v, nullptr)), 0);
        strs_[s] = v;
      } else {
        ASSERT_EQ(l_delete_associate64(key_, 1, lk(s)), 0);
        strs_[s] = -1;
      }
    }
  }
  std::string check() override {
    auto value = [](TQ_SEXP* v) { return v && get_type(v) == kTagInteger ? v->integer.data : -1; };
    for (auto [k, v] : ints_)
      if (value(l_search_associate64(key_, 0, &k, nullptr)) != v) return "integer key " + std::to_string(k);
    for (auto& [s, v] : strs_)
      if (value(l_search_associate64(key_, 1, lk(s), nullptr)) != v) return "a string key";
    return "";
  }
  int close() override { return l_close_associate64(key_); }
  std::vector<uint64_t> roots(const std::string& b) override {  // the 513 header's entries
    std::vector<uint64_t> out;
    for (const storetest::Rec& h : storetest::of_type(b, kRecIndexHeader))
      for (size_t e = 4; e + 16 <= h.bytes.size(); e += 16) out.push_back(be_at(h.bytes, e, 8));
    return out;
  }

 private:
  std::string path_;
  int key_ = -1;
  std::map<int32_t, int32_t> ints_;
  std::map<std::u32string, int32_t> strs_;  // -1: deleted
};

template <class M>
std::unique_ptr<Model> make(const std::string& path) {
  return std::make_unique<M>(path);
}

struct CloseCase {
  const char* name;
  std::unique_ptr<Model> (*make)(const std::string& path);
  int cache_limit;  // small: eviction writes back all along the changes
};

const CloseCase kCloseCases[] = {
    {"store file", make<PlainFile>, 10000},
    {"store file, tight cache", make<PlainFile>, 6},
    {"index file", make<IndexFile>, 10000},
    {"index file, tight cache", make<IndexFile>, 6},
};

class StoreClose : public treetest::TreeTest {
 protected:
  // Makes and closes the file, reopens and changes it, then closes it with its write n
  // failing (0: none) or under a file-size limit at its size on disk. Answers the writes the
  // close made.
  int64_t failed_close(const CloseCase& c, uint64_t seed, int64_t n, bool size_limit) {
    SCOPED_TRACE(testing::Message() << c.name << ", seed " << seed << ", write " << n
                                    << (size_limit ? ", size limit" : ""));
    GcFrame frame("close");
    favt64_cache_limit = c.cache_limit;
    std::mt19937_64 g(seed);
    std::unique_ptr<Model> m = c.make(path());
    EXPECT_TRUE(m->open(true));
    m->change(g, 60);
    EXPECT_EQ(m->close(), 0);
    EXPECT_TRUE(m->open(false));
    m->change(g, 60);
    const int64_t calls = fac_write_calls;
    int rc;
    {
      std::unique_ptr<tqtest::FileSizeLimit> limit;
      if (size_limit) limit = std::make_unique<tqtest::FileSizeLimit>(bytes().size());
      fac_fail_write(int(n), ENOSPC);
      rc = m->close();
      fac_fail_write(0, 0);
    }
    const bool failed = size_limit ? rc < 0 : n > 0 && n <= fac_write_calls - calls;
    EXPECT_EQ(rc, failed ? -1 : 0);
    const std::string b = bytes();
    if (!size_limit) {  // (pages go out by offset, whatever their records name)
      EXPECT_EQ(unsound_names(b, m->roots(b)), "");
    }
    const bool reopened = m->open(false);
    EXPECT_EQ(reopened, !failed);
    if (!reopened) {  // read-only it still opens and reads (whatever it lost), never stopping
      EXPECT_TRUE(m->open(false, true));
      m->check();
    } else {
      EXPECT_EQ(m->check(), "");
      m->change(g, 30);
      EXPECT_EQ(m->close(), 0);
      EXPECT_TRUE(m->open(false));
      EXPECT_EQ(m->check(), "");
    }
    EXPECT_EQ(m->close(), 0);
    return fac_write_calls - calls;
  }
  // Every case over seeds, failing the first and the last write of the close, `more`
  // writes chosen by the seed, and none; then once under a file-size limit.
  void run(uint64_t seeds, int more) {
    for (const CloseCase& c : kCloseCases)
      for (uint64_t seed = 1; seed <= seeds && !HasFailure(); ++seed) {
        const int64_t writes = failed_close(c, seed, 0, false);
        std::mt19937_64 g(seed);
        std::set<int64_t> ns = {1, writes};
        while (int(ns.size()) < std::min<int64_t>(2 + more, writes)) ns.insert(1 + int64_t(g() % uint64_t(writes)));
        for (int64_t n : ns) failed_close(c, seed, n, false);
        failed_close(c, seed, 0, true);
      }
  }
};

TEST_F(StoreClose, AFailedCloseLeavesTheFileRefusedAndNamingOnlyLiveRecords) { run(8, 10); }

// The same over many seeds and every write of each close.
TEST_F(StoreClose, DISABLED_ManySeedsEveryWrite) { run(12, 1 << 20); }

}  // namespace
