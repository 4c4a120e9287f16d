// What a cyclic file flushes: in flush mode a write flushes, in one call, the
// mapping from its start (the header's page) to the end of the record it
// wrote, or the whole mapping when the record wrapped; cyclic_file_flush
// flushes the whole mapping. This executable records the flushes in place of
// the platform's os_flush_view.
#include <gtest/gtest.h>
#include <rotolog/cyclic_file.h>

#include <string>
#include <vector>

#include "rotolog/cyclic_file_handle.h"
#include "rotolog/platform/sysbrace.h"
#include "test_support.h"

namespace {

struct Flush {
  const char *address;
  size_t length;
};
std::vector<Flush> flushes;

}  // namespace

extern "C" int os_flush_view(void *address, size_t length) {
  flushes.push_back({static_cast<const char *>(address), length});
  return 1;
}

namespace {

constexpr int kRW = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE;

void *open_file(const test_support::TempDir &dir, int mode, int size) {
  int status = 0;
  void *handle = cyclic_file_create_handle(dir.file("log").c_str(), mode, size, &status);
  EXPECT_EQ(status, 0);
  return handle;
}

}  // namespace

TEST(FlushSpan, AFlushedWriteFlushesFromTheHeaderToTheEndOfItsRecord) {
  test_support::TempDir dir;
  void *handle = open_file(dir, kRW | CYCLIC_FILE_MODE_FLUSH, 1 << 20);
  ASSERT_NE(handle, nullptr);
  const CCyclicFile &file = *static_cast<const CCyclicFile *>(handle);
  const std::string text(1000, 'f');
  for (int i = 0; i < 20; ++i) {
    flushes.clear();
    ASSERT_EQ(cyclic_file_write(handle, text.data(), 1000), 0);
    ASSERT_EQ(flushes.size(), 1u);
    EXPECT_EQ(flushes[0].address, file.map_base);
    EXPECT_EQ(flushes[0].length, static_cast<size_t>(file.header_length + (i + 1) * 1004));
    EXPECT_LT(flushes[0].length, file.mapped_length);
  }
  flushes.clear();
  EXPECT_NE(cyclic_file_flush(handle), 0);
  ASSERT_EQ(flushes.size(), 1u);
  EXPECT_EQ(flushes[0].address, file.map_base);
  EXPECT_EQ(flushes[0].length, file.mapped_length);
  cyclic_file_destroy_handle(handle);
}

TEST(FlushSpan, ARecordThatWrapsFlushesTheWholeMapping) {
  test_support::TempDir dir;
  void *handle = open_file(dir, kRW | CYCLIC_FILE_MODE_FLUSH, 100);
  ASSERT_NE(handle, nullptr);
  const CCyclicFile &file = *static_cast<const CCyclicFile *>(handle);
  const std::string text(40, 'w');
  ASSERT_EQ(cyclic_file_write(handle, text.data(), 40), 0);
  ASSERT_EQ(cyclic_file_write(handle, text.data(), 40), 0);
  flushes.clear();
  ASSERT_EQ(cyclic_file_write(handle, text.data(), 40), 0);  // 88..100, then 0..32
  ASSERT_EQ(flushes.size(), 1u);
  EXPECT_EQ(flushes[0].length, file.mapped_length);
  flushes.clear();
  ASSERT_EQ(cyclic_file_write(handle, text.data(), 10), 0);  // 32..46: after the wrap
  ASSERT_EQ(flushes.size(), 1u);
  EXPECT_EQ(flushes[0].length, static_cast<size_t>(file.header_length + 46));
  cyclic_file_destroy_handle(handle);
}

TEST(FlushSpan, WritesWithoutFlushModeAndRefusedWritesFlushNothing) {
  test_support::TempDir dir;
  void *handle = open_file(dir, kRW, 4096);
  ASSERT_NE(handle, nullptr);
  flushes.clear();
  ASSERT_EQ(cyclic_file_write(handle, "quiet", 5), 0);
  EXPECT_TRUE(flushes.empty());
  cyclic_file_destroy_handle(handle);

  void *flushed = open_file(dir, kRW | CYCLIC_FILE_MODE_FLUSH, 4096);
  ASSERT_NE(flushed, nullptr);
  EXPECT_EQ(cyclic_file_write(flushed, "x", 0), CYCLIC_FILE_WRITE_FAILED);
  EXPECT_TRUE(flushes.empty());
  cyclic_file_destroy_handle(flushed);
}
