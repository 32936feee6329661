#define NIMBRA_MODULE "modules/origin/src/StreamErrors"
#include "StreamErrors.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>

namespace nimbra_internal {

namespace {

// The last non-empty line of a debug text: where the elements put their reason.
std::string last_line(const std::string& text) {
  size_t end = text.find_last_not_of("\n ");
  if (end == std::string::npos) return std::string();
  size_t start = text.rfind('\n', end);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, end - start + 1);
}

std::string lower_first(std::string s) {
  if (!s.empty() && isupper((unsigned char)s[0]) && (s.size() < 2 || !isupper((unsigned char)s[1])))
    s[0] = (char)tolower((unsigned char)s[0]);
  while (!s.empty() && (s.back() == '.' || s.back() == ' ')) s.pop_back();
  return s;
}

bool is_network(const std::string& address) { return address.find("://") != std::string::npos; }

}  // namespace

std::string tcp_failure(const std::string& url, int timeout_ms) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return std::string();
  std::string rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) rest = rest.substr(at + 1);
  std::string host = rest, port;
  if (!rest.empty() && rest[0] == '[') {  // [v6]:port
    const size_t close = rest.find(']');
    host = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos && close + 1 < rest.size() && rest[close + 1] == ':') port = rest.substr(close + 2);
  } else if (rest.find(':') != std::string::npos) {
    host = rest.substr(0, rest.find(':'));
    port = rest.substr(rest.find(':') + 1);
  }
  if (port.empty()) {
    const std::string s = url.substr(0, scheme);
    port = s == "rtsp" ? "554" : s == "rtmp" ? "1935" : s == "http" ? "80" : s == "https" ? "443" : "";
  }
  if (host.empty() || port.empty()) return std::string();
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) return "host " + host + " not found";
  std::string reason = "timed out";
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int err = 0;
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, timeout_ms) == 1) {
          socklen_t len = sizeof err;
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        } else {
          err = ETIMEDOUT;
        }
      }
    }
    close(fd);
    if (err == 0) {
      freeaddrinfo(found);
      return std::string();
    }
    reason = err == ETIMEDOUT ? "timed out" : lower_first(strerror(err));
  }
  freeaddrinfo(found);
  return reason;
}

std::string describe_stream_error(const std::string& id, const std::string& address, GstMessage* error,
                                  bool from_input) {
  GError* err = nullptr;
  gchar* dbg = nullptr;
  gst_message_parse_error(error, &err, &dbg);
  const std::string message = err && err->message ? err->message : "unknown error";
  const std::string debug = dbg ? dbg : "";
  const std::string element = GST_OBJECT_NAME(GST_MESSAGE_SRC(error));
  const GQuark domain = err ? err->domain : 0;
  const int code = err ? err->code : 0;
  if (err) g_error_free(err);
  g_free(dbg);

  std::string what = "stream " + id + ": ";
  if (!from_input) return what + "output failed (" + element + "): " + lower_first(message);
  const std::string addr = address.empty() ? std::string("its input") : address;
  if (domain == GST_RESOURCE_ERROR) {
    if (is_network(address)) {
      std::string reason = tcp_failure(address);
      if (reason.empty()) reason = lower_first(last_line(debug).empty() ? message : last_line(debug));
      return what + "cannot connect to " + addr + ": " + reason;
    }
    const std::string reason = last_line(debug);
    return what + "cannot open " + addr + ": " + lower_first(reason.empty() ? message : reason);
  }
  if (domain == GST_STREAM_ERROR) {
    std::string s = what + "cannot decode " + addr + ": " + lower_first(message);
    if (code == GST_STREAM_ERROR_FAILED && debug.find("not-linked") != std::string::npos)
      s += " (its video is not the \"decodeType\" of the configuration?)";
    return s;
  }
  return what + addr + ": " + lower_first(message) + " (" + element + ")";
}

}  // namespace nimbra_internal
