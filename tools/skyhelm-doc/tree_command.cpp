// skyhelm-doc tree: reads a document with the output or the profile vocabulary and prints its
// node tree as JSON, each node's fields in the order its Serialize exchanges them.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "document/node_reader.h"
#include "document/stream.h"
#include "json.h"
#include "output/output_nodes.h"
#include "platform/guid.h"
#include "platform/text.h"
#include "profile/profile_nodes.h"

namespace skyhelm_doc {
namespace {

void AppendJsonGuid(std::string* out, const platform::Guid& guid) {
  AppendJsonString(out, u"{" + platform::FormatGuid(guid) + u"}");
}

// A storing stream that writes every field a node's Serialize hands it as one JSON member.
// The own value, exchanged under the element's tag, is written as "value"; every other field
// under its attribute name.
class JsonFieldWriter : public VexNode::IVexStream {
 public:
  JsonFieldWriter(const char16_t* tag, std::string* out) : tag_(tag), out_(out) {}

  bool IsLoading() const override { return false; }
  bool IsStoring() const override { return true; }

  bool ExchangeHexList(const char16_t* name, uint32_t* values, size_t count) override {
    Key(name);
    out_->push_back('[');
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) out_->push_back(',');
      out_->append(std::to_string(values[i]));
    }
    out_->push_back(']');
    return true;
  }
  bool ExchangeBool(const char16_t* name, bool* value, bool) override {
    return Literal(name, *value ? "true" : "false");
  }
  bool ExchangePair(const char16_t* name, int32_t* first, int32_t* second) override {
    return Literal(name, "[" + std::to_string(*first) + "," + std::to_string(*second) + "]");
  }
  bool ExchangeGuid(const char16_t* name, platform::Guid* value) override {
    Key(name);
    AppendJsonGuid(out_, *value);
    return true;
  }
  bool ExchangeTimeout(const char16_t* name, int64_t* value, uint8_t) override {
    return Literal(name, std::to_string(*value));
  }
  bool ExchangeEnum(const char16_t* name, int32_t* value, const VexNode::EnumEntry*, size_t,
                    int32_t) override {
    return Literal(name, std::to_string(*value));
  }
  bool ExchangeString(const char16_t* name, VexNode::CNodeString* value) override {
    Key(name);
    AppendJsonString(out_, value->View());
    return true;
  }
  bool ExchangeInt(const char16_t* name, int32_t* value, int32_t) override {
    return Literal(name, std::to_string(*value));
  }
  bool ExchangeReserved() override { return true; }
  bool ExchangeUInt(const char16_t* name, uint32_t* value) override {
    return Literal(name, std::to_string(*value));
  }
  bool ExchangeData(const char16_t* name, VexNode::CNodeString* value) override {
    return ExchangeString(name, value);
  }

 private:
  void Key(const char16_t* name) {
    if (!first_) out_->push_back(',');
    first_ = false;
    const std::u16string_view key(name);
    AppendJsonString(out_, key == tag_ ? std::u16string_view(u"value") : key);
    out_->push_back(':');
  }
  bool Literal(const char16_t* name, const std::string& text) {
    Key(name);
    out_->append(text);
    return true;
  }

  std::u16string_view tag_;
  std::string* out_;
  bool first_ = true;
};

// One node a line, children indented by two spaces under their parent.
void AppendNode(std::string* out, VexNode::CNode* node, int depth) {
  out->append(static_cast<size_t>(depth) * 2, ' ');
  out->append("{\"tag\":");
  AppendJsonString(out, node->GetTagName());
  out->append(",\"fields\":{");
  JsonFieldWriter fields(node->GetTagName(), out);
  node->Serialize(&fields);
  out->append("},\"children\":[");
  const auto& children = node->Children();
  for (size_t i = 0; i < children.size(); ++i) {
    out->append(i == 0 ? "\n" : ",\n");
    AppendNode(out, children[i], depth + 1);
  }
  if (!children.empty()) {
    out->push_back('\n');
    out->append(static_cast<size_t>(depth) * 2, ' ');
  }
  out->append("]}");
}

int Usage() { return UsageError("usage: skyhelm-doc tree --vocab profile|output FILE"); }

}  // namespace

int RunTree(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], "--vocab") != 0) return Usage();
  VexNode::RegisterNodesFn register_nodes = nullptr;
  if (std::strcmp(argv[2], "profile") == 0) {
    register_nodes = VexNode::profile::RegisterProfileNodes;
  } else if (std::strcmp(argv[2], "output") == 0) {
    register_nodes = VexNode::lumivoxdriver::RegisterOutputNodes;
  } else {
    return Usage();
  }
  std::unique_ptr<VexNode::CNode> root;
  switch (VexNode::LoadDocument(platform::FromUtf8(argv[3]), register_nodes, &root)) {
    case VexNode::LoadStatus::kCannotOpen:
      return kExitUsage;  // the loader has printed why
    case VexNode::LoadStatus::kSyntaxError:
      return kExitReaderFailed;
    case VexNode::LoadStatus::kLoaded:
      break;
  }
  std::string out;
  if (root == nullptr) {
    out = "null";
  } else {
    AppendNode(&out, root.get(), 0);
  }
  out.push_back('\n');
  std::fwrite(out.data(), 1, out.size(), stdout);
  return kExitRead;
}

}  // namespace skyhelm_doc
