#include "nimbra-validate-events.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "StreamDetect.h"

namespace nimbra_validate {

namespace {

// "" when something on this machine could listen on address:port now, else why not.
std::string port_problem(const std::string& address, int port) {
  addrinfo hints{}, *res = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || !res)
    return "\"metricsAddress\" " + address + " is not an address of this machine";
  std::string why;
  const int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, res->ai_addr, res->ai_addrlen) != 0)
    why = errno == EADDRINUSE ? "metrics port " + std::to_string(port) + " on " + address +
                                    " is in use (by another program, or by a running nimbra-run)"
                              : "cannot serve metrics on " + address + ":" + std::to_string(port) + " (" +
                                    strerror(errno) + ")";
  if (fd >= 0) close(fd);
  freeaddrinfo(res);
  return why;
}

// "" when a TCP connection to host:port succeeds within a short time, else why not.
std::string reach_problem(const std::string& host, int port) {
  addrinfo hints{}, *res = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (rc != 0 || !res) return std::string("host not found: ") + gai_strerror(rc);
  std::string why = "no answer within 2 s";
  for (addrinfo* a = res; a; a = a->ai_next) {
    const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) continue;
    int r = connect(fd, a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 2000) == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        r = err ? -1 : 0;
        errno = err;
      } else {
        errno = ETIMEDOUT;
      }
    }
    if (r == 0) why.clear();
    else why = strerror(errno);
    close(fd);
    if (why.empty()) break;
  }
  freeaddrinfo(res);
  return why;
}

}  // namespace

std::vector<nimbra_internal::ConfigProblem> check_event_keys(const Json::Value& root,
                                                             const std::vector<std::string>& ids) {
  std::vector<nimbra_internal::ConfigProblem> out;
  if (!root.isObject()) return out;
  // A key of the wrong JSON type is reported by the generic key checks already.
  auto reported = [](const nimbra_internal::ConfigProblem& p, const Json::Value& obj) {
    for (const char* k : {"events", "mqtt", "eventClips"})
      if (obj.isMember(k) && p.at == &obj[k] && !obj[k].isObject()) return true;
    for (const char* k : {"zones", "lines"})
      if (obj.isMember(k) && p.at == &obj[k] && !obj[k].isArray()) return true;
    if (obj.isMember("metricsPort") && p.at == &obj["metricsPort"] && !obj["metricsPort"].isInt()) return true;
    if (obj.isMember("metricsAddress") && p.at == &obj["metricsAddress"] && !obj["metricsAddress"].isString())
      return true;
    return false;
  };
  const Json::Value& streams = root["streams"];
  std::vector<std::string> seen;
  if (streams.isArray()) {
    for (const Json::Value& s : streams) {
      if (!s.isObject() || !s["properties"].isObject()) continue;
      const std::string id = s["streamsId"].isString() ? s["streamsId"].asString() : std::string();
      if (!ids.empty() && std::find(ids.begin(), ids.end(), id) == ids.end()) continue;
      // A repeated id is reported as such; its entry is not used.
      if (!id.empty() && std::find(seen.begin(), seen.end(), id) != seen.end()) continue;
      seen.push_back(id);
      Velkor::Nimbra::StreamEventConfig cfg;
      std::vector<nimbra_internal::ConfigProblem> problems;
      nimbra_internal::read_stream_events(s["properties"], cfg, problems);
      nimbra_internal::EventClipConfig clips;
      nimbra_internal::read_event_clips(s["properties"], clips, problems);
      for (auto& p : problems) {
        if (reported(p, s["properties"])) continue;
        const bool warn = p.message.rfind("warning: ", 0) == 0;
        p.message = (warn ? "warning: " : "") + std::string("stream \"") + id + "\": " + p.message.substr(warn ? 9 : 0);
        out.push_back(p);
      }
      // "detect": the model and labels files are read as the stream would read them.
      const Json::Value& props = s["properties"];
      if (props.isMember("detect") && props["detect"].isObject()) {
        nimbra_internal::DetectConfig detect;
        std::vector<nimbra_internal::ConfigProblem> found;
        nimbra_internal::read_stream_detect(props, detect, found, true);
        if (!nimbra_internal::detect_available())
          found.push_back({&props["detect"], true, false,
                           "\"detect\" needs a library built with detection (NIMBRA_STREAM_DETECT is OFF)"});
        for (auto& p : found) {
          p.message = (p.warning ? "warning: " : "") + std::string("stream \"") + id + "\": detect: " + p.message;
          out.push_back(p);
        }
      }
    }
  }
  if (!ids.empty()) return out;
  nimbra_internal::ServicesConfig cfg;
  std::vector<nimbra_internal::ConfigProblem> problems;
  nimbra_internal::read_services(root, cfg, problems);
  const bool bad = nimbra_internal::has_error(problems);
  for (const auto& p : problems)
    if (!reported(p, root)) out.push_back(p);
  if (bad) return out;
  if (cfg.metrics_port > 0) {
    const std::string why = port_problem(cfg.metrics_address, cfg.metrics_port);
    if (!why.empty()) out.push_back({&root["metricsPort"], true, false, why});
  }
  if (cfg.mqtt.enabled) {
    const std::string why = reach_problem(cfg.mqtt.host, cfg.mqtt.port);
    if (!why.empty())
      out.push_back({&root["mqtt"], true, true,
                     "warning: MQTT broker " + cfg.mqtt.host + ":" + std::to_string(cfg.mqtt.port) +
                         " cannot be reached from here now (" + why +
                         "); streams would run and their events wait in \"spoolDir\" until it is up"});
  }
  return out;
}

}  // namespace nimbra_validate
