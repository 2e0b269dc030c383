#include "test_name_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "name_lookup.h"

namespace wanseer::testing {

namespace {

constexpr std::size_t header_length = 12;
constexpr std::uint16_t type_a = 1;
constexpr std::uint16_t type_srv = 33;
constexpr std::uint16_t class_in = 1;

std::string lower_without_final_dot(std::string name) {
  if (!name.empty() && name.back() == '.') {
    name.pop_back();
  }
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char byte) { return static_cast<char>(std::tolower(byte)); });
  return name;
}

std::uint16_t read16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void put16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
  bytes.push_back(static_cast<std::uint8_t>(value));
}

struct question {
  std::string name;
  std::uint16_t type = 0;
  std::size_t end = 0;  // offset just past the question
};

// The first question of a query; false when it does not parse.
bool parse_question(const std::vector<std::uint8_t>& query, question& found) {
  if (query.size() < header_length || read16(query, 4) != 1) {
    return false;
  }
  std::size_t at = header_length;
  while (at < query.size() && query[at] != 0) {
    const std::size_t label = query[at];
    if (label > 63 || at + 1 + label > query.size()) {
      return false;
    }
    if (!found.name.empty()) {
      found.name += '.';
    }
    found.name.append(reinterpret_cast<const char*>(&query[at + 1]), label);
    at += 1 + label;
  }
  if (at + 5 > query.size()) {
    return false;
  }
  found.type = read16(query, at + 1);
  found.end = at + 5;
  found.name = lower_without_final_dot(found.name);
  return true;
}

}  // namespace

test_name_server::test_name_server(const char* address, std::uint16_t port)
    : address_(address), socket_(address, port) {
  if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2");
  }
  thread_ = std::thread([this] { serve(); });
}

test_name_server::~test_name_server() {
  const char stop = 's';
  static_cast<void>(::write(stop_pipe_[1], &stop, 1));
  thread_.join();
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
}

void test_name_server::set_addresses(const std::string& name, std::vector<address_bytes> addresses,
                                     std::uint32_t ttl) {
  std::lock_guard<std::mutex> lock(mutex_);
  table_[lower_without_final_dot(name)] = {std::move(addresses), ttl};
}

void test_name_server::set_services(const std::string& name, std::vector<service_record> records) {
  std::lock_guard<std::mutex> lock(mutex_);
  services_[lower_without_final_dot(name)] = std::move(records);
}

void test_name_server::set_behaviour(behaviour how) {
  std::lock_guard<std::mutex> lock(mutex_);
  behaviour_ = how;
}

void test_name_server::set_service_behaviour(behaviour how) {
  std::lock_guard<std::mutex> lock(mutex_);
  service_behaviour_ = how;
}

std::size_t test_name_server::queries_for(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = queries_.find(lower_without_final_dot(name));
  return found == queries_.end() ? 0 : found->second;
}

bool test_name_server::wait_for_queries(const std::string& name, std::size_t count,
                                        std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::string key = lower_without_final_dot(name);
  return queried_.wait_for(lock, limit, [&] {
    const auto found = queries_.find(key);
    return found != queries_.end() && found->second >= count;
  });
}

void test_name_server::serve() {
  pollfd watched[2] = {{socket_.handle(), POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
  for (;;) {
    if (::poll(watched, 2, -1) < 0 || watched[1].revents != 0) {
      return;
    }
    std::vector<std::uint8_t> query(4096);
    sockaddr_in sender{};
    socklen_t sender_length = sizeof sender;
    const ssize_t received = ::recvfrom(socket_.handle(), query.data(), query.size(), 0,
                                        reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (received <= 0) {
      continue;
    }
    query.resize(static_cast<std::size_t>(received));
    const std::vector<std::uint8_t> response = respond(query);
    if (!response.empty()) {
      ::sendto(socket_.handle(), response.data(), response.size(), 0,
               reinterpret_cast<const sockaddr*>(&sender), sender_length);
    }
  }
}

std::vector<std::uint8_t> test_name_server::respond(const std::vector<std::uint8_t>& query) {
  question asked;
  if (!parse_question(query, asked)) {
    return {};
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (asked.type == type_a || asked.type == type_srv) {
    ++queries_[asked.name];
    queried_.notify_all();
  }
  const behaviour how =
      asked.type == type_srv && service_behaviour_ ? *service_behaviour_ : behaviour_;
  const auto entry = table_.find(asked.name);
  std::vector<std::vector<std::uint8_t>> answers;  // the records' data
  std::uint32_t ttl = 300;
  if (entry != table_.end() && asked.type == type_a) {
    for (const auto& address : entry->second.first) {
      answers.emplace_back(address.begin(), address.end());
    }
    ttl = entry->second.second;
  }
  const auto service = services_.find(asked.name);
  if (service != services_.end() && asked.type == type_srv) {
    for (const service_record& record : service->second) {
      std::vector<std::uint8_t> data;
      for (const std::uint16_t field : {record.priority, record.weight, record.port}) {
        put16(data, field);
      }
      std::size_t label = 0;
      for (std::size_t at = 0; at <= record.target.size(); at = label + 1) {
        label = std::min(record.target.find('.', at), record.target.size());
        data.push_back(static_cast<std::uint8_t>(label - at));
        data.insert(data.end(), record.target.begin() + static_cast<std::ptrdiff_t>(at),
                    record.target.begin() + static_cast<std::ptrdiff_t>(label));
      }
      data.push_back(0);
      answers.push_back(std::move(data));
    }
  }
  const bool known = entry != table_.end() || service != services_.end();
  lock.unlock();

  if (how == behaviour::silent) {
    return {};
  }
  if (how == behaviour::garbage) {
    // The query's id, then bytes that are no DNS message.
    return {query[0], query[1], 0xde, 0xad, 0xbe, 0xef, 0x00};
  }
  std::uint8_t rcode = 0;
  if (how == behaviour::servfail) {
    rcode = 2;
  } else if (how == behaviour::nxdomain || !known) {
    rcode = 3;
  }
  const bool truncated = how == behaviour::truncated;
  if (rcode != 0 || truncated) {
    answers.clear();
  }
  std::vector<std::uint8_t> response(query.begin(), query.begin() + 2);  // id
  // QR, the query's opcode and RD, AA, TC when truncated; RA and the rcode.
  response.push_back(static_cast<std::uint8_t>(0x84 | (query[2] & 0x79) | (truncated ? 0x02 : 0)));
  response.push_back(static_cast<std::uint8_t>(0x80 | rcode));
  put16(response, 1);
  put16(response, static_cast<std::uint16_t>(answers.size()));
  put16(response, 0);
  put16(response, 0);
  response.insert(response.end(), query.begin() + header_length,
                  query.begin() + static_cast<std::ptrdiff_t>(asked.end));
  for (const auto& data : answers) {
    put16(response, 0xC00C);  // the name of the question
    put16(response, asked.type);
    put16(response, class_in);
    put16(response, static_cast<std::uint16_t>(ttl >> 16));
    put16(response, static_cast<std::uint16_t>(ttl));
    put16(response, static_cast<std::uint16_t>(data.size()));
    response.insert(response.end(), data.begin(), data.end());
  }
  return response;
}

test_resolver_configuration::test_resolver_configuration(
    const std::vector<const test_name_server*>& servers) {
  char path[] = "/tmp/wanseer-resolv-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) {
    throw std::runtime_error("mkstemp");
  }
  ::close(fd);
  path_ = path;
  point_at(servers);
  resolver_for_tests = {path_, servers.front()->port()};
}

test_resolver_configuration::~test_resolver_configuration() {
  resolver_for_tests = {};
  std::remove(path_.c_str());
}

void test_resolver_configuration::point_at(const std::vector<const test_name_server*>& servers) {
  // Written beside and renamed over, as resolver configuration managers do,
  // so a lookup never reads half a file.
  const std::string next = path_ + ".next";
  {
    std::ofstream file(next, std::ios::trunc);
    for (const auto* server : servers) {
      file << "nameserver " << server->address() << "\n";
    }
  }
  std::rename(next.c_str(), path_.c_str());
}

}  // namespace wanseer::testing
