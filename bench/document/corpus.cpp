// The generated documents of the document benchmarks, in the bracketed syntax and as XML.
#include "bench/document/corpus.h"

#include <cstdio>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace bench_corpus {
namespace {

std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string WithByteOrderMark(std::u16string_view text) {
  std::u16string out(1, u'\uFEFF');
  out += text;
  return out;
}

// About 72 UTF-16 units per element: indented LEDs with five attributes, fifty to a group.
Corpus GenerateUniform(size_t target_bytes) {
  Corpus c;
  std::string doc = "[outputlist version=1";
  std::string xml = "<?xml version=\"1.0\"?>\r\n<outputlist version=\"1\">";
  size_t group = 0;
  while (doc.size() * 2 < target_bytes) {
    const std::string g = std::to_string(group++);
    doc += "\r\n [group id=" + g;
    xml += "\r\n <group id=\"" + g + "\">";
    ++c.elements;
    for (int i = 0; i < 50; ++i) {
      const std::string n = std::to_string(1000 + i);
      doc += "\r\n  [led id=" + n + " command=0x1F index=3 maxvalue=255 name='Gear up " + n + "']";
      xml += "\r\n  <led id=\"" + n + "\" command=\"0x1F\" index=\"3\" maxvalue=\"255\" name=\"Gear up " + n + "\"/>";
      ++c.elements;
    }
    doc += "]";
    xml += "</group>";
  }
  doc += "\r\n]";
  xml += "\r\n</outputlist>";
  ++c.elements;
  c.document = WithByteOrderMark(Widen(doc));
  c.xml16 = WithByteOrderMark(Widen(xml));
  c.xml8 = xml;
  return c;
}

// How a value is written: a bare word, a quoted string (a quote in it escaped), or a
// length-prefixed raw value.
enum class Form { kWord, kQuoted, kRaw };

struct Attribute {
  std::u16string_view name;
  std::u16string value;
  Form form = Form::kWord;
};

// Writes each element in both syntaxes at once. An element's own value becomes, in XML, an
// attribute named after the element.
class Writer {
 public:
  void Open(std::u16string_view tag, const std::optional<Attribute>& own, std::initializer_list<Attribute> attributes,
            bool leaf) {
    NewLine();
    doc_ += u'[';
    doc_ += tag;
    xml_ += u'<';
    xml_ += tag;
    if (own) {
      Value(*own);
      XmlAttribute(tag, own->value);
    }
    for (const Attribute& a : attributes) {
      doc_ += u' ';
      doc_ += a.name;
      Value(a);
      XmlAttribute(a.name, a.value);
    }
    ++elements_;
    if (leaf) {
      doc_ += u']';
      xml_ += u"/>";
      return;
    }
    xml_ += u'>';
    open_.emplace_back(tag);
  }
  void Close() {
    const std::u16string tag = open_.back();
    open_.pop_back();
    NewLine();
    doc_ += u']';
    xml_ += u"</" + tag + u">";
  }
  size_t Bytes() const { return doc_.size() * 2; }
  Corpus Finish() {
    while (!open_.empty()) Close();
    Corpus c;
    c.document = WithByteOrderMark(doc_);
    const std::u16string xml = u"<?xml version=\"1.0\"?>" + xml_;
    c.xml16 = WithByteOrderMark(xml);
    c.xml8 = platform::ToUtf8(xml);
    c.elements = elements_;
    return c;
  }

 private:
  void NewLine() {
    const std::u16string indent = u"\r\n" + std::u16string(2 * open_.size(), u' ');
    doc_ += indent;
    xml_ += indent;
  }
  void Value(const Attribute& a) {
    switch (a.form) {
      case Form::kWord:
        doc_ += u'=';
        doc_ += a.value;
        break;
      case Form::kQuoted:
        doc_ += u"='";
        for (char16_t unit : a.value) {
          if (unit == u'\'') doc_ += u'\\';
          doc_ += unit;
        }
        doc_ += u'\'';
        break;
      case Form::kRaw:
        doc_ += u'<' + Widen(std::to_string(a.value.size())) + u' ' + a.value + u'>';
        break;
    }
  }
  void XmlAttribute(std::u16string_view name, const std::u16string& value) {
    xml_ += u' ';
    xml_ += name;
    xml_ += u"=\"";
    for (char16_t unit : value) {
      switch (unit) {
        case u'&': xml_ += u"&amp;"; break;
        case u'<': xml_ += u"&lt;"; break;
        case u'"': xml_ += u"&quot;"; break;
        case u'\'': xml_ += u"&apos;"; break;  // the counterpart of the escaped quote
        default: xml_ += unit; break;
      }
    }
    xml_ += u'"';
  }

  std::u16string doc_;
  std::u16string xml_;
  std::vector<std::u16string> open_;
  size_t elements_ = 0;
};

// Names and texts as users write them, in several scripts; some hold quotes.
constexpr std::u16string_view kNames[] = {
    u"Flaps Up", u"Gear Toggle", u"Landing Light", u"View Zoom In", u"Push To Talk",
    u"Autopilot Disconnect", u"Parking Brake", u"Trim Nose Down", u"Pilot's View", u"Captain's Mic",
    u"Volets rentrés", u"Train d'atterrissage", u"Höhenruder trimmen", u"Freno de estacionamiento",
    u"Přistávací světla", u"Закрылки выпустить", u"Шасси убрать", u"Посадочные фары", u"Φώτα προσγείωσης",
    u"襟翼收起", u"起落架放下", u"着陸灯", u"自動操縦解除", u"착륙등 켜기", u"Co-pilot's 'Ready' Call",
};
constexpr std::u16string_view kTexts[] = {
    u"Tower, ready for departure runway two seven",
    u"Cabin crew, prepare for take-off",
    u"Passagers, veuillez attacher vos ceintures",
    u"Экипаж, занять места по-взлётному",
    u"まもなく離陸いたします",
    u"It's the captain's 'final' call",
};
constexpr std::u16string_view kDevices[] = {u"keyboard", u"mouse", u"joystick", u"hotkey", u"self"};
constexpr std::u16string_view kBlockTypes[] = {u"press", u"release", u"repeat"};

class ProfileGenerator {
 public:
  explicit ProfileGenerator(uint32_t seed) : random_(seed) {}

  Corpus Generate(size_t target_bytes) {
    w_.Open(u"profile", Attribute{u"", u"Generated Profile", Form::kQuoted}, {{u"version", u"0x01000001"}}, false);
    w_.Open(u"commands", std::nullopt, {}, false);
    while (w_.Bytes() < target_bytes * 3 / 4) Command();
    w_.Close();
    w_.Open(u"blasts", std::nullopt, {}, false);
    for (int i = 0; i < 3; ++i) {
      w_.Open(u"blast", Own(Guid()), {Text(u"name"), {u"data", u"MASTER=ON;AVIONICS=ON;", Form::kRaw}}, true);
    }
    w_.Close();
    w_.Open(u"controllers", std::nullopt, {}, false);
    while (w_.Bytes() < target_bytes) Controller();
    return w_.Finish();
  }

 private:
  uint32_t Next() { return static_cast<uint32_t>(random_()); }
  uint32_t Pick(size_t n) { return static_cast<uint32_t>(Next() % n); }
  std::u16string Number(uint32_t n) { return Widen(std::to_string(n)); }
  std::u16string Hex(uint32_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", n);
    return Widen(text);
  }
  std::u16string Guid() {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%04X%08X}", Next(), Pick(0x10000), Pick(0x10000),
                  Pick(0x10000), Pick(0x10000), Next());
    return Widen(text);
  }
  // A GUID of a command already written, as bands and cycles refer to them.
  std::u16string Command16() { return commands_.empty() ? Guid() : commands_[Pick(static_cast<uint32_t>(commands_.size()))]; }
  Attribute Text(std::u16string_view attribute) {
    return {attribute, std::u16string(kNames[Pick(std::size(kNames))]) + u" " + Number(Pick(1000)), Form::kQuoted};
  }
  static Attribute Own(std::u16string value) { return {u"", std::move(value), Form::kWord}; }

  void Command() {
    const uint32_t kind = Pick(10);
    const std::u16string guid = Guid();
    commands_.push_back(guid);
    if (kind < 6) {
      if (Pick(2) == 0) {
        w_.Open(u"actioncommand", Own(guid), {Text(u"name"), {u"icon", Guid()}}, false);
      } else {
        w_.Open(u"actioncommand", Own(guid), {Text(u"name")}, false);
      }
      for (uint32_t b = 1 + Pick(3); b > 0; --b) ActionBlock();
    } else if (kind == 6) {
      w_.Open(u"temporalcommand", Own(guid), {Text(u"name")}, false);
      for (uint32_t t = 2 + Pick(2); t > 0; --t) {
        w_.Open(u"temporal", Own(Command16()), {{u"time", Number(Pick(2000))}, {u"parameter", Number(Pick(2))}}, true);
      }
    } else if (kind == 7) {
      w_.Open(u"cyclecommand", Own(guid), {Text(u"name")}, false);
      for (uint32_t t = 2 + Pick(3); t > 0; --t) w_.Open(u"cycle", Own(Command16()), {{u"parameter", Number(Pick(2))}}, true);
    } else {
      const Attribute data{u"data", std::u16string(kTexts[Pick(std::size(kTexts))]), Form::kQuoted};
      w_.Open(u"stringcommand", Own(guid), {Text(u"name"), {u"icon", Guid()}, {u"type", Guid()}, data}, false);
      const Attribute text{u"", std::u16string(kTexts[Pick(std::size(kTexts))]), Form::kQuoted};
      w_.Open(u"string", text, {{u"type", Guid()}, {u"time", Number(40)}}, true);
    }
    w_.Close();
  }

  void ActionBlock() {
    w_.Open(u"actionblock", Own(Pick(4) == 0 ? u"macro" : u"regular"), {{u"type", std::u16string(kBlockTypes[Pick(3)])}},
            false);
    for (uint32_t a = 1 + Pick(4); a > 0; --a) {
      const Attribute device{u"device", std::u16string(kDevices[Pick(std::size(kDevices))])};
      const Attribute usage{u"usage", Hex(Pick(0x100))};
      const Attribute page{u"page", Hex(7)};
      const Attribute value{u"value", Number(Pick(2))};
      if (Pick(3) == 0) {
        w_.Open(u"action", std::nullopt, {device, {u"time", Number(50 * Pick(10))}, usage, page, value}, true);
      } else {
        w_.Open(u"action", std::nullopt, {device, usage, page, value}, true);
      }
    }
    w_.Close();
  }

  void Bands() {
    w_.Open(u"bands", std::nullopt, {}, false);
    for (uint32_t b = 1 + Pick(3); b > 0; --b) {
      w_.Open(u"band", Own(Hex(Pick(0x10000))), {{u"command", Command16()}, {u"parameter", Number(Pick(2))}}, true);
    }
    w_.Close();
  }

  void Control(uint32_t number) {
    switch (Pick(3)) {
      case 0:
        w_.Open(u"axis", Own(Hex(0x30 + number)),
                {Text(u"name"), {u"role", u"bands"}, {u"mapping", u"maps"}, {u"envelope", u"envelope"},
                 {u"draworientation", u"vert"}},
                false);
        w_.Open(u"calibration", std::nullopt, {{u"min", u"0x0200"}, {u"mid", u"0x8000"}, {u"max", u"0xFE00"}}, true);
        w_.Open(u"envelope", std::nullopt,
                {{u"lran", u"0"}, {u"cran", u"0x8000"}, {u"hran", u"0xFFFF"}, {u"lsat", u"0x0400"}, {u"ldead", u"0x7C00"},
                 {u"hdead", u"0x8400"}, {u"hsat", u"0xFC00"}, {u"invert", u"false"}},
                true);
        Bands();
        break;
      case 1:
        w_.Open(u"button", Own(Number(number)),
                {Text(u"name"), {u"role", u"bands"}, {u"latched", u"false"}, {u"latchable", u"true"}}, false);
        Bands();
        if (Pick(2) == 0) {
          w_.Open(u"assignments", std::nullopt, {}, false);
          w_.Open(u"shiftcommand", Own(Command16()), {{u"parameter", u"1"}}, true);
          w_.Close();
        }
        break;
      default:
        w_.Open(u"hat", Own(Number(number)), {Text(u"name"), {u"role", u"directional"}, {u"way", u"8"}}, false);
        w_.Open(u"directional", Own(u"1"), {{u"increment", Command16()}, {u"decrement", Command16()}}, true);
        break;
    }
    w_.Close();
  }

  void Controller() {
    w_.Open(u"controller", Own(Guid()), {Text(u"group")}, false);
    w_.Open(u"member", Own(Guid()), {Text(u"name"), Text(u"shortname")}, true);
    w_.Open(u"controls", std::nullopt, {}, false);
    for (uint32_t n = 0, count = 12 + Pick(20); n < count; ++n) Control(n);
    w_.Close();
    w_.Open(u"shifts", std::nullopt, {{u"can_edit", u"true"}}, false);
    const std::u16string normal = Guid();
    w_.Open(u"shift", Own(normal), {Text(u"name"), {u"used", u"always"}}, true);
    w_.Open(u"shift", Own(Guid()), {{u"fallback", normal}, Text(u"name"), {u"used", u"true"}}, false);
    w_.Open(u"selectionset", std::nullopt, {}, false);
    w_.Open(u"buttoncombo", std::nullopt, {}, false);
    w_.Open(u"buttonhid", Own(u"6"), {}, true);
    w_.Close();
    w_.Close();
    w_.Close();
    w_.Close();
    w_.Close();
  }

  std::mt19937 random_;
  Writer w_;
  std::vector<std::u16string> commands_;
};

}  // namespace

const char* ShapeName(Shape shape) { return shape == Shape::kUniform ? "uniform" : "profile"; }

Corpus Generate(Shape shape, size_t target_bytes, uint32_t seed) {
  if (shape == Shape::kUniform) return GenerateUniform(target_bytes);
  return ProfileGenerator(seed).Generate(target_bytes);
}

}  // namespace bench_corpus
