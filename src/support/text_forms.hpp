#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// The pieces shared by the structured text forms and the JSON forms of records.

// "[<item><separator><item>...]", each item appended by `append_item(out, item)`.
template <class Items, class AppendItem>
void append_list(std::string& out, const Items& items, std::string_view separator,
                 AppendItem&& append_item) {
  out += '[';
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += separator;
    first = false;
    append_item(out, item);
  }
  out += ']';
}

// What stands around the fields of a record written in one of the forms.
struct RecordPunctuation {
  std::string_view open;         // after the record's name
  std::string_view before_name;  // of a field
  std::string_view after_name;   // before its value
  std::string_view separator;    // between fields
  std::string_view close;
};
// ColumnSchema { logical_type: Integer, semantic_tag: Numeric }
inline constexpr RecordPunctuation kStructuredText{" { ", "", ": ", ", ", " }"};
// {"logical_type":"Integer","semantic_tag":"Numeric"}: field names need no escaping.
inline constexpr RecordPunctuation kJsonObject{"{", "\"", "\":", ",", "}"};

// Writes a record field by field: `field` appends what stands before a field's value and returns
// the text to append the value to; `end` closes the record.
class RecordWriter {
 public:
  RecordWriter(std::string& out, const RecordPunctuation& punctuation, std::string_view name = {})
      : out_(out), punctuation_(punctuation) {
    out_ += name;
    out_ += punctuation_.open;
  }
  std::string& field(std::string_view name) {
    if (!first_) out_ += punctuation_.separator;
    first_ = false;
    out_ += punctuation_.before_name;
    out_ += name;
    out_ += punctuation_.after_name;
    return out_;
  }
  void end() { out_ += punctuation_.close; }

 private:
  std::string& out_;
  const RecordPunctuation& punctuation_;
  bool first_ = true;
};

}  // namespace tolvane
