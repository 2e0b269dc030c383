#include "process_resources.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace wanseer::testing {

namespace {

template <typename Visit>
void for_each_entry(const char* directory, Visit visit) {
  DIR* listing = ::opendir(directory);
  if (listing == nullptr) {
    return;
  }
  const int own = ::dirfd(listing);
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    if (std::atoi(entry->d_name) != own) {
      visit(entry->d_name);
    }
  }
  ::closedir(listing);
}

}  // namespace

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for_each_entry("/proc/self/fd", [&](const char*) { ++count; });
  return count;
}

std::set<int> descriptors_of_kind(const char* kind) {
  std::set<int> found;
  for_each_entry("/proc/self/fd", [&](const char* name) {
    const std::string path = std::string("/proc/self/fd/") + name;
    char target[256] = {};
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    if (length > 0 && std::strncmp(target, kind, std::strlen(kind)) == 0) {
      found.insert(std::atoi(name));
    }
  });
  return found;
}

std::size_t thread_count() {
  std::size_t count = 0;
  for_each_entry("/proc/self/task", [&](const char*) { ++count; });
  return count;
}

std::size_t worker_task_count() {
  std::size_t count = 0;
  for_each_entry("/proc/self/task", [&](const char* name) {
    std::ifstream comm(std::string("/proc/self/task/") + name + "/comm");
    std::string line;
    // One that can no longer be read is a task on its way out: a worker
    // too, for all one can tell.
    count += !std::getline(comm, line) || line == worker_thread_name ? 1 : 0;
  });
  return count;
}

std::optional<std::size_t> thread_count_without_worker(std::chrono::milliseconds limit) {
  if (!eventually([] { return worker_task_count() == 0; }, limit)) {
    return std::nullopt;
  }
  return thread_count();
}

resource_limit::resource_limit(int resource, rlim_t soft) : resource_(resource) {
  ::getrlimit(resource_, &saved_);
  rlimit changed = saved_;
  changed.rlim_cur = std::min(soft, saved_.rlim_max);
  ::setrlimit(resource_, &changed);
}

rlim_t resource_limit::current() const {
  rlimit now{};
  ::getrlimit(resource_, &now);
  return now.rlim_cur;
}

full_descriptor_table::full_descriptor_table() {
  for (int fd; (fd = ::dup(0)) >= 0;) {
    fillers_.push_back(fd);
  }
}

void full_descriptor_table::free_one() {
  ::close(fillers_.back());
  fillers_.pop_back();
}

void full_descriptor_table::release() {
  for (const int fd : fillers_) {
    ::close(fd);
  }
  fillers_.clear();
}

captured_output::captured_output() : file_(std::tmpfile()) {
  std::fflush(nullptr);
  for (const int fd : {1, 2}) {
    saved_[fd - 1] = ::dup(fd);
    ::dup2(::fileno(file_), fd);
  }
}

std::string captured_output::finish() {
  if (file_ == nullptr) {
    return {};
  }
  std::fflush(nullptr);
  for (const int fd : {1, 2}) {
    ::dup2(saved_[fd - 1], fd);
    ::close(saved_[fd - 1]);
  }
  std::string text;
  std::rewind(file_);
  for (int c; (c = std::fgetc(file_)) != EOF;) {
    text += static_cast<char>(c);
  }
  std::fclose(file_);
  file_ = nullptr;
  return text;
}

bool other_threads_blocked() {
  const std::string own = std::to_string(::gettid());
  bool blocked = true;
  for_each_entry("/proc/self/task", [&](const char* name) {
    std::ifstream stat(std::string("/proc/self/task/") + name + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto name_end = line.rfind(')');
    if (own != name && name_end != std::string::npos && name_end + 2 < line.size() &&
        line[name_end + 2] == 'R') {
      blocked = false;
    }
  });
  return blocked;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return done();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace wanseer::testing
