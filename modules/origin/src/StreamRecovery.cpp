#include "StreamRecovery.h"

#include <algorithm>
#include <cstdio>

namespace nimbra_internal {

namespace {
using Event = Recovery::Event;
using State = Recovery::State;
using Why = Recovery::Why;
using OnError = RecoveryPolicy::OnError;
}  // namespace

Recovery::Step Recovery::finish(Step s, int result) {
  s.actions |= kFinish;
  s.result = result;
  s.attempt = attempt_;
  state_ = State::Done;
  return s;
}

Recovery::Step Recovery::start(uint64_t now) {
  Step s;
  state_ = State::Playing;
  attempt_ = 1;
  since_ = now;
  frames_at_ = 0;
  backoff_ = p_.first_backoff_ns;
  s.actions = kPlay;
  s.why = Why::Started;
  s.attempt = attempt_;
  return s;
}

Recovery::Step Recovery::step(const Input& in) {
  if (state_ == State::Done) return Step{};
  if (state_ == State::Draining) return in_draining(in);
  switch (in.event) {
    case Event::StopRequested:
      return on_stop(in);
    case Event::Tick:
      return on_tick(in);
    case Event::Eos:
    case Event::OutputOverdue:
      if (state_ == State::Paused || state_ == State::Starting) return Step{};
      if (p_.on_error == OnError::ReconnectInput) {
        // The input's own end-of-stream is kept from the output: this one came out of it.
        Step s;
        s.why = in.event == Event::Eos ? Why::Completed : Why::OutputUnconfirmed;
        return finish(s, 0);
      }
      return pipeline_ended(in);
    case Event::InputError:
      if (p_.on_error == OnError::ReconnectInput) {
        if (state_ == State::Playing || state_ == State::Connecting) return input_lost(in.now, in.why);
        return Step{};  // left over from an input already taken out
      }
      return state_ == State::Paused ? Step{} : pipeline_failed(in);
    case Event::Error:
      if (state_ == State::Paused || state_ == State::Starting) return Step{};
      if (p_.on_error == OnError::ReconnectInput) {
        // The output or a converter failed: reconnecting the input cannot help.
        Step s;
        s.why = Why::OutputFailed;
        s.error = in.why;
        return finish(s, -1);
      }
      return pipeline_failed(in);
    case Event::InputEnded:
      if (p_.on_error == OnError::ReconnectInput && (state_ == State::Playing || state_ == State::Connecting))
        return input_lost(in.now, "the input ended");
      return Step{};
    case Event::Built: {
      Step s;
      if (state_ == State::Reconnecting) {
        state_ = State::Connecting;
        since_ = in.now;
        frames_at_ = in.frames;
      } else if (state_ == State::Paused) {
        failed_builds_ = 0;
        next_ = Next::Play;
        resume_at_ = in.now + p_.rebuilt_pause_ns;
        frames_at_ = in.frames;
      }
      return s;
    }
    case Event::BuildFailed: {
      Step s;
      if (state_ == State::Reconnecting) {
        retry_at_ = in.now + backoff_;
        s.wait_ns = backoff_;
        backoff_ = std::min(backoff_ * 2, p_.max_backoff_ns);
        s.why = Why::ReconnectFailed;
      } else if (state_ == State::Paused) {
        s.attempt = ++failed_builds_;
        if (failed_builds_ >= p_.attempts) {
          s.why = Why::AttemptsExhausted;
          Step f = finish(s, -1);
          f.attempt = failed_builds_;
          return f;
        }
        next_ = Next::Rebuild;
        s.wait_ns = p_.release_pause_ns + p_.rebuilt_pause_ns;
        resume_at_ = in.now + s.wait_ns;
        s.why = Why::RebuildFailed;
      }
      return s;
    }
  }
  return Step{};
}

Recovery::Step Recovery::on_tick(const Input& in) {
  Step s;
  const bool reconnecting = p_.on_error == OnError::ReconnectInput;
  switch (state_) {
    case State::Playing:
    case State::Connecting: {
      if (state_ == State::Connecting || (!reconnecting && rebuilt_)) {
        if (in.frames > frames_at_) {
          state_ = State::Playing;
          rebuilt_ = false;
          backoff_ = p_.first_backoff_ns;
          ++reconnects_;
          s.why = Why::InputBack;
          return s;
        }
      }
      if (!reconnecting) return s;
      if (in.busy) return s;
      const uint64_t last = std::max(in.last_activity, since_);
      const uint64_t silence = in.now > last ? in.now - last : 0;
      // A fresh connection waits longer for its first frame: a camera sends a key frame
      // only every few seconds, however short the stall time.
      const uint64_t limit = in.frames > frames_at_ ? p_.stall_ns : std::max(p_.stall_ns, p_.first_frame_ns);
      if (silence > limit) {
        char why[64];
        snprintf(why, sizeof why, "no frame for %.1f s", (double)silence / 1e9);
        Step lost = input_lost(in.now, why);
        lost.silence_ns = silence;
        return lost;
      }
      return s;
    }
    case State::Reconnecting:
      if (in.now >= retry_at_) {
        s.actions = kBuildInput;
        s.why = Why::Reconnecting;
      }
      return s;
    case State::Paused:
      if (in.now < resume_at_) return s;
      if (next_ == Next::Rebuild) {
        s.actions = kRebuildPipeline;
        s.why = Why::Rebuilding;
      } else {
        state_ = State::Playing;
        rebuilt_ = true;
        s.actions = kPlay;
        s.why = Why::Rebuilt;
      }
      return s;
    default:
      return s;
  }
}

Recovery::Step Recovery::input_lost(uint64_t now, const std::string& why) {
  Step s;
  s.actions = kTearDownInput;
  s.why = Why::InputLost;
  s.error = why;
  s.wait_ns = backoff_;
  state_ = State::Reconnecting;
  retry_at_ = now + backoff_;
  backoff_ = std::min(backoff_ * 2, p_.max_backoff_ns);
  return s;
}

Recovery::Step Recovery::pipeline_failed(const Input& in) {
  Step s;
  s.error = in.why;
  switch (p_.on_error) {
    case OnError::End:
      s.why = Why::ErrorEnds;
      return finish(s, -1);
    case OnError::RebuildOrRetry:
      if (!p_.manual_rebuild) return rebuild(in.now, Why::ErrorRebuild, true, in.why);
      [[fallthrough]];
    case OnError::Retry:
    default:
      if (attempt_ >= p_.attempts) {
        s.why = Why::AttemptsExhausted;
        return finish(s, -1);
      }
      ++attempt_;
      // What the output holds is kept before the pipeline plays again from the start.
      s.actions = kFinaliseOutput | kResetPipeline | kPlay;
      s.why = Why::Retry;
      s.attempt = attempt_;
      return s;
  }
}

Recovery::Step Recovery::pipeline_ended(const Input& in) {
  Step s;
  if (p_.on_error == OnError::RebuildOrRetry && p_.rebuild_on_eos) {
    if (p_.records_mp4) {
      s.why = Why::EosRecording;
      return finish(s, 0);
    }
    if (p_.manual_rebuild) {
      s.why = Why::EosManual;
      return finish(s, 0);
    }
    return rebuild(in.now, Why::EosRebuild, false, "the input ended");
  }
  s.why = Why::Completed;
  s.attempt = attempt_;
  return finish(s, 0);
}

Recovery::Step Recovery::rebuild(uint64_t now, Why why, bool finalise, const std::string& error) {
  Step s;
  s.actions = (finalise ? kFinaliseOutput : 0u) | kReleasePipeline;
  s.why = why;
  s.error = error;
  s.wait_ns = p_.release_pause_ns;
  state_ = State::Paused;
  next_ = Next::Rebuild;
  resume_at_ = now + p_.release_pause_ns;
  rebuilt_ = false;
  return s;
}

Recovery::Step Recovery::on_stop(const Input& in) {
  Step s;
  switch (state_) {
    case State::Starting:
      s.why = Why::StopBeforePlay;
      return finish(s, 0);
    case State::Paused:
      // Nothing plays between a rebuild's steps: the stream ends here.
      s.why = Why::Stopped;
      return finish(s, 0);
    default:
      break;
  }
  if (!in.pipeline_playing) {
    // Nothing ever flowed (a source that never connected): nothing to finalise.
    s.why = Why::StopBeforePlay;
    return finish(s, 0);
  }
  before_stop_ = state_;
  state_ = State::Draining;
  drain_deadline_ = in.now + p_.drain_limit_ns;
  fallback_at_ = in.now + p_.stop_fallback_ns;
  resend_at_ = in.now + p_.eos_resend_ns;
  s.why = Why::Stopping;
  if (p_.on_error == OnError::ReconnectInput && before_stop_ != State::Playing) {
    // No live input to carry the end-of-stream: it goes in after the input.
    s.actions = kEndFromOutputSide;
    injected_ = true;
  }
  return s;
}

Recovery::Step Recovery::in_draining(const Input& in) {
  Step s;
  switch (in.event) {
    case Event::Eos:
      s.why = Why::Stopped;
      return finish(s, 0);
    case Event::OutputOverdue:
      s.why = Why::OutputUnconfirmed;
      return finish(s, 0);
    case Event::InputError:
      // The input failed on its way out: the output is finalised without it.
      if (!injected_) {
        s.actions = kEndFromOutputSide;
        s.why = Why::StopFallback;
        injected_ = true;
      }
      return s;
    case Event::Error:
      s.why = Why::Stopped;
      return finish(s, 0);
    case Event::Tick:
      if (in.now >= drain_deadline_) {
        s.why = Why::DrainTimeout;
        return finish(s, 0);
      }
      if (!injected_ && in.now >= fallback_at_) {
        // A source that hangs forwards nothing, not even the stop's end-of-stream.
        s.actions = kEndFromOutputSide;
        s.why = Why::StopFallback;
        injected_ = true;
      } else if (!injected_ && p_.on_error != OnError::ReconnectInput && in.now >= resend_at_) {
        s.actions = kResendEos;
        resend_at_ = in.now + p_.eos_resend_ns;
      }
      return s;
    default:
      return s;
  }
}

}  // namespace nimbra_internal
