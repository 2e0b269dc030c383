// The library against a store whose answers the test sets: a refused open,
// every read result, and the pairing of opens and closes.

#include <gtest/gtest.h>

#include "probe_worker.h"
#include "support/process_resources.h"
#include "support/scripted_store.h"
#include "support/udp_socket.h"
#include "wanseer.h"

namespace wanseer::testing {
namespace {

class ScriptedStore : public ::testing::Test {
 protected:
  void SetUp() override { the_store.reset(); }
};

TEST_F(ScriptedStore, RefusedOpenEndsTheWorkerBeforeAnyRequest) {
  the_store.refuse_open = true;
  udp_socket server;
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  // A first start and stop: a sanitizer may add a thread of its own then.
  wanseer_startup(address.c_str());
  wanseer_stop();
  const auto threads_before = thread_count_without_worker();
  ASSERT_TRUE(threads_before) << "the worker is still running";
  wanseer_startup(address.c_str());
  // The worker ends by itself, before any stop is asked for.
  EXPECT_TRUE(eventually([&] { return thread_count() == *threads_before; }));
  wanseer_stop();
  EXPECT_FALSE(server.receive(std::chrono::milliseconds(0)).has_value());
  EXPECT_EQ(the_store.closes, 0);
  EXPECT_EQ(the_store.writes, 0);
  // Under LeakSanitizer or valgrind, the server text not freed by the worker
  // would be reported here.
}

TEST_F(ScriptedStore, RefusedOpenGivesMinusOneWithTheBufferCleared) {
  the_store.refuse_open = true;
  unsigned char buffer[6] = {7, 7, 7, 7, 7, 7};
  int32_t length = 5;
  errno = 0;
  EXPECT_EQ(wanseer_get(buffer, &length), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(the_store.reads, 0);
  EXPECT_EQ(the_store.closes, 0);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(buffer[i], 0) << i;
  }
  EXPECT_EQ(buffer[5], 7);
}

TEST_F(ScriptedStore, ReadResultOneBecomesMinusTwoOthersPassUnchanged) {
  for (const std::int32_t read : {1, 0, 2, 3, -1, -2, -7, 1000}) {
    the_store.read_result = read;
    unsigned char buffer[4];
    int32_t length = 4;
    EXPECT_EQ(wanseer_get(buffer, &length), read == 1 ? -2 : read) << read;
  }
  EXPECT_EQ(the_store.opens, 8);
  EXPECT_EQ(the_store.closes, 8);
}

TEST_F(ScriptedStore, ZeroCountStillOpensReadsAndCloses) {
  unsigned char buffer[1] = {5};
  int32_t length = 0;
  EXPECT_EQ(wanseer_get(buffer, &length), 0);
  EXPECT_EQ(the_store.opens, 1);
  EXPECT_EQ(the_store.reads, 1);
  EXPECT_EQ(the_store.closes, 1);
  EXPECT_EQ(the_store.last_read_length, 0);
  EXPECT_EQ(buffer[0], 5);
}

TEST_F(ScriptedStore, NullBufferLooksAtNothing) {
  int32_t length = 4;
  EXPECT_EQ(wanseer_get(nullptr, &length), -1);
  EXPECT_EQ(the_store.opens, 0);
  EXPECT_EQ(length, 4);
}

}  // namespace
}  // namespace wanseer::testing
