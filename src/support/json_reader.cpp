#include "support/json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>

#include "support/debug_text.hpp"
#include "support/json_text.hpp"
#include "support/unicode.hpp"

namespace tolvane {
namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// \uXXXX
constexpr std::size_t kHexEscapeDigits = 4;

// UTF-16 surrogates: a character beyond U+FFFF is escaped as a leading and a trailing one, each
// carrying ten bits of its distance from the first such character.
constexpr char32_t kFirstLeadingSurrogate = 0xD800, kLastLeadingSurrogate = 0xDBFF;
constexpr char32_t kFirstTrailingSurrogate = 0xDC00, kLastTrailingSurrogate = 0xDFFF;
constexpr char32_t kFirstSupplementary = 0x10000;
constexpr int kBitsPerSurrogate = 10;

bool is_leading_surrogate(char32_t c) {
  return c >= kFirstLeadingSurrogate && c <= kLastLeadingSurrogate;
}
bool is_trailing_surrogate(char32_t c) {
  return c >= kFirstTrailingSurrogate && c <= kLastTrailingSurrogate;
}
char32_t combine_surrogates(char32_t leading, char32_t trailing) {
  return kFirstSupplementary + ((leading - kFirstLeadingSurrogate) << kBitsPerSurrogate) +
         (trailing - kFirstTrailingSurrogate);
}

// The longest double in scientific form, "-2.2250738585072014e-308", has 24 characters.
constexpr std::size_t kScientificSize = 32;

// The messages show a float positionally while its decimal point stands from
// kLowestPositionalPoint to kHighestPositionalPoint places after the start of its digits (from
// 0.0000d up to 16 digits before the point), in exponent form beyond.
constexpr int kLowestPositionalPoint = -4;
constexpr int kHighestPositionalPoint = 16;

// Shortest round-trip digits, laid out positionally for moderate magnitudes and in exponent
// form otherwise: 1.5, 100.0, 0.001, 1e20, 1.25e-7.
std::string format_float(double v) {
  char buf[kScientificSize];
  auto result = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  auto e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
  int length = static_cast<int>(digits.size());
  int point = exponent + 1;  // value = 0.<digits> * 10^point
  if (point >= length && point <= kHighestPositionalPoint) {
    out += digits;
    out.append(static_cast<std::size_t>(point - length), '0');
    out += ".0";
  } else if (point > 0 && point <= kHighestPositionalPoint) {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  } else if (point >= kLowestPositionalPoint && point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(point - 1);
  }
  return out;
}

// Correctly rounded decimal to double, independent of the process locale.
double parse_double(std::string_view number) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  std::string copy(number);
  return strtod_l(copy.c_str(), nullptr, c_locale);
}

}  // namespace

std::string JsonError::debug_text() const {
  std::string out = "Error(";
  append_quoted(out, message_);
  out += ", line: " + std::to_string(line_) + ", column: " + std::to_string(column_) + ")";
  return out;
}

std::string_view json_fault_text(JsonFault fault) {
  switch (fault) {
    case JsonFault::kEofInValue:
      return "EOF while parsing a value";
    case JsonFault::kEofInObject:
      return "EOF while parsing an object";
    case JsonFault::kEofInList:
      return "EOF while parsing a list";
    case JsonFault::kEofInString:
      return "EOF while parsing a string";
    case JsonFault::kExpectedIdent:
      return "expected ident";
    case JsonFault::kExpectedColon:
      return "expected `:`";
    case JsonFault::kExpectedValue:
      return "expected value";
    case JsonFault::kExpectedCommaOrBrace:
      return "expected `,` or `}`";
    case JsonFault::kExpectedCommaOrBracket:
      return "expected `,` or `]`";
    case JsonFault::kKeyNotString:
      return "key must be a string";
    case JsonFault::kTrailingComma:
      return "trailing comma";
    case JsonFault::kTrailingCharacters:
      return "trailing characters";
    case JsonFault::kControlCharacter:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case JsonFault::kInvalidEscape:
      return "invalid escape";
    case JsonFault::kLoneSurrogate:
      return "lone leading surrogate in hex escape";
    case JsonFault::kUnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case JsonFault::kInvalidNumber:
      return "invalid number";
    case JsonFault::kNumberOutOfRange:
      return "number out of range";
    case JsonFault::kRecursionLimit:
      return "recursion limit exceeded";
  }
  return {};
}

// Positions are byte offsets `end` just past the byte the reader was looking at.
void JsonReader::fail_at(std::size_t end, std::string message) const {
  std::string_view before = text_.substr(0, end);
  std::size_t newline = before.rfind('\n');
  std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
  auto line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
  throw JsonError(std::move(message), line, end - line_start);
}

void JsonReader::fail_consumed(JsonFault fault) const {
  fail_at(pos_, std::string(json_fault_text(fault)));
}

void JsonReader::fail_peeked(JsonFault fault) const {
  fail_at(std::min(pos_ + 1, text_.size()), std::string(json_fault_text(fault)));
}

// The value here is not of the wanted kind: read it to say what it is instead.
void JsonReader::fail_invalid_type(std::string_view expected) {
  std::string unexpected;
  switch (peek()) {
    case 'n':
      ++pos_;
      expect_ident("ull");
      unexpected = "null";
      break;
    case 't':
      ++pos_;
      expect_ident("rue");
      unexpected = "boolean `true`";
      break;
    case 'f':
      ++pos_;
      expect_ident("alse");
      unexpected = "boolean `false`";
      break;
    case '"':
      ++pos_;
      unexpected = "string ";
      append_quoted(unexpected, parse_string());
      break;
    case '[':
      unexpected = "sequence";
      break;
    case '{':
      unexpected = "map";
      break;
    default:
      if (peek() != '-' && !is_digit(peek())) fail_peeked(JsonFault::kExpectedValue);
      unexpected = describe_number(scan_number());
  }
  std::string message = "invalid type: " + unexpected + ", expected ";
  message += expected;
  fail_consumed(std::move(message));
}

int JsonReader::skip_whitespace() {
  while (pos_ < text_.size()) {
    char c = text_[pos_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
    ++pos_;
  }
  return peek();
}

int JsonReader::value_start() {
  int c = skip_whitespace();
  if (c < 0) fail_peeked(JsonFault::kEofInValue);
  return c;
}

int JsonReader::next_char() {
  int c = peek();
  if (c >= 0) ++pos_;
  return c;
}

void JsonReader::enter() {
  if (++depth_ > kMaxDepth) fail_peeked(JsonFault::kRecursionLimit);
}

void JsonReader::expect_ident(std::string_view rest) {
  for (char expected : rest) {
    int c = next_char();
    if (c < 0) fail_consumed(JsonFault::kEofInValue);
    if (c != static_cast<unsigned char>(expected)) fail_consumed(JsonFault::kExpectedIdent);
  }
}

void JsonReader::expect_colon() {
  int c = skip_whitespace();
  if (c == ':') {
    ++pos_;
    return;
  }
  fail_peeked(c < 0 ? JsonFault::kEofInObject : JsonFault::kExpectedColon);
}

// Called after the opening quote.
std::string_view JsonReader::parse_string() {
  std::size_t start = pos_;
  pos_ += plain_run(text_.data() + pos_, text_.size() - pos_);
  if (peek() == '"') return text_.substr(start, pos_++ - start);
  scratch_.clear();
  for (;;) {
    scratch_.append(text_.substr(start, pos_ - start));
    int c = next_char();
    if (c < 0) fail_consumed(JsonFault::kEofInString);
    if (c == '"') return scratch_;
    if (c != '\\') fail_consumed(JsonFault::kControlCharacter);
    append_escape(scratch_);
    start = pos_;
    pos_ += plain_run(text_.data() + pos_, text_.size() - pos_);
  }
}

void JsonReader::append_escape(std::string& out) {
  int c = next_char();
  switch (c) {
    case -1:
      fail_consumed(JsonFault::kEofInString);
    case '"':
      out += '"';
      return;
    case '\\':
      out += '\\';
      return;
    case '/':
      out += '/';
      return;
    case 'b':
      out += '\b';
      return;
    case 'f':
      out += '\f';
      return;
    case 'n':
      out += '\n';
      return;
    case 'r':
      out += '\r';
      return;
    case 't':
      out += '\t';
      return;
    case 'u':
      break;
    default:
      fail_consumed(JsonFault::kInvalidEscape);
  }
  char32_t code = hex_escape();
  if (is_trailing_surrogate(code)) fail_consumed(JsonFault::kLoneSurrogate);
  if (is_leading_surrogate(code)) {
    // A leading surrogate must be followed by an escaped trailing one.
    for (char expected : {'\\', 'u'}) {
      int next = next_char();
      if (next < 0) fail_consumed(JsonFault::kEofInString);
      if (next != expected) fail_consumed(JsonFault::kUnexpectedEndOfHexEscape);
    }
    char32_t trailing = hex_escape();
    if (!is_trailing_surrogate(trailing)) fail_consumed(JsonFault::kLoneSurrogate);
    code = combine_surrogates(code, trailing);
  }
  append_utf8(out, code);
}

unsigned JsonReader::hex_escape() {
  if (text_.size() - pos_ < kHexEscapeDigits) {
    pos_ = text_.size();
    fail_consumed(JsonFault::kEofInString);
  }
  unsigned value = 0;
  bool valid = true;
  for (std::size_t i = 0; i < kHexEscapeDigits; ++i) {
    int digit = hex_value(text_[pos_++]);
    valid = valid && digit >= 0;
    value = value * 16 + static_cast<unsigned>(std::max(digit, 0));
  }
  if (!valid) fail_consumed(JsonFault::kInvalidEscape);
  return value;
}

// Checks the number's syntax and returns its text.
std::string_view JsonReader::scan_number() {
  std::size_t start = pos_;
  if (peek() == '-') ++pos_;
  int c = next_char();
  if (c == '0') {
    if (is_digit(peek())) fail_peeked(JsonFault::kInvalidNumber);
  } else if (is_digit(c)) {
    while (is_digit(peek())) ++pos_;
  } else {
    fail_consumed(JsonFault::kInvalidNumber);
  }
  if (peek() == '.') {
    ++pos_;
    if (!is_digit(peek())) fail_peeked(JsonFault::kInvalidNumber);
    while (is_digit(peek())) ++pos_;
  }
  if (peek() == 'e' || peek() == 'E') {
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    if (!is_digit(next_char())) fail_consumed(JsonFault::kInvalidNumber);
    while (is_digit(peek())) ++pos_;
  }
  return text_.substr(start, pos_ - start);
}

// "integer `5`" for integers that fit 64 bits, "floating point `1.5`" for everything else.
std::string JsonReader::describe_number(std::string_view number) {
  bool negative = number.front() == '-';
  std::string_view magnitude = number.substr(negative ? 1 : 0);
  if (magnitude.find_first_of(".eE") == std::string_view::npos) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(magnitude.data(), magnitude.data() + magnitude.size(), value);
    if (ec == std::errc{}) {
      constexpr std::uint64_t kLargestNegated = std::uint64_t{1} << 63;
      if (!negative) return "integer `" + std::string(magnitude) + "`";
      if (value == 0) return "floating point `-0.0`";  // -0 has no integer form
      if (value <= kLargestNegated) return "integer `-" + std::string(magnitude) + "`";
    }
  }
  double value = parse_double(number);
  if (std::isinf(value)) fail_consumed(JsonFault::kNumberOutOfRange);
  return "floating point `" + format_float(value) + "`";
}

bool JsonReader::next_entry(bool& first, int close, JsonFault missing_comma, JsonFault eof) {
  int c = skip_whitespace();
  if (c == close) return false;
  if (c < 0) fail_peeked(eof);
  if (first) {
    first = false;
  } else if (c == ',') {
    ++pos_;
    if (skip_whitespace() == close) fail_peeked(JsonFault::kTrailingComma);
    value_start();
  } else {
    fail_peeked(missing_comma);
  }
  return true;
}

bool JsonReader::next_key(bool& first, std::string_view& key) {
  if (!next_entry(first, '}', JsonFault::kExpectedCommaOrBrace, JsonFault::kEofInObject))
    return false;
  if (peek() != '"') fail_peeked(JsonFault::kKeyNotString);
  ++pos_;
  key = parse_string();
  return true;
}

void JsonReader::begin_array(std::string_view expected) {
  int c = value_start();
  if (c != '[') fail_invalid_type(expected);
  enter();
  ++pos_;
}

bool JsonReader::next_element(bool& first) {
  return next_entry(first, ']', JsonFault::kExpectedCommaOrBracket, JsonFault::kEofInList);
}

void JsonReader::end_array() {
  ++pos_;  // the ']' that next_element stopped at
  leave();
}

std::string JsonReader::read_string(std::string_view expected) {
  int c = value_start();
  if (c != '"') fail_invalid_type(expected);
  ++pos_;
  return std::string(parse_string());
}

bool JsonReader::read_bool() {
  int c = value_start();
  if (c != 't' && c != 'f') fail_invalid_type("a boolean");
  ++pos_;
  expect_ident(c == 't' ? "rue" : "alse");
  return c == 't';
}

std::size_t JsonReader::read_variant(std::span<const std::string_view> names) {
  auto lookup = [&](std::string_view text) {
    // Most names differ from the text in length or in the first byte.
    auto found = std::find_if(names.begin(), names.end(), [text](std::string_view name) {
      return name.size() == text.size() && (text.empty() || name[0] == text[0]) && name == text;
    });
    if (found != names.end()) return static_cast<std::size_t>(found - names.begin());
    std::string message = "unknown variant `" + std::string(text) + "`, expected one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) message += ", ";
      message += '`';
      message += names[i];
      message += '`';
    }
    fail_consumed(std::move(message));
  };
  int c = skip_whitespace();
  if (c == '"') {
    ++pos_;
    return lookup(parse_string());
  }
  if (c != '{') fail_peeked(c < 0 ? JsonFault::kEofInValue : JsonFault::kExpectedValue);
  enter();
  ++pos_;
  c = value_start();
  if (c != '"') fail_invalid_type("variant identifier");
  ++pos_;
  std::size_t index = lookup(parse_string());
  expect_colon();
  c = value_start();
  if (c != 'n') fail_invalid_type("unit");
  ++pos_;
  expect_ident("ull");
  leave();
  c = skip_whitespace();
  if (c != '}') fail_consumed(c < 0 ? JsonFault::kEofInObject : JsonFault::kExpectedValue);
  ++pos_;
  return index;
}

bool JsonReader::begin_record(const RecordShape& shape) {
  int c = value_start();
  if (c != '{' && c != '[') fail_invalid_type("struct " + std::string(shape.name));
  enter();
  ++pos_;
  return c == '{';
}

std::size_t JsonReader::next_member(const RecordShape& shape, MemberProgress& progress) {
  std::string_view key;
  while (next_key(progress.first, key)) {
    std::size_t index = shape.field_of(key, progress.expected);
    if (index == shape.fields.size()) {
      expect_colon();
      skip_value();
      continue;
    }
    FieldMask bit = FieldMask{1} << index;
    if (progress.seen & bit) {
      skip_whitespace();
      fail_consumed("duplicate field `" + std::string(shape.fields[index]) + "`");
    }
    progress.seen |= bit;
    progress.expected = index + 1;
    expect_colon();
    return index + 1;
  }
  return 0;
}

void JsonReader::end_object_record(const RecordShape& shape, const MemberProgress& progress) {
  ++pos_;  // the '}' that next_member stopped at: a missing field is reported there
  leave();
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    if (!(progress.seen & (FieldMask{1} << i))) {
      fail_consumed("missing field `" + std::string(shape.fields[i]) + "`");
    }
  }
}

void JsonReader::next_record_element(const RecordShape& shape, bool& first, std::size_t index) {
  if (next_element(first)) return;
  ++pos_;
  fail_consumed("invalid length " + std::to_string(index) + ", expected struct " +
                std::string(shape.name) + " with " + std::to_string(shape.fields.size()) +
                " elements");
}

void JsonReader::end_array_record() {
  int c = skip_whitespace();
  if (c == ']') {
    ++pos_;
    leave();
    return;
  }
  if (c < 0) fail_peeked(JsonFault::kEofInList);
  if (c == ',') {
    ++pos_;
    if (skip_whitespace() == ']') fail_peeked(JsonFault::kTrailingComma);
  }
  fail_peeked(JsonFault::kTrailingCharacters);
}

void JsonReader::skip_value() {
  switch (value_start()) {
    case 'n':
      ++pos_;
      expect_ident("ull");
      return;
    case 't':
      ++pos_;
      expect_ident("rue");
      return;
    case 'f':
      ++pos_;
      expect_ident("alse");
      return;
    case '"':
      ++pos_;
      parse_string();
      return;
    case '[':
      begin_array("");
      for (bool first = true; next_element(first);) skip_value();
      end_array();
      return;
    case '{': {
      enter();
      ++pos_;
      std::string_view key;
      for (bool first = true; next_key(first, key);) {
        expect_colon();
        skip_value();
      }
      ++pos_;
      leave();
      return;
    }
    default:
      if (peek() != '-' && !is_digit(peek())) fail_peeked(JsonFault::kExpectedValue);
      scan_number();
  }
}

void JsonReader::finish() {
  if (skip_whitespace() >= 0) fail_peeked(JsonFault::kTrailingCharacters);
}

}  // namespace tolvane
