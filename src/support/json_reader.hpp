#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace tolvane {

// A syntax or shape error of a JSON text, with the line (from 1) and the byte column within that
// line at which it was detected (0 when nothing of the line had been read).
class JsonError : public std::exception {
 public:
  JsonError(std::string message, std::size_t line, std::size_t column)
      : message_(std::move(message)), line_(line), column_(column) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  std::size_t line() const noexcept { return line_; }
  std::size_t column() const noexcept { return column_; }

  // Error("<quoted message>", line: L, column: C)
  std::string debug_text() const;

 private:
  std::string message_;
  std::size_t line_;
  std::size_t column_;
};

// The reader's errors whose text is fixed; the others (a value of the wrong kind, an unknown
// variant, a duplicate, missing or short record) name what they found.
enum class JsonFault {
  kEofInValue,
  kEofInObject,
  kEofInList,
  kEofInString,
  kExpectedIdent,
  kExpectedColon,
  kExpectedValue,
  kExpectedCommaOrBrace,
  kExpectedCommaOrBracket,
  kKeyNotString,
  kTrailingComma,
  kTrailingCharacters,
  kControlCharacter,
  kInvalidEscape,
  kLoneSurrogate,
  kUnexpectedEndOfHexEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kRecursionLimit,
};
std::string_view json_fault_text(JsonFault fault);

// One bit per field of a record: which fields a record object has given so far.
using FieldMask = std::uint64_t;

// The members of a record, in declaration order; the same order decides which missing member is
// named. `aliases` are other keys filling one of the fields. Shapes are made at compile time, so
// that one the reader cannot track fails the build.
struct RecordShape {
  static constexpr std::size_t kMaxFields = std::numeric_limits<FieldMask>::digits;

  consteval RecordShape(std::string_view name, std::span<const std::string_view> fields,
                        std::span<const std::pair<std::string_view, std::size_t>> aliases = {})
      : name(name), fields(fields), aliases(aliases) {
    if (fields.size() > kMaxFields) throw "more fields than a FieldMask has bits";
    for (std::size_t i = 0; i < fields.size(); ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (fields[i] == fields[j]) throw "two fields of one name";
      }
    }
    for (const auto& alias : aliases) {
      if (alias.second >= fields.size()) throw "an alias of a field the record does not have";
      for (std::string_view field : fields) {
        if (alias.first == field) throw "an alias that is a field's name";
      }
    }
  }

  // The field that the member `key` fills, or fields.size() for none. Members mostly come in
  // declaration order: the field `expected` is tried first.
  std::size_t field_of(std::string_view key, std::size_t expected) const {
    if (expected < fields.size() && fields[expected] == key) return expected;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i] == key) return i;
    }
    for (const auto& [alias, field] : aliases) {
      if (alias == key) return field;
    }
    return fields.size();
  }

  std::string_view name;  // "Primitive": shows as "struct Primitive" in errors
  std::span<const std::string_view> fields;
  std::span<const std::pair<std::string_view, std::size_t>> aliases;
};

// A pull reader over a whole JSON text. Callers ask for the value they expect next; anything else
// fails with a JsonError. Values nobody asked for (unknown members) are skipped but still checked
// in full. Nesting is limited to kMaxDepth arrays and objects, so no input can exhaust the stack.
class JsonReader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit JsonReader(std::string_view text) : text_(text) {}

  // `expected` names the wanted kind in invalid-type errors ("a string", "a sequence").
  std::string read_string(std::string_view expected = "a string");
  bool read_bool();

  // An array of any length; `element()` must read exactly one value each time it is called.
  template <class Element>
  void read_array(std::string_view expected, Element&& element) {
    begin_array(expected);
    for (bool first = true; next_element(first);) element();
    end_array();
  }

  // A string holding one of `names`, or an object {"<name>": null}; returns its index.
  std::size_t read_variant(std::span<const std::string_view> names);

  // A record written as an object (members in any order, unknown ones skipped, each field
  // exactly once) or as an array of all fields in declaration order. `field(i)` must read the
  // value of field i.
  template <class Field>
  void read_record(const RecordShape& shape, Field&& field) {
    if (begin_record(shape)) {
      MemberProgress progress;
      while (std::size_t i = next_member(shape, progress)) field(i - 1);
      end_object_record(shape, progress);
    } else {
      bool first = true;
      for (std::size_t i = 0; i < shape.fields.size(); ++i) {
        next_record_element(shape, first, i);
        field(i);
      }
      end_array_record();
    }
  }

  void skip_value();

  // Only whitespace may follow the value that was read.
  void finish();

 private:
  [[noreturn]] void fail_at(std::size_t end, std::string message) const;
  [[noreturn]] void fail_consumed(std::string message) const { fail_at(pos_, std::move(message)); }
  [[noreturn]] void fail_consumed(JsonFault fault) const;
  [[noreturn]] void fail_peeked(JsonFault fault) const;
  [[noreturn]] void fail_invalid_type(std::string_view expected);

  int peek() const { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1; }
  int skip_whitespace();
  // The first byte of the value that must come next; fails at the end of the text.
  int value_start();
  int next_char();
  void enter();
  void leave() { --depth_; }

  void expect_ident(std::string_view rest);
  void expect_colon();
  // After the opening quote: the string's text, as a view of the input where it holds no escape,
  // else of its decoded copy in scratch_, which the next string replaces.
  std::string_view parse_string();
  void append_escape(std::string& out);
  unsigned hex_escape();
  std::string_view scan_number();
  std::string describe_number(std::string_view number);

  bool next_entry(bool& first, int close, JsonFault missing_comma, JsonFault eof);
  bool next_key(bool& first, std::string_view& key);
  void begin_array(std::string_view expected);
  bool next_element(bool& first);
  void end_array();

  struct MemberProgress {
    bool first = true;
    FieldMask seen = 0;
    std::size_t expected = 0;  // the field after the last one read
  };

  bool begin_record(const RecordShape& shape);  // true: object form, false: array form
  std::size_t next_member(const RecordShape& shape,
                          MemberProgress& progress);  // 1 + field, 0 at end
  void end_object_record(const RecordShape& shape, const MemberProgress& progress);
  void next_record_element(const RecordShape& shape, bool& first, std::size_t index);
  void end_array_record();

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string scratch_;  // the text of the last string read, when it held escapes
  int depth_ = 0;
};

}  // namespace tolvane
