// The read-only walk over a cyclic file's messages (the walk rotolog-cat
// uses): boundaries, order, nothing consumed, and refusals.
#include <gtest/gtest.h>
#include "rotolog/cyclic_file.h"

#include <algorithm>
#include <string>
#include <vector>

#include "rotolog/cyclic_file_handle.h"
#include "support/cyclic_file_fixture.h"

using namespace rotolog::detail;

using namespace test_support;

namespace {

struct Collected {
  std::vector<std::string> messages;
  std::size_t stop_after = 0;  // 0: never stop
};

int collect(const char *data, int32_t length, void *context) {
  Collected *collected = static_cast<Collected *>(context);
  collected->messages.emplace_back(data, static_cast<std::size_t>(length));
  return collected->stop_after != 0 && collected->messages.size() >= collected->stop_after ? 1 : 0;
}

CCyclicFile *open_file(TestFile &file, int mode) {
  return static_cast<CCyclicFile *>(file.open(mode, 64));
}

void write_text(CCyclicFile *cyclic, const std::string &text) {
  ASSERT_EQ(write_message(cyclic, text), CYCLIC_FILE_OK);
}

}  // namespace

TEST(CyclicFileWalk, VisitsEachMessageOldestFirstWithItsOwnBoundaries) {
  TestFile file;
  CCyclicFile *cyclic = open_file(file, kReadWrite);
  ASSERT_NE(cyclic, nullptr);
  Collected empty;
  EXPECT_EQ(cyclic->for_each_message(collect, &empty), 0);
  EXPECT_TRUE(empty.messages.empty());

  // 64-byte ring: the fifth record wraps over the end and evicts the first.
  for (const char *text :
       {"evicted early", "first line\n", "0123456789", "abcd", "payload crosses the end"})
    write_text(cyclic, text);
  Collected walked;
  EXPECT_EQ(cyclic->for_each_message(collect, &walked), 4);
  EXPECT_EQ(walked.messages, (std::vector<std::string>{"first line\n", "0123456789", "abcd",
                                                       "payload crosses the end"}));
  EXPECT_EQ(cyclic->message_count, 4);

  // Nothing consumed: a second walk and read_all see the same messages.
  Collected again;
  EXPECT_EQ(cyclic->for_each_message(collect, &again), 4);
  EXPECT_EQ(again.messages, walked.messages);
  EXPECT_EQ(read_all(cyclic), (Contents{4, "first line\n0123456789abcdpayload crosses the end"}));
}

TEST(CyclicFileWalk, AVisitorCanStopTheWalkEarlyWithoutConsumingAnything) {
  TestFile file;
  CCyclicFile *cyclic = open_file(file, kReadWrite);
  ASSERT_NE(cyclic, nullptr);
  for (const char *text : {"one", "two", "three"}) write_text(cyclic, text);
  Collected first_two;
  first_two.stop_after = 2;
  EXPECT_EQ(cyclic->for_each_message(collect, &first_two), 2);
  EXPECT_EQ(first_two.messages, (std::vector<std::string>{"one", "two"}));
  Collected all;
  EXPECT_EQ(cyclic->for_each_message(collect, &all), 3);
}

TEST(CyclicFileWalk, RefusesWithoutReadModeAndOnADamagedHeader) {
  TestFile file;
  CCyclicFile *writer = open_file(file, CYCLIC_FILE_MODE_WRITE);
  ASSERT_NE(writer, nullptr);
  write_text(writer, "kept");
  Collected unused;
  EXPECT_EQ(writer->for_each_message(collect, &unused), CYCLIC_FILE_PERMISSION_DENIED);

  CCyclicFile *reader = open_file(file, CYCLIC_FILE_MODE_READ);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->for_each_message(nullptr, nullptr), CYCLIC_FILE_READ_ALL_FAILED);
  // Another process damages the header while the file is open.
  reader->map_base[0] = '\x7f';
  EXPECT_EQ(reader->for_each_message(collect, &unused), CYCLIC_FILE_READ_ALL_FAILED);
  EXPECT_TRUE(unused.messages.empty());
}

namespace {

std::vector<std::string> copied_messages(const CCyclicFile::MessageCopy &copy) {
  std::vector<std::string> messages;
  const char *at = copy.bytes;
  for (int32_t i = 0; i < copy.count; ++i) {
    messages.emplace_back(at, static_cast<std::size_t>(copy.lengths[i]));
    at += copy.lengths[i];
  }
  return messages;
}

}  // namespace

TEST(CyclicFileCopy, CopiesTheNewestMessagesWithTheirBoundariesIntoReusedBlocks) {
  TestFile file;
  CCyclicFile *cyclic = open_file(file, kReadWrite);
  ASSERT_NE(cyclic, nullptr);
  CCyclicFile::MessageCopy copy{};
  ASSERT_EQ(cyclic->copy_newest(INT32_MAX, &copy), 0);
  EXPECT_EQ(copy.count, 0);
  for (const char *text :
       {"evicted early", "first line\n", "0123456789", "abcd", "payload crosses the end"})
    write_text(cyclic, text);
  ASSERT_EQ(cyclic->copy_newest(2, &copy), 0);
  EXPECT_EQ(copy.ring_count, 4);
  EXPECT_EQ(copied_messages(copy), (std::vector<std::string>{"abcd", "payload crosses the end"}));
  const char *bytes = copy.bytes;
  ASSERT_EQ(cyclic->copy_newest(INT32_MAX, &copy), 0);
  EXPECT_EQ(copy.bytes, bytes);  // the block is kept for the next copy
  EXPECT_EQ(copied_messages(copy), (std::vector<std::string>{"first line\n", "0123456789", "abcd",
                                                             "payload crosses the end"}));
  ASSERT_EQ(cyclic->copy_newest(0, &copy), 0);
  EXPECT_EQ(copy.count, 0);
  // Numbered by the lock file's count: the newest is number 5, and only
  // those above a given number are copied, never more than the ring holds.
  EXPECT_EQ(cyclic->appended_messages(), 5u);
  for (uint64_t above : {uint64_t{0}, uint64_t{2}, uint64_t{4}, uint64_t{5}, uint64_t{9}}) {
    ASSERT_EQ(cyclic->copy_newest(INT32_MAX, &copy, &above), 0);
    EXPECT_EQ(copy.appended, 5u);
    EXPECT_EQ(copy.count, above >= 5 ? 0 : std::min<int32_t>(4, static_cast<int32_t>(5 - above)));
  }
  const uint64_t above_four = 4;
  ASSERT_EQ(cyclic->copy_newest(1, &copy, &above_four), 0);
  EXPECT_EQ(copied_messages(copy), (std::vector<std::string>{"payload crosses the end"}));
  EXPECT_EQ(cyclic->copy_newest(-1, &copy), CYCLIC_FILE_READ_ALL_FAILED);
  EXPECT_EQ(cyclic->copy_newest(1, nullptr), CYCLIC_FILE_READ_ALL_FAILED);
  CCyclicFile::release_copy(&copy);
  CCyclicFile::release_copy(nullptr);

  // A damaged oldest record: the copy holds what the salvage keeps, and the
  // skipped records are checked as well as the copied ones.
  cyclic->ring_start[cyclic->read_pos - cyclic->ring_start] = '\x7f';
  ASSERT_EQ(cyclic->copy_newest(1, &copy), 0);
  EXPECT_EQ(copy.ring_count, 3);
  EXPECT_EQ(copied_messages(copy), (std::vector<std::string>{"payload crosses the end"}));
  CCyclicFile::release_copy(&copy);
}
