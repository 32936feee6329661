// SIGINT while streams run: the first one stops every registered stream through its own
// stop action (recordings are finalised) and then runs the handler the host had installed
// before (Python's KeyboardInterrupt, a program's own Ctrl+C handling keep working). A
// second one while streams still drain gives the signal back to the host: its disposition
// is restored and the signal raised again, so Ctrl+C twice always ends a program. With no
// stream registered the library's handler is not installed at all.
//
// The handler only writes to a pipe; a forwarder thread does the stopping, outside signal
// context.
#define NIMBRA_MODULE "modules/origin/src/StreamSigint"
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

#include "StreamBuild.h"
#include "StreamLog.h"
#include "StreamRegistry.h"

namespace nimbra_internal {

namespace {
int g_sigint_pipe[2] = {-1, -1};
std::once_flag g_forwarder_once;

// Guards installing and removing the handler and the stream count.
std::mutex g_install_mutex;
int g_streams = 0;
struct sigaction g_host_sigint = {};
// Read in the handler: whether our handler is the installed one, and whether a SIGINT
// was forwarded since the streams started.
volatile sig_atomic_t g_installed = 0;
volatile sig_atomic_t g_forwarded = 0;

std::mutex g_sigint_actions_mutex;
std::vector<std::function<void()>> g_sigint_actions;

void on_sigint_forwarded() {
  NLOG_INFO("Received SIGINT signal, stopping every stream.");
  stop_all_streams(StopCause::Sigint);
  std::vector<std::function<void()>> actions;
  {
    std::lock_guard<std::mutex> g(g_sigint_actions_mutex);
    actions = g_sigint_actions;
  }
  for (auto& a : actions) a();
}

void call_host_handler(int sig, siginfo_t* info, void* uctx) {
  if (g_host_sigint.sa_flags & SA_SIGINFO) {
    if (g_host_sigint.sa_sigaction) g_host_sigint.sa_sigaction(sig, info, uctx);
  } else if (g_host_sigint.sa_handler != SIG_DFL && g_host_sigint.sa_handler != SIG_IGN &&
             g_host_sigint.sa_handler) {
    g_host_sigint.sa_handler(sig);
  }
}

// The host's disposition back in place and the signal raised again; it is delivered
// with that disposition once this handler returns (SIGINT is blocked while it runs).
void give_back(int sig) {
  g_installed = 0;
  sigaction(SIGINT, &g_host_sigint, nullptr);
  raise(sig);
}

void notify_forwarder() {
  if (g_sigint_pipe[1] >= 0) {
    char c = 1;
    ssize_t r = write(g_sigint_pipe[1], &c, 1);
    (void)r;
  }
}

void forward(int sig, siginfo_t* info, void* uctx) {
  const int saved = errno;
  if (!g_installed || g_forwarded) {
    // No stream is registered any more (the handler is about to be removed), or the
    // streams are still draining after the first SIGINT: the host decides.
    give_back(sig);
  } else {
    g_forwarded = 1;
    notify_forwarder();
    // The host's own handler runs after ours. Its default action (terminate) is not taken
    // on the first SIGINT: the streams are ended and finalised instead.
    call_host_handler(sig, info, uctx);
  }
  errno = saved;
}

void on_sigint_info(int sig, siginfo_t* info, void* uctx) { forward(sig, info, uctx); }

void start_forwarder() {
  std::call_once(g_forwarder_once, [] {
    if (pipe2(g_sigint_pipe, O_CLOEXEC) != 0) return;
    fcntl(g_sigint_pipe[1], F_SETFL, O_NONBLOCK);
    std::thread([] {
      char c;
      for (;;) {
        ssize_t n = read(g_sigint_pipe[0], &c, 1);
        if (n == 1)
          on_sigint_forwarded();
        else if (n < 0 && errno == EINTR)
          continue;
        else
          break;
      }
    }).detach();
  });
}

}  // namespace

void add_sigint_action(std::function<void()> action) {
  std::lock_guard<std::mutex> g(g_sigint_actions_mutex);
  g_sigint_actions.push_back(std::move(action));
}

void sigint_stream_added() {
  start_forwarder();
  std::lock_guard<std::mutex> g(g_install_mutex);
  if (g_streams++ > 0) return;
  struct sigaction sa = {};
  sa.sa_sigaction = on_sigint_info;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART | SA_SIGINFO;
  struct sigaction old = {};
  // A host that ignores SIGINT keeps ignoring it.
  if (sigaction(SIGINT, nullptr, &old) != 0 || (!(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_IGN)) return;
  g_host_sigint = old;
  g_forwarded = 0;
  g_installed = 1;
  if (sigaction(SIGINT, &sa, nullptr) != 0) g_installed = 0;
}

void sigint_stream_removed() {
  std::lock_guard<std::mutex> g(g_install_mutex);
  if (g_streams == 0 || --g_streams > 0) return;
  if (!g_installed) return;
  struct sigaction now = {};
  g_installed = 0;
  // A host that installed a handler of its own meanwhile keeps it.
  if (sigaction(SIGINT, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) && now.sa_sigaction == on_sigint_info)
    sigaction(SIGINT, &g_host_sigint, nullptr);
  g_forwarded = 0;
}

}  // namespace nimbra_internal

// Exported for hosts that install it as their own handler: every stream is stopped, as on
// the library's first SIGINT (nothing runs when no stream was ever started).
void handle_sigint(int) {
  const int saved = errno;
  nimbra_internal::notify_forwarder();
  errno = saved;
}
