// Test helpers for the document vocabularies: documents written to temporary files and read
// back through the real reader, and a log sink that collects the lines logged meanwhile.
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "document/factory.h"
#include "document/node_reader.h"
#include "document/node_string.h"
#include "log/log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "profile/profile_nodes.h"

// Readable failure messages for node text fields.
namespace VexNode {
inline void PrintTo(const CNodeString& text, std::ostream* out) {
  *out << '"' << platform::ToUtf8(text.View()) << '"';
}
}  // namespace VexNode

namespace vocabulary_test {

// Writes raw bytes to path, replacing the file.
inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// text as UTF-16LE with a byte order mark, the form every document has.
inline std::string EncodeDocument(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// A document in a temporary file, removed again with the object.
class TempDocument {
 public:
  explicit TempDocument(std::u16string_view text, const std::filesystem::path& folder =
                                                      std::filesystem::temp_directory_path())
      : path_(folder / UniqueName()) {
    WriteBytes(path_, EncodeDocument(text));
  }
  ~TempDocument() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TempDocument(const TempDocument&) = delete;
  TempDocument& operator=(const TempDocument&) = delete;

  std::u16string Path() const { return path_.u16string(); }

 private:
  static std::string UniqueName() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    return "skyhelm-vocab-" + std::to_string(random()) + "-" + std::to_string(counter++) + ".doc";
  }

  std::filesystem::path path_;
};

// Reads text with the vocabulary that register_nodes enters; null when the document did not
// load (the test then fails on the null tree).
inline std::unique_ptr<VexNode::CNode> ReadText(std::u16string_view text,
                                                VexNode::RegisterNodesFn register_nodes) {
  TempDocument document(text);
  std::unique_ptr<VexNode::CNode> root;
  VexNode::LoadDocument(document.Path(), register_nodes, &root);
  return root;
}

// Records the registrations a vocabulary makes, in order.
class RegistrationLog : public VexNode::IFactory {
 public:
  void Register(const char16_t* tag, VexNode::NodeCreator creator) override {
    entries.emplace_back(tag, creator);
  }
  bool Create(const char16_t*, VexNode::AttributeList, VexNode::CNode** node,
              VexNode::CNode*) override {
    *node = nullptr;
    return false;
  }
  bool IsKnown(const char16_t*) const override { return false; }

  std::vector<std::pair<const char16_t*, VexNode::NodeCreator>> entries;
};

// The index-th child of parent, as the node class the test expects there.
template <class Node>
const Node& ChildAs(const VexNode::CNode& parent, size_t index) {
  return static_cast<const Node&>(*parent.Children().at(index));
}

// A factory that remembers every tag it could not create a node for.
class RecordingFactory : public VexNode::IFactory {
 public:
  explicit RecordingFactory(VexNode::RegisterNodesFn register_nodes) { register_nodes(&factory_); }
  void Register(const char16_t* tag, VexNode::NodeCreator creator) override {
    factory_.Register(tag, creator);
  }
  bool Create(const char16_t* tag, VexNode::AttributeList attributes, VexNode::CNode** node,
              VexNode::CNode* parent) override {
    const bool created = factory_.Create(tag, attributes, node, parent);
    if (!created) skipped.emplace_back(tag);
    return created;
  }
  bool IsKnown(const char16_t* tag) const override { return factory_.IsKnown(tag); }

  std::vector<std::u16string> skipped;

 private:
  VexNode::CFactory factory_;
};

// Reads the document at path through factory; true when it parsed. *root gets the tree.
inline bool ReadFile(std::u16string_view path, VexNode::IFactory* factory,
                     std::unique_ptr<VexNode::CNode>* root) {
  auto* state = new VexNode::ReaderState;
  VexNode::CNode_Reader reader(state);
  state->file = platform::OpenSharedRead(path);
  if (state->file == nullptr) return false;
  VexNode::CNode* tree = nullptr;
  const bool ok = reader.Read(state, factory, &tree);
  std::fclose(state->file);
  state->file = nullptr;
  root->reset(tree);
  return ok;
}

// Collects the lines logged while it is installed (every level, every category).
class LogCapture {
 public:
  LogCapture() {
    saved_ = g_log_sink;
    g_log_sink.receiver = &LogCapture::Receive;
    g_log_sink.context = this;
    g_log_sink.maximum_level = 4;
    g_log_sink.category_mask = ~uint64_t{0};
    g_log_sink.enabled = 1;
  }
  ~LogCapture() { g_log_sink = saved_; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The lines without their "[name(0xPID)(0xTID)]" prefix.
  std::vector<std::u16string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  static void Receive(void* context, uint8_t, uint64_t, const char16_t* line) {
    auto* self = static_cast<LogCapture*>(context);
    std::u16string text(line);
    const size_t prefix_end = text.find(u")]");
    if (prefix_end != std::u16string::npos) text.erase(0, prefix_end + 2);
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(text);
  }

  LogSink saved_;
  std::mutex mutex_;
  std::vector<std::u16string> lines_;
};

// Reads a profile document given as text with the profile vocabulary.
inline std::unique_ptr<VexNode::CNode> ReadProfile(std::u16string_view text) {
  return ReadText(text, VexNode::profile::RegisterProfileNodes);
}

// A GUID from its text form; a malformed text fails the test.
inline platform::Guid Guid(std::u16string_view text) {
  platform::Guid guid;
  EXPECT_TRUE(platform::ParseGuid(text, &guid));
  return guid;
}

}  // namespace vocabulary_test
