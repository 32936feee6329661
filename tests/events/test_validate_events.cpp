// nimbra-run validate on the keys of events, MQTT and metrics: one problem per fault at
// the right line, what only this machine can tell (a port in use, a broker that does not
// answer), and the command itself.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "nimbra-validate.h"
#include "nimbra_test/process.h"
#include "nimbra_test/temp_dir.h"

using nimbra_validate::Problem;

namespace {

// A listening socket on 127.0.0.1 (what holds a port, or a broker that accepts).
struct Listener {
  int fd = -1, port = 0;
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || listen(fd, 8) != 0) throw std::runtime_error("listen");
    getsockname(fd, (sockaddr*)&a, &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
};

std::string stream(const std::string& extra) {
  return "{\"streamsId\": \"cam\", \"properties\": {\"inputType\": \"rtsp\", \"inputAddr\": \"rtsp://127.0.0.1/cam\"" + extra + "}}";
}

std::vector<std::string> messages(const std::vector<Problem>& ps, bool with_line = false) {
  std::vector<std::string> out;
  for (const Problem& p : ps)
    // Not about this machine's plug-ins, nor about the input file (the entries name none).
    if (p.message.find("GStreamer element") == std::string::npos &&
        p.message.find("input file \"/x.mp4\"") == std::string::npos)
      out.push_back((with_line ? std::to_string(p.line) + ": " : "") + p.message);
  return out;
}

}  // namespace

TEST(ValidateEvents, CleanKeysPassAndFaultsAreOneLineEach) {
  Listener broker;
  const std::string good = "{\"streams\": [" +
                           stream(", \"events\": {\"minFrames\": 2, \"labels\": [\"person\"]},"
                                  " \"zones\": [{\"name\": \"door\", \"points\": [[1,1],[50,1],[50,50]]}],"
                                  " \"lines\": [{\"name\": \"gate\", \"points\": [[0,0.5],[1,0.5]], \"normalized\": true}]") +
                           "], \"metricsPort\": 0, \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": " +
                           std::to_string(broker.port) + ", \"clientId\": \"b\"}}";
  EXPECT_EQ(messages(nimbra_validate::validate_text(good)), std::vector<std::string>{});

  const std::string bad = "{\"streams\": [" +
                          stream(",\n \"zones\": [{\"name\": \"door\", \"points\": [[1,1],[50,1]]}],\n"
                                 " \"lines\": [{\"name\": \"gate\", \"points\": [[3,4],[3,4]]}],\n"
                                 " \"events\": {\"minFrame\": 2}") +
                          "],\n \"mqtt\": {\"hots\": \"x\"},\n \"metricsPort\": \"9100\"}";
  const auto got = messages(nimbra_validate::validate_text(bad), true);
  const std::vector<std::string> want = {
      "2: stream \"cam\": zone \"door\" has 2 points; a polygon needs at least 3",
      "3: stream \"cam\": line \"gate\" has zero length (both points are [3, 4])",
      "4: stream \"cam\": unknown key \"minFrame\" in \"events\" (did you mean \"minFrames\"?)",
      "5: unknown key \"hots\" in \"mqtt\" (did you mean \"host\"?)",
      "6: \"metricsPort\" must be an integer, not a string (write the number without quotes)",
  };
  EXPECT_EQ(got, want);
}

TEST(ValidateEvents, PortInUseAndBrokerThatDoesNotAnswer) {
  Listener taken;
  const int closed = nimbra_test::free_tcp_port();  // nothing listens there
  const std::string text = "{\"streams\": [], \"metricsPort\": " + std::to_string(taken.port) +
                           ", \"mqtt\": {\"host\": \"127.0.0.1\", \"port\": " + std::to_string(closed) + "}}";
  const auto got = messages(nimbra_validate::validate_text(text));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "metrics port " + std::to_string(taken.port) +
                        " on 127.0.0.1 is in use (by another program, or by a running nimbra-run)");
  EXPECT_EQ(got[1], "warning: MQTT broker 127.0.0.1:" + std::to_string(closed) +
                        " cannot be reached from here now (Connection refused); streams would run and their events "
                        "wait in \"spoolDir\" until it is up");
  // Only the named streams' keys when ids are given: the top level is not checked then.
  EXPECT_EQ(messages(nimbra_validate::validate_text("{\"streams\": [" + stream("") + "], \"metricsPort\": " +
                                                        std::to_string(taken.port) + "}",
                                                    {"cam"})),
            std::vector<std::string>{});
}

TEST(ValidateEvents, TheCommandReportsAndFails) {
  nimbra_test::TempDir dir("nimbra-validate-ev");
  const std::string conf = dir.file("c.conf");
  FILE* f = fopen(conf.c_str(), "w");
  fputs(("{\"streams\": [" + stream(", \"lines\": [{\"name\": \"l\", \"points\": [[0,0],[0,0]]}]") + "]}").c_str(), f);
  fclose(f);
  nimbra_test::Process p({NIMBRA_RUN_PATH, "validate", "--config", conf});
  ASSERT_TRUE(p.wait(std::chrono::seconds(120)));
  EXPECT_TRUE(WIFEXITED(p.status()) && WEXITSTATUS(p.status()) == 1);
  bool found = false;
  for (const std::string& l : p.lines())
    if (l.find("c.conf:1:") != std::string::npos && l.find("line \"l\" has zero length") != std::string::npos) found = true;
  EXPECT_TRUE(found);
}

// "eventClips": a clean entry passes; each fault is one line, where it is.
TEST(ValidateEvents, EventClipsKeysAndTheStreamsThatCanKeepClips) {
  const std::string good =
      "{\"streams\": [" + stream(", \"eventClips\": {\"pre\": 5, \"post\": 5, \"ringSeconds\": 60, \"dir\": \"/tmp/c\"}") + "]}";
  EXPECT_EQ(messages(nimbra_validate::validate_text(good)), std::vector<std::string>{});

  const std::string bad =
      "{\"streams\": [" + stream(",\n \"eventClips\": {\"pre\": 5, \"postt\": 5}") + ",\n" +
      "{\"streamsId\": \"b\", \"properties\": {\"inputType\": \"file\", \"inputAddr\": \"/x.mp4\",\n"
      " \"eventClips\": {\"pre\": 30, \"ringSeconds\": 20}}},\n"
      "{\"streamsId\": \"c\", \"properties\": {\"inputType\": \"usbcam\", \"inputAddr\": \"/dev/video0\", \"width\": 640, \"height\": 480,\n"
      " \"eventClips\": {\"post\": -1}}},\n"
      "{\"streamsId\": \"d\", \"properties\": {\"inputType\": \"file\", \"inputAddr\": \"/x.mp4\",\n"
      " \"eventClips\": 5}}]}";
  const auto got = messages(nimbra_validate::validate_text(bad), true);
  const std::vector<std::string> want = {
      "2: stream \"cam\": unknown key \"postt\" in \"eventClips\" (did you mean \"post\"?)",
      "4: stream \"b\": \"ringSeconds\" (20) must be at least \"pre\" plus two segments (34): the ring must still hold "
      "the pre-roll when an event comes",
      "6: stream \"c\": \"eventClips\" needs an encoded input to keep (\"inputType\" file, rtsp or rtmp), not \"usbcam\"",
      "6: stream \"c\": \"post\" is in seconds and must be within 0..600, not -1",
      "8: \"eventClips\" must be an object, not an integer",
  };
  EXPECT_EQ(got, want);
}
