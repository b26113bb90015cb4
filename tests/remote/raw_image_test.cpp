// The raw image cache against the fake peer: fetched, decoded and handed out; waiters told
// by their callbacks; a failed decoding; the limit of 99 entries.
#include <mutex>

#include "remote/raw_image_cache.h"
#include "remote_test_util.h"
#include "stream/stream_write.h"
#include "support/tick_clock.h"
#include "text/l_string.h"

using namespace tq;
using namespace remotetest;

namespace {

// A GIF of 2 x 1 pixels, red then blue, written by another library.
const std::string kGifHex = "47494638376102000100810000ff00000000ff0000000000002c00000000020001000008050001040808003b";

std::string gif_bytes() {
  std::string b;
  for (size_t i = 0; i < kGifHex.size(); i += 2) b += char(std::stoi(kGifHex.substr(i, 2), nullptr, 16));
  return b;
}

// What the callbacks were told: (kind, the word given with it).
std::mutex calls_mu;
std::vector<std::pair<int, intptr_t>> calls;

std::vector<std::pair<int, intptr_t>> calls_now() {
  std::lock_guard<std::mutex> g(calls_mu);
  return calls;
}

// Stores its word on attach, stands for a call with the same word, gives up on a poll when
// its word is 1, deletes a failed entry it is told of when its word is 3.
int waiter(int kind, RI_QUEUE* q, void* data) {
  {
    std::lock_guard<std::mutex> g(calls_mu);
    calls.emplace_back(kind, reinterpret_cast<intptr_t>(data));
  }
  if (kind == RI_ATTACH) q->data = data;
  if (kind == RI_READY_CB && q->data == reinterpret_cast<void*>(3) && q->ri->err == RI_FAILED) delete_ri(q->ri->path);
  if (kind == RI_SAME) return q->data == data ? 0 : 1;
  if (kind == RI_POLL) return q->data == reinterpret_cast<void*>(1);
  return 0;
}

const L_CHAR* lpath(const std::string& p) { return _l_string_1(std_cm, p.c_str()); }

class RawImageCache : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    static const int started = init_tq_ri();  // once per process, as a host would
    (void)started;
  }
  void SetUp() override { calls.clear(); }
};

}  // namespace

TEST_F(RawImageCache, FetchesDecodesAndHandsOutImages) {
  FakePeer peer("(Get \"/img/a.gif\")\traw " + kGifHex + "\n(Get \"/img/b.GIF\")\traw " + kGifHex + "\n");
  Clean clean;
  const int sessions = session_count();
  const std::string a = tqp_url(peer.port, "/img/a.gif"), b = tqp_url(peer.port, "/img/b.GIF");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int err = 9, w = 0, h = 0, len = 0;
  EXPECT_EQ(tq_get_ri(&err, &w, &h, waiter, reinterpret_cast<void*>(7), lpath(a)), nullptr);
  EXPECT_EQ(err, RI_LOADING);
  ASSERT_TRUE(tqtest::wait_until([] { return calls_now().size() == 3; }));
  EXPECT_EQ(calls_now(), (std::vector<std::pair<int, intptr_t>>{{RI_ATTACH, 7}, {RI_READY_CB, 0}, {RI_RELEASE, 0}}));
  const uint32_t* px = tq_get_ri(&err, &w, &h, waiter, nullptr, lpath(a));
  ASSERT_NE(px, nullptr);
  EXPECT_EQ(std::vector<int>({err, w, h}), std::vector<int>({RI_OK, 2, 1}));
  EXPECT_EQ(std::vector<uint32_t>(px, px + 2), std::vector<uint32_t>({1020, 1069547520}));
  const unsigned char* bytes = tq_search_ri_org(&err, &len, lpath(a));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), size_t(len)), gif_bytes());
  // The extension is compared exactly: ".GIF" is no GIF, and the entry fails (a waiter told
  // so drops it at once; the next call fetches it anew).
  tq_get_ri(&err, &w, &h, waiter, reinterpret_cast<void*>(3), lpath(b));
  ASSERT_TRUE(tqtest::wait_until([] { return calls_now().size() == 6; }));
  EXPECT_EQ(tq_search_ri_org(&err, &len, lpath(b)), nullptr);
  EXPECT_EQ(std::vector<int>({err, len}), std::vector<int>({RI_FAILED, -1}));
  // The worker prints a decoder's failure after it has told the waiters; it has printed all
  // once it has closed its session.
  ASSERT_TRUE(tqtest::wait_until([&] { return session_count() == sessions; })) << "the fetch worker to end";
  s_flush(s_stdout);
  s_flush(s_stderr);
  const std::string failed = "request\ndecompress error\n",
                    error = "^\n %E\n (\"\" \"\" 0 \"raw_image\" 0x8004070e\n (\"undefined the image data\" \"" + b + "\"))";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "request\nDATA OK 2 1\n" + failed + failed);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), error + error);
  delete_ri(lpath(a));
  delete_ri(lpath(b));
  EXPECT_EQ(ri_count_now(), 0);
}

// JPEG files by either extension decode to the pixels another decoder (Pillow) reads from
// them, each as red x 4 + green x 4096 + blue x 4194304.
TEST_F(RawImageCache, JpegImagesDecodeToTheirPixelWords) {
  const std::string data = std::string(TQ_SOURCE_DIR) + "/tests/image/data/";
  const std::string jpg = tqtest::read_file(data + "restart.jpg"), rgb = tqtest::read_file(data + "restart.rgb");
  std::string jpg_hex;
  for (unsigned char c : jpg) jpg_hex += "0123456789abcdef"[c >> 4], jpg_hex += "0123456789abcdef"[c & 15];
  std::vector<uint32_t> want;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
    const auto* p = reinterpret_cast<const unsigned char*>(rgb.data() + i);
    want.push_back(p[0] * 4u + p[1] * 4096u + p[2] * 4194304u);
  }
  FakePeer peer("(Get \"/img/r.jpg\")\traw " + jpg_hex + "\n(Get \"/img/r.jpeg\")\traw " + jpg_hex + "\n");
  Clean clean;
  testing::internal::CaptureStdout();
  for (const char* name : {"/img/r.jpg", "/img/r.jpeg"}) {
    const std::string u = tqp_url(peer.port, name);
    int err = 9, w = 0, h = 0;
    const uint32_t* px = tq_get_ri(&err, &w, &h, nullptr, nullptr, lpath(u));
    ASSERT_TRUE(tqtest::wait_until([&] { return (px = tq_get_ri(&err, &w, &h, nullptr, nullptr, lpath(u))) || err != RI_LOADING; }))
        << name;
    ASSERT_NE(px, nullptr) << name << " " << err;
    EXPECT_EQ(std::vector<int>({w, h}), std::vector<int>({40, 24})) << name;
    EXPECT_EQ(std::vector<uint32_t>(px, px + size_t(w) * size_t(h)), want) << name;
    delete_ri(lpath(u));
  }
  s_flush(s_stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "request\nDATA OK 40 24\nrequest\nDATA OK 40 24\n");
  EXPECT_EQ(ri_count_now(), 0);
}

TEST_F(RawImageCache, WaitersAreAskedAndMayGiveUpWhileTheImageLoads) {
  FakePeer peer("(Get \"/img/c.gif\")\thold raw " + kGifHex + "\n");
  Clean clean;
  tqtest::TickClock clock;
  const std::string c = tqp_url(peer.port, "/img/c.gif");
  int err, w, h;
  tq_get_ri(&err, &w, &h, waiter, reinterpret_cast<void*>(1), lpath(c));
  tq_get_ri(&err, &w, &h, waiter, reinterpret_cast<void*>(1), lpath(c));  // the same waiter: nothing more
  tq_get_ri(&err, &w, &h, waiter, reinterpret_cast<void*>(2), lpath(c));
  ASSERT_TRUE(peer.wait_for("(Get \"/img/c.gif\")"));
  // The poll (every 30 s of the clock): the first waiter gives up.
  auto polled = [] { return calls_now().size() > 4; };
  for (int i = 0; i < 10 && !polled(); ++i) clock.advance(30);
  peer.release();
  ASSERT_TRUE(tqtest::wait_until([] { return calls_now().size() == 9; }));
  EXPECT_EQ(calls_now(), (std::vector<std::pair<int, intptr_t>>{{RI_ATTACH, 1},
                                                                  {RI_SAME, 1},
                                                                  {RI_SAME, 2},
                                                                  {RI_ATTACH, 2},
                                                                  {RI_POLL, 0},
                                                                  {RI_POLL, 0},
                                                                  {RI_RELEASE, 0},
                                                                  {RI_READY_CB, 0},
                                                                  {RI_RELEASE, 0}}));
  delete_ri(lpath(c));
}

TEST_F(RawImageCache, KeepsNinetyNineEntriesPassingOverThoseThatLoad) {
  FakePeer peer("(Get \"/img/0.gif\")\thold raw " + kGifHex + "\n(Get \"/img/*\traw " + kGifHex + "\n");
  Clean clean;
  testing::internal::CaptureStdout();
  auto path = [&](int i) { return tqp_url(peer.port, "/img/" + std::to_string(i) + ".gif"); };
  int err, w, h;
  tq_get_ri(&err, &w, &h, nullptr, nullptr, lpath(path(0)));
  ASSERT_TRUE(peer.wait_for("(Get \"/img/0.gif\")"));
  for (int i = 1; i <= 100; ++i) tq_get_ri(&err, &w, &h, nullptr, nullptr, lpath(path(i)));
  peer.release();  // with 100 entries loading: the first done goes, the others are passed over
  // The newest waiting is fetched first, so 1 comes last; it is never the oldest ready one.
  ASSERT_TRUE(tqtest::wait_until([&] { return tq_get_ri(&err, &w, &h, nullptr, nullptr, lpath(path(1))) != nullptr; }));
  EXPECT_EQ(ri_count_now(), 99);
  s_flush(s_stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  int done = 0;
  for (size_t at = 0; (at = out.find("DATA OK 2 1\n", at)) != std::string::npos; ++at) ++done;
  EXPECT_EQ(done, 101);
  for (int i = 0; i <= 100; ++i) delete_ri(lpath(path(i)));
  EXPECT_EQ(ri_count_now(), 0);
}
