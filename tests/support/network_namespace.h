// A network namespace of the test's own, for tests that must make real
// network news (links, addresses, routes) without touching the machine's.
// It has no name: a descriptor holds it, and it goes when that closes and
// nothing made in it is left open.
#ifndef WANSEER_TESTS_NETWORK_NAMESPACE_H
#define WANSEER_TESTS_NETWORK_NAMESPACE_H

#include <functional>
#include <string>
#include <vector>

namespace wanseer::testing {

class network_namespace {
 public:
  // Made from a thread of its own, so that no thread of the test moves.
  // Not usable (usable() false, errno kept in error()) without the right to
  // make one: not root, or a sandbox.
  network_namespace();
  network_namespace(const network_namespace&) = delete;
  network_namespace& operator=(const network_namespace&) = delete;
  ~network_namespace();

  bool usable() const { return descriptor_ >= 0; }
  int error() const { return error_; }
  // A path any process of the machine can name the namespace by, e.g. for
  // "ip link set LINK netns PATH".
  std::string path() const;

  // Runs ip(8) with `arguments` inside the namespace; true when it exits 0.
  // Its output and errors go to the test's standard error.
  bool ip(const std::vector<std::string>& arguments) const;

  // Runs `inside` on a thread that has entered the namespace and waits for
  // it: sockets it opens belong to the namespace for their whole life.
  // False when the thread could not enter it.
  bool run_inside(const std::function<void()>& inside) const;

 private:
  int descriptor_ = -1;
  int error_ = 0;
};

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_NETWORK_NAMESPACE_H
