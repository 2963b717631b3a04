#include "catalogue.hpp"

#include <iterator>
#include <new>
#include <utility>

#include "support/file_io.hpp"
#include "support/json_reader.hpp"
#include "support/json_writer.hpp"
#include "support/panic.hpp"
#include "support/system_limits.hpp"
#include "support/text_forms.hpp"
#include "support/unicode.hpp"

namespace tolvane {
namespace {

constexpr std::string_view kSchemaFields[] = {"logical_type", "semantic_tag"};
constexpr RecordShape kSchemaShape{"ColumnSchema", kSchemaFields};

constexpr std::string_view kPrimitiveFields[] = {
    "name", "id", "module", "column_schemas", "return_type", "function_type", "commutative"};
constexpr std::pair<std::string_view, std::size_t> kPrimitiveAliases[] = {{"type", 0}};
constexpr RecordShape kPrimitiveShape{"Primitive", kPrimitiveFields, kPrimitiveAliases};

LogicalType read_logical_type(JsonReader& r) {
  return static_cast<LogicalType>(r.read_variant(canonical_names()));
}

ColumnSchema read_schema(JsonReader& r) {
  ColumnSchema s;
  r.read_record(kSchemaShape, [&](std::size_t field) {
    (field == 0 ? s.logical_type : s.semantic_tag) = read_logical_type(r);
  });
  return s;
}

// Reads the primitives of a catalogue. Their lists are gathered in buffers kept from one primitive
// to the next, and copied out at their final size: one allocation a list.
class CatalogueParser {
 public:
  explicit CatalogueParser(std::string_view text) : r_(text) {}

  std::vector<PrimitiveRef> parse() {
    std::vector<PrimitiveRef> primitives;
    r_.read_array("a sequence", [&] { primitives.push_back(read_primitive()); });
    r_.finish();
    return primitives;
  }

 private:
  InputSet read_input_set() {
    schemas_.clear();
    r_.read_array("a sequence", [&] { schemas_.push_back(read_schema(r_)); });
    return InputSet{schemas_};
  }

  PrimitiveRef read_primitive() {
    Primitive p;
    r_.read_record(kPrimitiveShape, [&](std::size_t field) {
      switch (field) {
        case 0:
          p.name = r_.read_string();
          break;
        case 1:
          p.id = r_.read_string();
          break;
        case 2:
          p.module = r_.read_string();
          break;
        case 3:
          sets_.clear();
          r_.read_array("a sequence", [&] { sets_.push_back(read_input_set()); });
          p.column_schemas.assign(std::make_move_iterator(sets_.begin()),
                                  std::make_move_iterator(sets_.end()));
          break;
        case 4:
          p.return_type = read_schema(r_);
          break;
        case 5:
          p.function_type = r_.read_string();
          break;
        default:
          p.commutative = r_.read_bool();
          break;
      }
    });
    return make_primitive(std::move(p));
  }

  JsonReader r_;
  std::vector<ColumnSchema> schemas_;
  std::vector<InputSet> sets_;
};

}  // namespace

// Written once for every feature of a feature file: the fixed text goes in whole pieces.
// Canonical names need no escaping.
void append_schema_json(std::string& out, ColumnSchema s) {
  out += "{\"logical_type\":\"";
  out += canonical_name(s.logical_type);
  out += "\",\"semantic_tag\":\"";
  out += canonical_name(s.semantic_tag);
  out += "\"}";
}

void append_primitive_json(std::string& out, const Primitive& p) {
  RecordWriter record(out, kJsonObject);
  append_json_string(record.field("name"), p.name);
  append_json_string(record.field("id"), p.id);
  append_json_string(record.field("module"), p.module);
  append_list(record.field("column_schemas"), p.column_schemas, ",",
              [](std::string& out, const InputSet& set) {
                append_list(out, set.schemas, ",", append_schema_json);
              });
  append_schema_json(record.field("return_type"), p.return_type);
  append_json_string(record.field("function_type"), p.function_type);
  record.field("commutative") += p.commutative ? "true" : "false";
  record.end();
}

std::vector<PrimitiveRef> parse_primitive_catalogue(std::string_view text) {
  return CatalogueParser(text).parse();
}

std::vector<PrimitiveRef> read_primitive_catalogue(const std::string& path, const StopProbe& stop) {
  std::string text;
  MemoryReservation memory;
  if (auto failure = read_whole_file(path, text, memory, stop)) {
    panic(std::string(kReadFailure) + *failure);
  }
  if (!is_valid_utf8(text)) {
    panic(std::string(kReadFailure) + std::string(kInvalidUtf8Failure));
  }
  // The text, and the records, which take about as much memory as the text (less in a catalogue
  // of long names and ids, several times more in one of arrays of empty strings).
  if (!memory.reserve(2 * std::uint64_t{text.size()})) throw std::bad_alloc();
  try {
    return parse_primitive_catalogue(text);
  } catch (const JsonError& e) {
    panic(std::string(kUnwrapFailure) + e.debug_text());
  }
}

}  // namespace tolvane
