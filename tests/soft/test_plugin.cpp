// SPDX-License-Identifier: LGPL-2.1-or-later
// The plug-in as a user meets it: gst-inspect-1.0 run as a separate process
// with the test environment lists every board factory name with its metadata.
#include "soft_test_util.h"

namespace {

const char *const kFactories[] = {"qtivdec",     "qtic2vdec",   "v4l2h264dec", "v4l2h265dec", "qtic2venc",
                                  "v4l2h264enc", "v4l2h265enc", "qtivtransform", "qtivsplit"};

std::string run_inspect(const std::string &args, int *status)
{
  gchar *out = nullptr, *err = nullptr;
  GError *error = nullptr;
  std::string cmd = "gst-inspect-1.0 " + args;
  gboolean ok = g_spawn_command_line_sync(cmd.c_str(), &out, &err, status, &error);
  std::string res = ok ? (out ? out : "") : std::string("spawn failed: ") + (error ? error->message : "?");
  g_clear_error(&error);
  g_free(out);
  g_free(err);
  return res;
}

TEST(Plugin, InspectListsEveryFactory)
{
  int status = -1;
  std::string out = run_inspect("nmxsoft", &status);
  ASSERT_TRUE(g_spawn_check_wait_status(status, nullptr)) << out;
  for (const char *f : kFactories)
    EXPECT_NE(out.find(std::string(f) + ":"), std::string::npos) << f << " missing from:\n" << out;
}

TEST(Plugin, InspectShowsPropertiesAndKlass)
{
  struct {
    const char *factory;
    std::vector<const char *> needles;
  } cases[] = {
      {"v4l2h264dec", {"Codec/Decoder/Video/Hardware", "capture-io-mode", "output-io-mode", "discard-corrupted-frames",
                       "fail-after-buffers", "GstNmxSoftIOMode", "memory:GBM"}},
      {"qtic2venc", {"Codec/Encoder/Video/Hardware", "target-bitrate", "b-frames", "idr-interval", "video/x-h265"}},
      {"v4l2h265enc", {"target-bitrate", "b-frames", "capture-io-mode", "output-io-mode"}},
      {"qtivtransform", {"engine", "memory:GBM", "NV21", "BGRx"}},
      {"qtivsplit", {"src_%u", "On request"}},
  };
  for (const auto &c : cases) {
    int status = -1;
    std::string out = run_inspect(c.factory, &status);
    ASSERT_TRUE(g_spawn_check_wait_status(status, nullptr)) << c.factory << "\n" << out;
    EXPECT_NE(out.find("Nimbra"), std::string::npos) << c.factory;
    for (const char *n : c.needles)
      EXPECT_NE(out.find(n), std::string::npos) << c.factory << " lacks " << n;
  }
}

TEST(Plugin, FactoriesComeFromOurPlugin)
{
  for (const char *f : kFactories) {
    GstElementFactory *factory = gst_element_factory_find(f);
    ASSERT_TRUE(factory) << f;
    EXPECT_STREQ(gst_plugin_feature_get_plugin_name(GST_PLUGIN_FEATURE(factory)), "nmxsoft") << f;
    gst_object_unref(factory);
  }
}

}  // namespace
