// Tree shapes against a model: random insertions and deletions on a file tree whose cache
// holds a handful of nodes (levels then come from the records of uncached children, and
// rotations load and evict as they go), with the page cache on, down to one page (records
// read in place lose their page at the next write-back) and off, compared after
// every few steps with the same steps on a small in-memory tree that follows the rules for
// tree operations as written: single rotations only, re-levelling and rebalancing on the way
// back from an insertion, re-levelling only on the way back from a deletion.
#include <fcntl.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tree_fixture.h"

using namespace tq;
using namespace treetest;

namespace {

struct ModelNode {
  int64_t key;
  int level = 1;
  ModelNode* small = nullptr;
  ModelNode* large = nullptr;
};

class Model {
 public:
  bool insert(int64_t key) {
    nodes_.push_back(std::make_unique<ModelNode>(ModelNode{key}));
    return insert_at(top_, nodes_.back().get());
  }
  bool remove(int64_t key) { return remove_at(top_, key) != nullptr; }
  std::string shape() const { return shape_at(top_); }

 private:
  static int level(const ModelNode* n) { return n ? n->level : 0; }
  static void relevel(ModelNode* n) { n->level = 1 + std::max(level(n->small), level(n->large)); }

  static void balance(ModelNode*& link) {
    ModelNode* n = link;
    if (!n) return;
    int l = level(n->large), s = level(n->small);
    if (s + 1 < l) {
      ModelNode* up = n->large;
      n->large = up->small;
      up->small = n;
      link = up;
      relevel(n);
      relevel(up);
    } else if (l + 1 < s) {
      ModelNode* up = n->small;
      n->small = up->large;
      up->large = n;
      link = up;
      relevel(n);
      relevel(up);
    }
  }

  static bool insert_at(ModelNode*& link, ModelNode* a) {
    if (!link) {
      link = a;
      return true;
    }
    ModelNode* n = link;
    if (n->key == a->key) return false;  // the equal node is not re-levelled
    bool added = insert_at(n->key > a->key ? n->small : n->large, a);
    relevel(n);
    balance(link);
    return added;
  }

  static ModelNode* remove_end(ModelNode*& link, bool largest) {
    ModelNode* g = link;
    ModelNode*& next = largest ? g->large : g->small;
    if (next) {
      ModelNode* r = remove_end(next, largest);
      relevel(g);
      return r;
    }
    link = largest ? g->small : g->large;
    balance(link);
    return g;
  }

  static ModelNode* remove_at(ModelNode*& link, int64_t key) {
    ModelNode* n = link;
    if (!n) return nullptr;
    if (n->key != key) {
      ModelNode* r = remove_at(n->key > key ? n->small : n->large, key);
      relevel(n);
      return r;
    }
    if (!n->large) {
      link = n->small;
    } else if (!n->small) {
      link = n->large;
    } else {
      // The successor comes from the taller side; on equal levels from the smaller side.
      ModelNode* r = level(n->small) < level(n->large) ? remove_end(n->large, false) : remove_end(n->small, true);
      r->large = n->large;
      r->small = n->small;
      link = r;
    }
    if (link) relevel(link);
    balance(link);
    return n;
  }

  static std::string shape_at(const ModelNode* n) {
    if (!n) return "-";
    std::string s = std::to_string(n->key) + ":" + std::to_string(n->level);
    if (n->small || n->large) s += "(" + shape_at(n->small) + "," + shape_at(n->large) + ")";
    return s;
  }

  std::vector<std::unique_ptr<ModelNode>> nodes_;
  ModelNode* top_ = nullptr;
};

class TreeShape : public TreeTest {};

TEST_F(TreeShape, RandomInsertionsAndDeletionsGiveTheModelsShapes) {
  for (int pages : {saved_limit_, 1, 0}) {
    SCOPED_TRACE("page limit " + std::to_string(pages));
    fac_general_info.total_entries = pages;
    PDB64* p = create();
    ASSERT_EQ(fac_cached(&p->fac), pages > 0);
    favt64_cache_limit = 4;
    FAVT64_ROOT* r = favt64_alloc_root(p, 0, int_endian);
    uint64_t root_ofs = r->h.fofs;
    Model model;
    std::mt19937_64 rng(uint64_t(23 + pages % 7));
    for (int step = 0; step < 2500; ++step) {
      int64_t key = int64_t(rng() % 600);  // some 360 keys: a file of several pages
      if (rng() % 5 < 3) {
        ASSERT_EQ(insert_key(r, key), model.insert(key)) << step;
      } else {
        ASSERT_EQ(delete_key(r, key), model.remove(key)) << step;
      }
      if (step % 20 == 0) {
        ASSERT_EQ(shape(r), model.shape()) << step;
      }
      if (step % 700 == 699) {  // the rest starts from the file alone
        ASSERT_EQ(close_filespace64(p), 0);
        p = reopen();
        r = get_root64(nullptr, p, root_ofs, int_endian);
      }
    }
    EXPECT_EQ(shape(r), model.shape());
    ASSERT_EQ(close_filespace64(p), 0);
  }
}

}  // namespace
