// Splice streams end to end: access units in, NV12 frames out through the platform
// decoder; the admission rules; start/stop codes; many streams and threads at once;
// decoder failures and garbage input.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <set>

#include "test_util.h"

using namespace Velkor::Nimbra;
using namespace nimbra_test_util;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back((uint8_t)b);
  return out;
}

// NAL units of one byte-stream access unit, each with its start code.
std::vector<std::vector<uint8_t>> split_nals(const std::vector<uint8_t>& au) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= au.size(); ++i)
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      starts.push_back(i > 0 && au[i - 1] == 0 ? i - 1 : i);
      i += 2;
    }
  std::vector<std::vector<uint8_t>> nals;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] : au.size();
    nals.emplace_back(au.begin() + starts[k], au.begin() + end);
  }
  return nals;
}

int nal_type(const std::vector<uint8_t>& nal) {
  size_t p = nal[2] == 1 ? 3 : 4;
  return (nal[p] >> 1) & 0x3F;
}

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct FrameLog {
  std::mutex lock;
  std::vector<Image> frames;  // data pointers are not kept valid; fields only
  std::atomic<int> count{0};
  std::function<int8_t(const Image&)> callback() {
    return [this](const Image& img) -> int8_t {
      Image copy = img;
      copy.data = nullptr;
      {
        std::lock_guard<std::mutex> g(lock);
        frames.push_back(copy);
      }
      ++count;
      return 0;
    };
  }
};

class SpliceClip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    aus_ = new std::vector<AccessUnit>(hevc_access_units(40, 320, 240, 20));
  }
  static void TearDownTestSuite() {
    delete aus_;
    aus_ = nullptr;
  }
  static const std::vector<AccessUnit>& aus() { return *aus_; }
  static std::vector<AccessUnit>* aus_;
};
std::vector<AccessUnit>* SpliceClip::aus_ = nullptr;

}  // namespace

TEST(SpliceScan, EdgeCases) {
  HevcAuInfo none = parse_hevc_au_info_splice(nullptr, 100);
  EXPECT_FALSE(none.has_vps || none.has_sps || none.has_pps || none.has_irap || none.has_vcl);

  auto five = bytes({0, 0, 1, 0x40, 1});
  HevcAuInfo short_info = parse_hevc_au_info_splice(five.data(), five.size());
  EXPECT_FALSE(short_info.has_vps);

  auto vps = bytes({0, 0, 1, 0x40, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  HevcAuInfo v = parse_hevc_au_info_splice(vps.data(), vps.size());
  EXPECT_TRUE(v.has_vps);
  EXPECT_FALSE(v.has_sps || v.has_pps || v.has_irap || v.has_vcl);

  auto idr = bytes({0, 0, 0, 1, 0x26, 1});
  HevcAuInfo i = parse_hevc_au_info_splice(idr.data(), idr.size());
  EXPECT_TRUE(i.has_irap);
  EXPECT_TRUE(i.has_vcl);
  EXPECT_FALSE(i.has_vps);

  // Three parameter sets and a CRA behind 3- and 4-byte start codes, with payload.
  auto au = bytes({0, 0, 0, 1, 0x40, 1, 9, 9, 9, 9, 9, 9,   // VPS
                   0, 0, 1, 0x42, 1, 9, 9, 9, 9, 9, 9,      // SPS
                   0, 0, 1, 0x44, 1, 9, 9, 9, 9, 9, 9,      // PPS
                   0, 0, 1, 0x2A, 1, 9, 9, 9, 9, 9, 9, 9});  // CRA_NUT (21)
  HevcAuInfo all = parse_hevc_au_info_splice(au.data(), au.size());
  EXPECT_TRUE(all.has_vps && all.has_sps && all.has_pps && all.has_irap && all.has_vcl);

  // A trailing start code without its two header bytes is not read past the end.
  auto trailing = bytes({0, 0, 1, 0x02, 1, 7, 7, 7, 7, 7, 0, 0, 1});
  HevcAuInfo t = parse_hevc_au_info_splice(trailing.data(), trailing.size());
  EXPECT_TRUE(t.has_vcl);
  EXPECT_FALSE(t.has_irap);

  // Types 22..31 are reserved VCL: VCL without IRAP. 35 (AUD) is neither.
  auto reserved = bytes({0, 0, 1, 22 << 1, 1, 5, 5, 5, 5, 5, 5, 5});
  HevcAuInfo r = parse_hevc_au_info_splice(reserved.data(), reserved.size());
  EXPECT_TRUE(r.has_vcl);
  EXPECT_FALSE(r.has_irap);
  auto aud = bytes({0, 0, 1, 35 << 1, 1, 0x50, 0, 0, 0, 0, 0});
  HevcAuInfo a = parse_hevc_au_info_splice(aud.data(), aud.size());
  EXPECT_FALSE(a.has_vcl || a.has_irap || a.has_vps);
}

TEST(SpliceScan, RealAccessUnits) {
  auto aus = hevc_access_units(10, 160, 128, 5);
  ASSERT_EQ(aus.size(), 10u);
  HevcAuInfo first = parse_hevc_au_info_splice(aus[0].bytes.data(), aus[0].bytes.size());
  EXPECT_TRUE(first.has_vps && first.has_sps && first.has_pps && first.has_irap);
  HevcAuInfo second = parse_hevc_au_info_splice(aus[1].bytes.data(), aus[1].bytes.size());
  EXPECT_TRUE(second.has_vcl);
  EXPECT_FALSE(second.has_irap || second.has_vps);
}

TEST_F(SpliceClip, ArgumentAndRegistryCodes) {
  FrameLog log;
  auto cb = log.callback();
  std::function<int8_t(const Image&)> empty;
  EXPECT_EQ(start_splice_stream("s-args", empty), -1);
  EXPECT_EQ(start_splice_stream("", cb), -1);
  EXPECT_EQ(stop_splice_stream("s-args"), -3);  // the refused start registered nothing

  ASSERT_EQ(start_splice_stream("s-args", cb), 0);
  EXPECT_EQ(start_splice_stream("s-args", cb), -2);
  uint8_t b = 0;
  EXPECT_EQ(decode_put_frame_splice(nullptr, 10, "s-args", 0, false), -1);
  EXPECT_EQ(decode_put_frame_splice(&b, 0, "s-args", 0, false), -1);
  EXPECT_EQ(decode_put_frame_splice(&b, 1, "", 0, false), -1);
  EXPECT_EQ(decode_put_frame_splice(&b, 1, "s-unknown", 0, false), -3);
  EXPECT_EQ(stop_splice_stream("s-unknown"), -3);
  EXPECT_EQ(stop_splice_stream("s-args"), 0);
  const auto& au = aus()[0].bytes;
  EXPECT_EQ(decode_put_frame_splice(au.data(), au.size(), "s-args", 0, false), -3);
  EXPECT_EQ(stop_splice_stream("s-args"), -3);
  // The id is free again after a stop.
  ASSERT_EQ(start_splice_stream("s-args", cb), 0);
  EXPECT_EQ(stop_splice_stream("s-args"), 0);
}

TEST_F(SpliceClip, AdmissionWaitsForParameterSetsThenKeyFrame) {
  FrameLog log;
  auto cb = log.callback();
  ASSERT_EQ(start_splice_stream("s-admit", cb), 0);

  auto nals = split_nals(aus()[0].bytes);
  std::vector<std::vector<uint8_t>> params, slices;
  for (auto& n : nals) {
    int t = nal_type(n);
    if (t >= 32 && t <= 34)
      params.push_back(n);
    else if (t < 32)
      slices.push_back(n);
  }
  ASSERT_EQ(params.size(), 3u);
  ASSERT_FALSE(slices.empty());
  auto params_only = concat(params);
  auto key_only = concat(slices);
  const auto& p_frame = aus()[1].bytes;

  // Nothing before the parameter sets, not even a P-frame.
  EXPECT_EQ(decode_put_frame_splice(p_frame.data(), p_frame.size(), "s-admit", 40000000, false), -6);
  // Parameter sets alone: still dropped, stream now waits for a key frame.
  EXPECT_EQ(decode_put_frame_splice(params_only.data(), params_only.size(), "s-admit", 0, false), -6);
  EXPECT_EQ(decode_put_frame_splice(p_frame.data(), p_frame.size(), "s-admit", 40000000, false), -6);
  // The key frame admits. Parameter sets were dropped, so hand them over again with it:
  // the caller's usual pattern of repeating them before every IDR.
  auto key_with_params = concat({params_only, key_only});
  EXPECT_EQ(decode_put_frame_splice(key_with_params.data(), key_with_params.size(), "s-admit", 0, false), 0);
  for (size_t i = 1; i < aus().size(); ++i)
    EXPECT_EQ(decode_put_frame_splice(aus()[i].bytes.data(), aus()[i].bytes.size(), "s-admit",
                                      aus()[i].pts, false),
              0)
        << "access unit " << i;
  EXPECT_EQ(stop_splice_stream("s-admit"), 0);
  EXPECT_EQ(log.count.load(), (int)aus().size());
}

TEST_F(SpliceClip, DeclaredKeyFrameAdmitsWithoutIrap) {
  FrameLog log;
  auto cb = log.callback();
  ASSERT_EQ(start_splice_stream("s-declared", cb), 0);
  auto nals = split_nals(aus()[0].bytes);
  std::vector<std::vector<uint8_t>> params;
  for (auto& n : nals)
    if (nal_type(n) >= 32 && nal_type(n) <= 34) params.push_back(n);
  auto params_only = concat(params);
  EXPECT_EQ(decode_put_frame_splice(params_only.data(), params_only.size(), "s-declared", 0, false), -6);
  const auto& p_frame = aus()[1].bytes;
  // The caller's word is taken: a non-IRAP unit declared key is admitted.
  EXPECT_EQ(decode_put_frame_splice(p_frame.data(), p_frame.size(), "s-declared", 40000000, true), 0);
  EXPECT_EQ(decode_put_frame_splice(p_frame.data(), p_frame.size(), "s-declared", 80000000, false), 0);
  EXPECT_EQ(stop_splice_stream("s-declared"), 0);
}

TEST_F(SpliceClip, EveryAdmittedFrameArrivesAsNv12) {
  FrameLog log;
  auto cb = log.callback();
  ASSERT_EQ(start_splice_stream("s-decode", cb), 0);
  // The clip has B-frames: access units go in decode order with their presentation
  // times, frames come out in presentation order.
  std::set<int64_t> pushed;
  for (size_t i = 0; i < aus().size(); ++i) {
    int64_t pts = aus()[i].pts;
    pushed.insert(pts);
    ASSERT_EQ(decode_put_frame_splice(aus()[i].bytes.data(), aus()[i].bytes.size(), "s-decode", pts, false), 0);
  }
  // Stop drains the decoder: frames still inside it are delivered before it returns.
  EXPECT_EQ(stop_splice_stream("s-decode"), 0);
  ASSERT_EQ(log.count.load(), (int)aus().size());
  std::set<int64_t> seen;
  for (const Image& f : log.frames) {
    EXPECT_EQ(f.stream_id, "s-decode");
    EXPECT_EQ(f.width, 320);
    EXPECT_EQ(f.height, 240);
    EXPECT_EQ(f.src_width, 320);
    EXPECT_EQ(f.src_height, 240);
    EXPECT_EQ(f.stride, 320);
    EXPECT_EQ(f.scanlines, 240);
    EXPECT_EQ(f.format, "NV12");
    EXPECT_GE(f.size, (size_t)320 * 240 * 3 / 2);
    EXPECT_TRUE(f.timestamp.empty());
    EXPECT_EQ(f.frame_index, 0);
    seen.insert(f.pts);
  }
  EXPECT_EQ(seen, pushed);
  EXPECT_EQ(seen.size(), aus().size());
  for (size_t k = 1; k < log.frames.size(); ++k) EXPECT_GT(log.frames[k].pts, log.frames[k - 1].pts);
}

TEST_F(SpliceClip, FramePixelsAreTheDecodedPicture) {
  // The callback sees real picture data: luma varies across a test pattern frame and
  // the chroma plane follows the luma plane.
  std::atomic<int> textured{0};
  std::function<int8_t(const Image&)> cb = [&](const Image& img) -> int8_t {
    int mn = 255, mx = 0;
    for (int y = 0; y < img.height; y += 7)
      for (int x = 0; x < img.width; x += 5) {
        int v = img.data[(size_t)y * img.stride + x];
        mn = std::min(mn, v);
        mx = std::max(mx, v);
      }
    if (mx - mn > 50) ++textured;
    return 0;
  };
  ASSERT_EQ(start_splice_stream("s-pixels", cb), 0);
  for (size_t i = 0; i < 10; ++i)
    ASSERT_EQ(decode_put_frame_splice(aus()[i].bytes.data(), aus()[i].bytes.size(), "s-pixels",
                                      aus()[i].pts, false),
              0);
  EXPECT_EQ(stop_splice_stream("s-pixels"), 0);
  EXPECT_EQ(textured.load(), 10);
}

TEST_F(SpliceClip, ManyStreamsFromManyThreads) {
  constexpr int kStreams = 3;
  FrameLog logs[kStreams];
  std::vector<std::function<int8_t(const Image&)>> cbs;
  for (int s = 0; s < kStreams; ++s) cbs.push_back(logs[s].callback());
  for (int s = 0; s < kStreams; ++s) ASSERT_EQ(start_splice_stream("s-many-" + std::to_string(s), cbs[s]), 0);

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < kStreams; ++s)
    threads.emplace_back([&, s] {
      std::string id = "s-many-" + std::to_string(s);
      for (size_t i = 0; i < aus().size(); ++i)
        if (decode_put_frame_splice(aus()[i].bytes.data(), aus()[i].bytes.size(), id, aus()[i].pts, false) != 0)
          ++failures;
    });
  // A thread hammering codes that must stay consistent while the others push.
  threads.emplace_back([&] {
    for (int k = 0; k < 200; ++k) {
      uint8_t b = 1;
      if (decode_put_frame_splice(&b, 1, "s-many-none", 0, false) != -3) ++failures;
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (int s = 0; s < kStreams; ++s) EXPECT_EQ(stop_splice_stream("s-many-" + std::to_string(s)), 0);
  for (int s = 0; s < kStreams; ++s) {
    EXPECT_EQ(logs[s].count.load(), (int)aus().size()) << "stream " << s;
    for (auto& f : logs[s].frames) EXPECT_EQ(f.stream_id, "s-many-" + std::to_string(s));
  }
}

TEST_F(SpliceClip, StopRacesPushesFromOtherThreads) {
  for (int round = 0; round < 3; ++round) {
    FrameLog log;
    auto cb = log.callback();
    ASSERT_EQ(start_splice_stream("s-race", cb), 0);
    std::atomic<bool> go{true};
    std::atomic<int> bad{0}, accepted{0};
    std::vector<std::thread> pushers;
    for (int t = 0; t < 2; ++t)
      pushers.emplace_back([&] {
        size_t i = 0;
        while (go) {
          const auto& au = aus()[i % aus().size()];
          int r = decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "s-race", -1, false);
          if (r != 0 && r != -3 && r != -5 && r != -6 && r != -7) ++bad;
          if (r == 0) ++accepted;
          if (r == -3) break;
          ++i;
        }
      });
    // Each round stops later into the stream: after more accepted pushes, not more time.
    const int target = 10 * (round + 1);
    wait_until([&] { return accepted.load() >= target; }, std::chrono::seconds(60));
    EXPECT_EQ(stop_splice_stream("s-race"), 0);
    go = false;
    for (auto& t : pushers) t.join();
    EXPECT_EQ(bad.load(), 0);
  }
}

TEST_F(SpliceClip, DecoderErrorLeavesPushesNotRunningUntilStop) {
  FrameLog log;
  auto cb = log.callback();
  setenv("NMXSOFT_FAIL_AFTER_BUFFERS", "3", 1);
  int started = start_splice_stream("s-fail", cb);
  unsetenv("NMXSOFT_FAIL_AFTER_BUFFERS");
  ASSERT_EQ(started, 0);
  int last = 0;
  size_t i = 0;
  ASSERT_TRUE(wait_until([&] {
    const auto& au = aus()[i % aus().size()];
    last = decode_put_frame_splice(au.bytes.data(), au.bytes.size(), "s-fail", -1, false);
    ++i;
    return last == -5;
  }));
  // Still registered: the id cannot be reused, and pushes keep answering -5.
  EXPECT_EQ(start_splice_stream("s-fail", cb), -2);
  const auto& au = aus()[5].bytes;
  EXPECT_EQ(decode_put_frame_splice(au.data(), au.size(), "s-fail", -1, false), -5);
  EXPECT_EQ(stop_splice_stream("s-fail"), 0);
  EXPECT_EQ(decode_put_frame_splice(au.data(), au.size(), "s-fail", -1, false), -3);
  // A fresh start under the same id works again.
  ASSERT_EQ(start_splice_stream("s-fail", cb), 0);
  EXPECT_EQ(decode_put_frame_splice(aus()[0].bytes.data(), aus()[0].bytes.size(), "s-fail", 0, false), 0);
  EXPECT_EQ(stop_splice_stream("s-fail"), 0);
}

TEST_F(SpliceClip, GarbageNeverCrashes) {
  FrameLog log;
  auto cb = log.callback();
  ASSERT_EQ(start_splice_stream("s-garbage", cb), 0);
  std::mt19937 rng(1234);
  ASSERT_EQ(decode_put_frame_splice(aus()[0].bytes.data(), aus()[0].bytes.size(), "s-garbage", 0, false), 0);
  for (int k = 0; k < 200; ++k) {
    std::vector<uint8_t> junk(1 + rng() % 4000);
    for (auto& b : junk) b = (uint8_t)rng();
    if (k % 3 == 0 && junk.size() > 8) {  // junk behind a plausible slice header
      junk[0] = 0, junk[1] = 0, junk[2] = 1, junk[3] = (uint8_t)(rng() % 64) << 1, junk[4] = 1;
    }
    int r = decode_put_frame_splice(junk.data(), junk.size(), "s-garbage", -1, k % 2 == 0);
    EXPECT_TRUE(r == 0 || r == -5 || r == -7) << r;
    // Truncated real access units too.
    const auto& au = aus()[1 + k % (aus().size() - 1)].bytes;
    size_t cut = 1 + rng() % au.size();
    r = decode_put_frame_splice(au.data(), cut, "s-garbage", -1, false);
    EXPECT_TRUE(r == 0 || r == -5 || r == -7) << r;
  }
  EXPECT_EQ(stop_splice_stream("s-garbage"), 0);
}

TEST_F(SpliceClip, ExitWithStreamsLeftRunningIsClean) {
  // A running stream and one that ended by itself are both still registered at exit;
  // the process must leave through exit() without std::terminate or a hang.
  auto body = [] {
    std::function<int8_t(const Image&)> cb = [](const Image&) -> int8_t { return 0; };
    if (start_splice_stream("s-exit-running", cb) != 0) _exit(3);
    setenv("NMXSOFT_FAIL_AFTER_BUFFERS", "1", 1);
    if (start_splice_stream("s-exit-ended", cb) != 0) _exit(4);
    unsetenv("NMXSOFT_FAIL_AFTER_BUFFERS");
    for (int k = 0; k < 500; ++k) {
      const auto& au = aus()[k % aus().size()].bytes;
      decode_put_frame_splice(au.data(), au.size(), "s-exit-running", -1, false);
      if (decode_put_frame_splice(au.data(), au.size(), "s-exit-ended", -1, false) == -5) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    exit(0);
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}
