// SIGINT: the handler only writes to a pipe and then calls the handler the host had
// installed before (Python's KeyboardInterrupt, a program's own Ctrl+C handling keep
// working). A forwarder thread stops every registered stream through the registry, each
// by its own stop action, so recordings of every kind are finalised.
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
std::once_flag g_sigint_once;
struct sigaction g_host_sigint = {};
volatile sig_atomic_t g_host_saved = 0;

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

void forward(int sig, siginfo_t* info, void* uctx) {
  const int saved = errno;
  if (g_sigint_pipe[1] >= 0) {
    char c = 1;
    ssize_t r = write(g_sigint_pipe[1], &c, 1);
    (void)r;
  }
  errno = saved;
  if (!g_host_saved) return;
  // The host's handler runs after ours. The default action (terminate) is not taken:
  // the streams are being ended and finalised instead, and their start calls return.
  if (g_host_sigint.sa_flags & SA_SIGINFO) {
    if (g_host_sigint.sa_sigaction) g_host_sigint.sa_sigaction(sig, info, uctx);
  } else if (g_host_sigint.sa_handler != SIG_DFL && g_host_sigint.sa_handler != SIG_IGN &&
             g_host_sigint.sa_handler) {
    g_host_sigint.sa_handler(sig);
  }
}

void on_sigint_info(int sig, siginfo_t* info, void* uctx) { forward(sig, info, uctx); }

}  // namespace

void add_sigint_action(std::function<void()> action) {
  std::lock_guard<std::mutex> g(g_sigint_actions_mutex);
  g_sigint_actions.push_back(std::move(action));
}

void install_sigint_forwarder() {
  std::call_once(g_sigint_once, [] {
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
    struct sigaction sa = {};
    sa.sa_sigaction = on_sigint_info;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_SIGINFO;
    struct sigaction old = {};
    if (sigaction(SIGINT, &sa, &old) == 0) {
      g_host_sigint = old;
      g_host_saved = 1;
    }
  });
}

}  // namespace nimbra_internal

void handle_sigint(int sig) { nimbra_internal::forward(sig, nullptr, nullptr); }
