// Children forked while threads of their parent write a cyclic file: each
// child uses the file at once, through the parent's handle and a new one of
// its own, and none hangs on a lock a thread of the parent held at the fork.
#include <gtest/gtest.h>
#include "rotolog/cyclic_file.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/cyclic_file_fixture.h"

using namespace test_support;
using namespace std::chrono_literals;

namespace {

constexpr int kRing = 1 << 20;

// Child `child`'s messages: writers kFirstChildWriter + child, apart from
// the parent's threads 0 to 2.
constexpr uint32_t kFirstChildWriter = 100;

// A child's work, with a distinct result for each way it can fail (0 when
// none does).
int use_file_in_child(const std::string &path, void *parent_handle, uint32_t writer) {
  for (uint64_t sequence = 0; sequence < 5; ++sequence)
    if (write_message(parent_handle, varied_message(writer, sequence, 29)) != 0) return 10;
  int status = 0;
  void *own = cyclic_file_create_handle(path.c_str(), kReadWrite, 0, &status);
  if (own == nullptr) return 11;
  for (uint64_t sequence = 5; sequence < 10; ++sequence)
    if (write_message(own, varied_message(writer, sequence, 29)) != 0) return 12;
  for (void *handle : {parent_handle, own}) {
    const Messages read = read_messages(handle);
    if (!read.whole() || read.count == 0) return 13;
    // The parent's threads write on meanwhile (the mapping is shared), so
    // the child's messages may already be evicted; those left keep order.
    const auto by_writer = read.by_writer();
    const auto mine = by_writer.find(writer);
    if (mine != by_writer.end()) {
      for (size_t i = 1; i < mine->second.size(); ++i)
        if (mine->second[i] <= mine->second[i - 1]) return 14;
    }
  }
  cyclic_file_destroy_handle(own);
  return 0;
}

}  // namespace

TEST(CyclicFileFork, ChildrenForkedWhileThreadsWriteUseTheFileAtOnce) {
  TestFile file;
  void *shared = file.open(kReadWrite, kRing);
  ASSERT_NE(shared, nullptr) << file.status();
  void *second = file.open(kReadWrite, kRing);
  ASSERT_NE(second, nullptr) << file.status();

  constexpr int kThreads = 3, kChildren = 20;
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::atomic<int> started{0};
  std::vector<std::thread> writers;
  // The writers' messages are made before the children are forked: a child
  // forked while another thread is inside malloc may find the allocator's
  // lock held for ever where the allocator has no fork handler (the one of
  // AddressSanitizer's runtime of GCC 12 has none). A write itself allocates
  // nothing, so what is tested stays the library's.
  constexpr uint64_t kMessagesEach = 4096;
  std::vector<std::vector<std::string>> messages(kThreads);
  for (int t = 0; t < kThreads; ++t)
    for (uint64_t sequence = 0; sequence < kMessagesEach; ++sequence)
      messages[static_cast<size_t>(t)].push_back(
          varied_message(static_cast<uint32_t>(t), sequence, 29));
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      // Two threads share the handle the children use; one has its own.
      void *handle = t < 2 ? shared : second;
      const std::vector<std::string> &mine = messages[static_cast<size_t>(t)];
      ++started;
      for (uint64_t sequence = 0; writing.load(std::memory_order_relaxed); ++sequence)
        if (write_message(handle, mine[sequence % kMessagesEach]) != 0) ++failures;
    });
  }
  while (started.load() < kThreads) std::this_thread::yield();

  int hung = 0;
  for (int child = 0; child < kChildren; ++child) {
    const uint32_t writer = kFirstChildWriter + static_cast<uint32_t>(child);
    const int result = wait_child(
        start_child([&] { return use_file_in_child(file.path(), shared, writer); }), 10s);
    if (result == kChildTimedOut) ++hung;
    EXPECT_EQ(result, 0) << "child " << child;
  }
  writing.store(false);
  for (auto &thread : writers) thread.join();

  EXPECT_EQ(hung, 0) << "of " << kChildren << " children";
  EXPECT_EQ(failures.load(), 0);
  // The parent's handles still work, and the file reads back whole.
  ASSERT_EQ(write_message(shared, varied_message(9, 0, 29)), 0);
  const Messages read = read_messages(second);
  EXPECT_TRUE(read.whole());
  EXPECT_GT(read.count, 0);
}
