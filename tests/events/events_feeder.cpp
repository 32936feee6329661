// A process that runs the event services for the MQTT tests, which kill it.
//   events_feeder <config> spool <tracks>   feed <tracks> tracks (a new and an end event each)
//                                           into stream "cam", print "SPOOLED <n>" once all
//                                           are in the spool directory, then wait
//   events_feeder <config> deliver          print "DELIVERED <n>" once the queue is empty and
//                                           something was delivered, then wait
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "StreamEvents.h"

using namespace Velkor::Nimbra;

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (start_event_services(argv[1]) != 0) {
    printf("START FAILED\n");
    fflush(stdout);
    return 1;
  }
  const std::string mode = argv[2];
  StreamEventConfig c;
  c.min_frames = 1;
  set_stream_event_config("cam", c);
  // The waits below are for conditions; the limit only keeps a broken run from lingering.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  if (mode == "spool") {
    const int tracks = argc > 3 ? atoi(argv[3]) : 10;
    int64_t frame = 0;
    for (int i = 0; i < tracks; ++i) {
      DetectedObject o;
      o.track_id = i;
      o.label = "person";
      o.confidence = 0.9f;
      o.width = o.height = 10;
      feed_event_frame(EventFrame{"cam", ++frame, frame * 40000000, 640, 480, 0}, {o});
      feed_event_frame(EventFrame{"cam", ++frame, frame * 40000000, 640, 480, 0}, {});
    }
    while (mqtt_status().spooled < (uint64_t)(2 * tracks) && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    printf("SPOOLED %llu\n", (unsigned long long)mqtt_status().spooled);
  } else {
    MqttStatus s;
    while (((s = mqtt_status()).queued > 0 || s.published == 0) && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    printf("DELIVERED %llu\n", (unsigned long long)s.published);
  }
  fflush(stdout);
  for (;;) pause();
}
