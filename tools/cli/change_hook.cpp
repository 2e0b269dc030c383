#include "change_hook.h"

#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace wanseer_tools {

namespace {

using clock = std::chrono::steady_clock;

const char* const address_variable = "WANSEER_ADDRESS";
const char* const previous_variable = "WANSEER_PREVIOUS";

// How often stop() looks whether a process group is gone: members other
// than the run's shell are not this program's children, so nothing tells
// it when they end.
constexpr std::chrono::milliseconds group_poll{5};
// How long stop() waits, after SIGKILL, for the group's last members to
// end; they are this program's children by then (see the constructor), so
// only a member that some other live process has started can outlast it.
constexpr std::chrono::seconds reaped_bound{2};

bool names_variable(const char* entry, const char* name) {
  const std::size_t length = std::strlen(name);
  return std::strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// This process's environment without any earlier WANSEER_ADDRESS or
// WANSEER_PREVIOUS, plus the two for this run.
std::vector<std::string> run_environment(const std::string& address, const std::string& previous) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!names_variable(*entry, address_variable) && !names_variable(*entry, previous_variable)) {
      entries.emplace_back(*entry);
    }
  }
  entries.push_back(std::string(address_variable) + "=" + address);
  entries.push_back(std::string(previous_variable) + "=" + previous);
  return entries;
}

bool group_exists(pid_t group) {
  return kill(-group, 0) == 0 || errno == EPERM;
}

std::string seconds_text(std::chrono::milliseconds duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.12g s", static_cast<double>(duration.count()) / 1000.0);
  return text;
}

}  // namespace

change_hook::change_hook(std::string command, hook_timing timing, std::string delivered,
                         std::function<void(const std::string&)> on_delivered)
    : command_(std::move(command)),
      timing_(timing),
      delivered_(std::move(delivered)),
      on_delivered_(std::move(on_delivered)),
      next_pause_(timing.first_retry) {
  // What a run leaves behind when its shell ends becomes this program's
  // child rather than init's, so that it is reaped here at once: a zombie
  // would keep the run's process group alive, and an init that reaps late
  // would hold up stop().
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  // SIGCHLD ignored, as a parent may leave it through exec, would have the
  // kernel reap runs before their status could be read.
  signal(SIGCHLD, SIG_DFL);
}

change_hook::~change_hook() {
  stop();
}

void change_hook::address_changed(const std::string& address) {
  if (stopped_ || latest_ == address) {
    return;
  }
  latest_ = address;
  // A new address is worth a run at once, whatever failed before.
  retry_at_ = clock::now();
  next_pause_ = timing_.first_retry;
  check();
}

void change_hook::check() {
  end_stragglers(false);
  reap_orphans();
  if (running_ && !reap(false)) {
    const auto now = clock::now();
    if (!running_->ending_since && timing_.timeout.count() > 0 &&
        now - running_->started >= timing_.timeout) {
      std::fprintf(stderr,
                   "wanseer: --on-change command for %s still runs after %s (--hook-timeout); "
                   "ending it\n",
                   running_->address.c_str(), seconds_text(timing_.timeout).c_str());
      running_->timed_out = true;
      running_->ending_since = now;
      kill(-running_->pid, SIGTERM);
    } else if (running_->ending_since && now - *running_->ending_since >= timing_.kill_grace) {
      kill(-running_->pid, SIGKILL);
    }
    return;
  }
  if (!stopped_ && !running_ && latest_ && *latest_ != delivered_ && clock::now() >= retry_at_) {
    start(*latest_);
  }
}

void change_hook::stop() {
  stopped_ = true;
  if (running_) {
    if (!running_->ending_since) {
      running_->ending_since = clock::now();
      kill(-running_->pid, SIGTERM);
    }
    const pid_t group = running_->pid;
    const auto kill_at = *running_->ending_since + timing_.stop_grace;
    // The shell is reaped as soon as it ends, so that it does not keep the
    // group alive as a zombie.
    while ((running_ && !reap(false)) || (reap_orphans(), group_exists(group))) {
      if (clock::now() >= kill_at) {
        kill(-group, SIGKILL);
        break;
      }
      std::this_thread::sleep_for(group_poll);
    }
    if (running_) {
      reap(true);
    }
    straggler_group_.reset();
    const auto bound = clock::now() + reaped_bound;
    while (group_exists(group) && clock::now() < bound) {
      reap_orphans();
      std::this_thread::sleep_for(group_poll);
    }
  }
  end_stragglers(true);
}

void change_hook::start(const std::string& address) {
  const std::vector<std::string> environment = run_environment(address, delivered_);
  std::vector<char*> envp;
  for (const auto& entry : environment) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);
  char shell[] = "/bin/sh";
  char dash_c[] = "-c";
  char* argv[] = {shell, dash_c, const_cast<char*>(command_.c_str()), nullptr};

  // The command starts as a program started from a shell does: no signal
  // blocked (this program blocks SIGINT and SIGTERM to take them in its
  // waits) and every signal at its default action (a signal ignored here,
  // such as SIGPIPE, would otherwise stay ignored through exec).  It leads a
  // process group of its own, so that ending it ends all it started.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t child = 0;
  const int error = posix_spawn(&child, shell, nullptr, &attributes, argv, envp.data());
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    finished(-1, std::string("could not be run: ") + std::strerror(error));
    return;
  }
  running_ = run{child, address, clock::now(), std::nullopt, false};
}

bool change_hook::reap(bool block) {
  if (block) {
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(running_->pid, &status, 0)) < 0 && errno == EINTR) {
    }
    finished(ended == running_->pid ? status : -1);
    return true;
  }
  // Orphans of earlier runs are reaped on the way.
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, WNOHANG);
    if (ended < 0 && errno == EINTR) {
      continue;
    }
    if (ended < 0 && errno == ECHILD && running_) {
      finished(-1);  // gone without a status: nothing more to wait for
      return true;
    }
    if (ended <= 0) {
      return false;
    }
    if (running_ && ended == running_->pid) {
      finished(status);
      return true;
    }
  }
}

// `status` is waitpid's, or -1 when the command could not be started
// (`spawn_failure` says why) or reaped.
void change_hook::finished(int status, const std::string& spawn_failure) {
  const std::string address = running_ ? running_->address : *latest_;
  const bool ended_by_us = running_ && running_->ending_since;
  if (ended_by_us && group_exists(running_->pid)) {
    // The shell is gone but something it started lives on in its group:
    // that gets the rest of the grace.
    straggler_group_ = running_->pid;
    straggler_kill_at_ = *running_->ending_since + timing_.kill_grace;
  }
  const bool timed_out = running_ && running_->timed_out;
  running_.reset();
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && !timed_out) {
    delivered_ = address;
    next_pause_ = timing_.first_retry;
    if (on_delivered_) {
      on_delivered_(address);
    }
    return;
  }
  if (stopped_) {
    return;  // ended because the watcher stops: not a failure of the command
  }
  std::string why;
  if (timed_out) {
    why = "was ended after " + seconds_text(timing_.timeout);
  } else if (status == -1) {
    why = spawn_failure.empty() ? "could not be waited for" : spawn_failure;
  } else if (WIFEXITED(status)) {
    why = "exited with status " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    why = std::string("was killed by ") + strsignal(WTERMSIG(status));
  }
  // Only a failure for the address still wanted waits: a newer one runs at
  // once.
  if (latest_ == address) {
    retry_at_ = clock::now() + next_pause_;
    why += "; trying again in " + seconds_text(next_pause_);
    next_pause_ = std::min(next_pause_ * 2, timing_.longest_retry);
  }
  std::fprintf(stderr, "wanseer: --on-change command for %s %s\n", address.c_str(), why.c_str());
}

void change_hook::reap_orphans() {
  if (running_) {
    return;  // reap() takes them, and must see the run's own end
  }
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno != EINTR)) {
      return;
    }
  }
}

void change_hook::end_stragglers(bool now) {
  if (!straggler_group_) {
    return;
  }
  if (!group_exists(*straggler_group_)) {
    straggler_group_.reset();
  } else if (now || clock::now() >= straggler_kill_at_) {
    kill(-*straggler_group_, SIGKILL);
    straggler_group_.reset();
  }
}

}  // namespace wanseer_tools
