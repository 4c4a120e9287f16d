// The cyclic-file fixture: a file in a private temporary folder and the
// handles a test opens on it; what cyclic_file_read_all gives, as text or as
// the message codec's messages; the header read and rewritten through the
// library's codec. Bytes the codec cannot produce (hostile input) are written
// by overwrite() alone.
#ifndef ROTOLOG_TESTS_SUPPORT_CYCLIC_FILE_FIXTURE_H
#define ROTOLOG_TESTS_SUPPORT_CYCLIC_FILE_FIXTURE_H

#include <fcntl.h>
#include <unistd.h>
#include "rotolog/cyclic_file.h"
#include "rotolog/cyclic_file_header.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/message_codec.h"

namespace test_support {

constexpr int kReadWrite = CYCLIC_FILE_MODE_READ | CYCLIC_FILE_MODE_WRITE;

// ---- Reading and writing messages ----

// What cyclic_file_read_all gives: its result (a message count or a status)
// and the block as text ("" when there is none).
struct Contents {
  int count = 0;
  std::string text;
  bool operator==(const Contents &other) const {
    return count == other.count && text == other.text;
  }
};

inline Contents read_all(void *handle) {
  Contents contents;
  char *block = nullptr;
  int length = 0;
  contents.count = cyclic_file_read_all(handle, &block, &length);
  if (block != nullptr) contents.text.assign(block, static_cast<size_t>(length));
  cyclic_file_free_read_buffer(handle, block);
  return contents;
}

// What a handle of its own, opened with `mode`, reads from the file at
// path; count is the opening's status when it fails.
inline Contents read_all_at(const std::string &path, int mode = kReadWrite) {
  int status = 0;
  void *handle = cyclic_file_create_handle(path.c_str(), mode, 0, &status);
  if (handle == nullptr) return Contents{status, ""};
  Contents contents = read_all(handle);
  cyclic_file_destroy_handle(handle);
  return contents;
}

// read_all's block split into codec messages, with read_all's count.
struct Messages : Decoded {
  int count = 0;
  // Every message counted came back whole, and nothing else.
  bool whole() const {
    return count >= 0 && !torn && messages.size() == static_cast<size_t>(count);
  }
};

inline Messages split_contents(const Contents &contents) {
  Messages read;
  static_cast<Decoded &>(read) = decode_messages(contents.text);
  read.count = contents.count;
  return read;
}
inline Messages read_messages(void *handle) { return split_contents(read_all(handle)); }
inline Messages read_messages_at(const std::string &path, int mode = kReadWrite) {
  return split_contents(read_all_at(path, mode));
}

// cyclic_file_write of a string; the call's result.
inline int write_message(void *handle, const std::string &message) {
  return cyclic_file_write(handle, message.data(), static_cast<int>(message.size()));
}

// One message as cyclic_file_read_messages hands it out, kept.
struct Visited {
  std::string data;
  bool entry = false;
  int level = -1;
  int64_t time_ns = 0;
  int32_t pid = 0, tid = 0;
  uint64_t seq = 0;
};

// What cyclic_file_read_messages gives: its result and the messages visited.
struct VisitedMessages {
  int result = 0;
  std::vector<Visited> messages;
  // The texts (or bytes) alone, oldest first.
  std::vector<std::string> texts() const {
    std::vector<std::string> texts;
    for (const Visited &message : messages) texts.push_back(message.data);
    return texts;
  }
};

inline VisitedMessages visit_messages(void *handle, uint64_t after = 0, int newest = -1) {
  VisitedMessages visited;
  auto keep = [](const cyclic_file_message_t *message, void *context) {
    Visited one;
    one.data.assign(message->data, static_cast<size_t>(message->length));
    one.entry = message->is_entry != 0;
    one.level = message->level;
    one.time_ns = message->time_ns;
    one.pid = message->pid;
    one.tid = message->tid;
    one.seq = message->seq;
    static_cast<VisitedMessages *>(context)->messages.push_back(one);
    return 0;
  };
  visited.result = cyclic_file_read_messages(handle, after, newest, keep, &visited);
  return visited;
}

// cyclic_file_write_entry of a string; the call's result.
inline int write_entry(void *handle, int level, const std::string &text) {
  return cyclic_file_write_entry(handle, level, text.data(), static_cast<int>(text.size()));
}

// ---- The header, through the library's codec ----

struct Header {
  int buffer_size = -1, message_count = -1, wasted_tail = -1, write_offset = -1, read_offset = -1;
  int length = -1;  // of the encoded header; -1 when the bytes do not decode
};

// The header at the start of a file's bytes.
inline Header decode_header(const std::string &bytes) {
  std::string start = bytes.substr(0, CYCLIC_FILE_HEADER_MAX_LENGTH);
  Header header;
  cyclic_file_header_t *record = nullptr;
  header.length =
      xdr_decode_p_cyclic_file_header_t(start.data(), static_cast<int>(start.size()), &record);
  if (header.length > 0) {
    record->get_buffer_size(&header.buffer_size);
    record->get_message_count(&header.message_count);
    record->get_wasted_tail(&header.wasted_tail);
    record->get_write_offset(&header.write_offset);
    record->get_read_offset(&header.read_offset);
  }
  xdr_free_p_cyclic_file_header_t(&record);
  return header;
}

inline void fill_record(cyclic_file_header_t *record, const Header &fields) {
  record->init();
  record->set_buffer_size(fields.buffer_size);
  record->set_message_count(fields.message_count);
  record->set_wasted_tail(fields.wasted_tail);
  record->set_write_offset(fields.write_offset);
  record->set_read_offset(fields.read_offset);
}

// The encoded length of a header with all five fields: the same whatever
// their values, and where the ring starts.
inline int header_length() {
  cyclic_file_header_t record;
  fill_record(&record, Header{});
  return xdr_length_of_encoded_cyclic_file_header_t(&record);
}

// ---- Bytes of a file ----

// Writes bytes over the file at `offset`, keeping the rest: how tests damage
// a file the way another program could. False when not all were written.
inline bool overwrite(const std::string &path, size_t offset, const std::string &bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool whole = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                     static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return whole;
}

// Encodes the fields over the file's header; false when that fails.
inline bool rewrite_header(const std::string &path, const Header &fields) {
  cyclic_file_header_t record;
  fill_record(&record, fields);
  char encoded[CYCLIC_FILE_HEADER_MAX_LENGTH];
  const int length = xdr_encode_cyclic_file_header_t(&record, encoded, sizeof encoded);
  return length > 0 && overwrite(path, 0, std::string(encoded, static_cast<size_t>(length)));
}

// ---- The fixture ----

// A cyclic file "log" in a folder of its own. Handles opened through it are
// destroyed with it unless closed before; a forked child that ends with
// _exit leaves them to the parent.
class TestFile {
 public:
  TestFile() : path_(dir_.file("log")) {}
  ~TestFile() {
    for (void *handle : handles_) cyclic_file_destroy_handle(handle);
  }
  TestFile(const TestFile &) = delete;
  TestFile &operator=(const TestFile &) = delete;

  const std::string &path() const { return path_; }
  const std::string &folder() const { return dir_.path(); }
  // Another file of the folder.
  std::string file(const std::string &name) const { return dir_.file(name); }

  // A handle on the file, or on another at `path`; null when the opening
  // fails. status() is the last opening's status.
  void *open(int mode = kReadWrite, int ring_size = 0) { return open(path_, mode, ring_size); }
  void *open(const std::string &path, int mode, int ring_size) {
    status_ = 1;  // no status: a call that leaves it alone shows
    void *handle = cyclic_file_create_handle(path.c_str(), mode, ring_size, &status_);
    if (handle != nullptr) handles_.push_back(handle);
    return handle;
  }
  int status() const { return status_; }
  void close(void *handle) {
    handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
    cyclic_file_destroy_handle(handle);
  }

  std::string bytes() const { return read_file(path_); }
  bool set_bytes(const std::string &bytes) const { return write_file(path_, bytes); }
  Header header() const { return decode_header(bytes()); }
  bool rewrite_header(const Header &fields) const {
    return test_support::rewrite_header(path_, fields);
  }
  bool overwrite(size_t offset, const std::string &bytes) const {
    return test_support::overwrite(path_, offset, bytes);
  }

 private:
  TempDir dir_;
  std::string path_;
  std::vector<void *> handles_;
  int status_ = 0;
};

// A count from the environment (the long forms of the figure-printing
// tests), or the short form's.
inline long count_from_environment(const char *name, long short_form) {
  const char *text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atol(text) : short_form;
}

}  // namespace test_support

#endif
