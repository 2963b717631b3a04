#include "support/json_reader.hpp"

#include <gtest/gtest.h>

#include <string>

#include "catalogue.hpp"

namespace tolvane {
namespace {

// "message @line:column" of the error a catalogue text fails with, or "ok".
std::string outcome(std::string_view text) {
  try {
    parse_primitive_catalogue(text);
    return "ok";
  } catch (const JsonError& e) {
    return e.message() + " @" + std::to_string(e.line()) + ":" + std::to_string(e.column());
  }
}

// A valid primitive object whose last member is `extra`.
std::string primitive_with(std::string_view extra) {
  return R"([{"name":"n","id":"i","module":"m","column_schemas":[],)"
         R"("return_type":["Double","Numeric"],"function_type":"t","commutative":true,)" +
         std::string(extra) + "}]";
}

// The error of an unknown member with this value, as the member would see it on its own.
std::string skipped(std::string_view value) {
  std::string text = primitive_with(R"("x":)" + std::string(value));
  std::string result = outcome(text);
  return result.substr(0, result.find(" @"));
}

TEST(JsonReaderPositions, ColumnCountsBytesOfTheLineUpToTheByteLookedAt) {
  EXPECT_EQ(outcome(""), "EOF while parsing a value @1:0");
  EXPECT_EQ(outcome("  \n\t"), "EOF while parsing a value @2:1");
  EXPECT_EQ(outcome("[] x"), "trailing characters @1:4");
  EXPECT_EQ(outcome("[]\n\n  "), "ok");
  EXPECT_EQ(outcome("[\n"), "EOF while parsing a list @2:0");
  EXPECT_EQ(outcome("[\n  {}]"), "missing field `name` @2:4");
  EXPECT_EQ(outcome("[1 2]"), "invalid type: integer `1`, expected struct Primitive @1:2");
  EXPECT_EQ(outcome("{\"a\":1}"), "invalid type: map, expected a sequence @1:0");
  EXPECT_EQ(outcome("[\"ab\"]"), "invalid type: string \"ab\", expected struct Primitive @1:5");
  // A byte-order mark is not whitespace.
  EXPECT_EQ(outcome("\xEF\xBB\xBF[]"), "expected value @1:1");
}

TEST(JsonReaderSyntax, ErrorTexts) {
  EXPECT_EQ(outcome("[{]"), "key must be a string @1:3");
  EXPECT_EQ(outcome("[{\"name\" 1}]"), "expected `:` @1:10");
  EXPECT_EQ(outcome("[{\"name\":\"a\" \"id\"}]"), "expected `,` or `}` @1:14");
  EXPECT_EQ(outcome("[{\"name\":\"a\",}]"), "trailing comma @1:14");
  EXPECT_EQ(outcome("[{\"name\":\"a"), "EOF while parsing a string @1:11");
  EXPECT_EQ(outcome("[{\"name\":"), "EOF while parsing a value @1:9");
  EXPECT_EQ(outcome("[{\"name\":\"a\""), "EOF while parsing an object @1:12");
  EXPECT_EQ(skipped("[[] []]"), "expected `,` or `]`");
  EXPECT_EQ(skipped("[[],]"), "trailing comma");
  EXPECT_EQ(outcome("[{\"name\":\"a\tb\"}]"),
            "control character (\\u0000-\\u001F) found while parsing a string @1:12");
  EXPECT_EQ(outcome("[{\"name\":\"\\x\"}]"), "invalid escape @1:12");
  EXPECT_EQ(outcome("[{\"name\":\"\\u12G4\"}]"), "invalid escape @1:16");
  EXPECT_EQ(outcome("[{\"name\":\"\\uDC00\"}]"), "lone leading surrogate in hex escape @1:16");
  EXPECT_EQ(outcome("[{\"name\":\"\\uD800\\u0041\"}]"),
            "lone leading surrogate in hex escape @1:22");
  EXPECT_EQ(outcome("[nul]"), "expected ident @1:5");
  EXPECT_EQ(outcome("[x]"), "expected value @1:2");
}

TEST(JsonReaderPositions, EndOfTextWhereverAValueIsDue) {
  // Each kind of value the reader asks for, and a skipped one, cut off just before it.
  EXPECT_EQ(outcome(R"([{"name":"a", )"), "EOF while parsing a value @1:14");
  EXPECT_EQ(outcome(R"([{"commutative":)"), "EOF while parsing a value @1:16");
  EXPECT_EQ(outcome(R"([{"column_schemas":)"), "EOF while parsing a value @1:19");
  EXPECT_EQ(outcome(R"([{"return_type":{"logical_type":)"), "EOF while parsing a value @1:32");
  EXPECT_EQ(outcome(R"([{"return_type":{"logical_type":{)"), "EOF while parsing a value @1:33");
  EXPECT_EQ(outcome(R"([{"return_type":{"logical_type":{"Double":)"),
            "EOF while parsing a value @1:42");
  EXPECT_EQ(outcome(R"([{"x":)"), "EOF while parsing a value @1:6");
  EXPECT_EQ(outcome(R"([{"x":[1,)"), "EOF while parsing a value @1:9");
  EXPECT_EQ(outcome("[["), "EOF while parsing a list @1:2");
}

TEST(JsonReaderRecords, MissingDuplicateAndLength) {
  EXPECT_EQ(outcome(R"([{"commutative":true,"module":"m"}])"), "missing field `name` @1:34");
  EXPECT_EQ(outcome(R"([{"type":"a","module":"m"}])"), "missing field `id` @1:26");
  EXPECT_EQ(outcome(R"([{"type":"a","name":"b"}])"), "duplicate field `name` @1:19");
  EXPECT_EQ(outcome(R"([{"name":"a","name" :"b"}])"), "duplicate field `name` @1:20");
  EXPECT_EQ(outcome(R"([{"name":"a","type":"b"}])"), "duplicate field `name` @1:19");
  EXPECT_EQ(outcome(R"([["n","i"]])"),
            "invalid length 2, expected struct Primitive with 7 elements @1:10");
  EXPECT_EQ(outcome(R"([["n","i","m",[],["Any","Any"],"t",false,1]])"),
            "trailing characters @1:42");
  EXPECT_EQ(outcome(R"([["n","i","m",[],["Any","Any"],"t",false,]])"), "trailing comma @1:42");
  EXPECT_EQ(outcome(R"([["n","i","m",[[["Any"]]],["Any","Any"],"t",false]])"),
            "invalid length 1, expected struct ColumnSchema with 2 elements @1:23");
  EXPECT_EQ(outcome(R"([["n","i","m",[],["Any","Any","Any"],"t",false]])"),
            "trailing characters @1:31");
  EXPECT_EQ(outcome(R"([["n","i","m",[],{"semantic_tag":"Any"},"t",false]])"),
            "missing field `logical_type` @1:39");
  EXPECT_EQ(outcome(R"([["n","i","m",[],{"semantic_tag":"Any","semantic_tag":"Any"},"t",false]])"),
            "duplicate field `semantic_tag` @1:53");
  EXPECT_EQ(outcome(R"([["n","i","m",[],7,"t",false]])"),
            "invalid type: integer `7`, expected struct ColumnSchema @1:18");
}

TEST(JsonReaderRecords, TypeValuesAreCanonicalNamesOrUnitObjects) {
  auto with_return = [](std::string_view schema) {
    return outcome(R"([["n","i","m",[],)" + std::string(schema) + R"(,"t",false]])");
  };
  EXPECT_EQ(with_return(R"([{"Integer":null},{ "Any" : null }])"), "ok");
  std::string unknown = with_return(R"(["integer","Any"])");
  EXPECT_EQ(unknown.substr(0, unknown.find(" @")),
            "unknown variant `integer`, expected one of `Boolean`, `BooleanNullable`, `Address`, "
            "`Age`, `AgeFractional`, `Categorical`, `Datetime`, `Double`, `Integer`, "
            "`IntegerNullable`, `PostalCode`, `Ordinal`, `EmailAddress`, `LatLong`, `URL`, "
            "`NaturalLanguage`, `Timedelta`, `Numeric`, `TimeIndex`, `ForeignKey`, `DateOfBirth`, "
            "`Index`, `Any`, `Unknown`");
  EXPECT_EQ(with_return(R"([1,"Any"])"), "expected value @1:19");
  EXPECT_EQ(with_return(R"({"logical_type":5,"semantic_tag":"Any"})"), "expected value @1:34");
  EXPECT_EQ(with_return(R"([{"Integer":1},"Any"])"),
            "invalid type: integer `1`, expected unit @1:30");
  EXPECT_EQ(with_return(R"([{"Integer":true},"Any"])"),
            "invalid type: boolean `true`, expected unit @1:33");
  EXPECT_EQ(with_return(R"([{"Integer":null,"Any":null},"Any"])"), "expected value @1:33");
  EXPECT_EQ(with_return(R"([{},"Any"])"), "expected value @1:20");
}

TEST(JsonReaderValues, UnexpectedValuesAreDescribed) {
  auto commutative = [](std::string_view value) {
    std::string result =
        outcome(R"([["n","i","m",[],["Any","Any"],"t",)" + std::string(value) + "]]");
    return result.substr(0, result.find(" @"));
  };
  EXPECT_EQ(commutative("null"), "invalid type: null, expected a boolean");
  EXPECT_EQ(commutative("\"true\""), "invalid type: string \"true\", expected a boolean");
  EXPECT_EQ(commutative("\"a\\\"\\n\""), "invalid type: string \"a\\\"\\n\", expected a boolean");
  EXPECT_EQ(commutative("[]"), "invalid type: sequence, expected a boolean");
  EXPECT_EQ(commutative("-12"), "invalid type: integer `-12`, expected a boolean");
  EXPECT_EQ(commutative("18446744073709551615"),
            "invalid type: integer `18446744073709551615`, expected a boolean");
  EXPECT_EQ(commutative("18446744073709551616"),
            "invalid type: floating point `1.8446744073709552e19`, expected a boolean");
  EXPECT_EQ(commutative("-0"), "invalid type: floating point `-0.0`, expected a boolean");
  EXPECT_EQ(commutative("1.5"), "invalid type: floating point `1.5`, expected a boolean");
  EXPECT_EQ(commutative("1E2"), "invalid type: floating point `100.0`, expected a boolean");
  EXPECT_EQ(commutative("0.00012"), "invalid type: floating point `0.00012`, expected a boolean");
  EXPECT_EQ(commutative("1e-7"), "invalid type: floating point `1e-7`, expected a boolean");
  EXPECT_EQ(commutative("1e400"), "number out of range");
  EXPECT_EQ(commutative("1e-400"), "invalid type: floating point `0.0`, expected a boolean");
  EXPECT_EQ(commutative("01"), "invalid number");
  EXPECT_EQ(commutative("1."), "invalid number");
  EXPECT_EQ(commutative("-"), "invalid number");
  EXPECT_EQ(commutative("1e+"), "invalid number");
  EXPECT_EQ(outcome(R"([["n",1,"m",[],["Any","Any"],"t",true]])"),
            "invalid type: integer `1`, expected a string @1:7");
  EXPECT_EQ(outcome(R"([["n","i",null,[],["Any","Any"],"t",true]])"),
            "invalid type: null, expected a string @1:14");
  EXPECT_EQ(outcome(R"([["n","i","m",[["Any"]],["Any","Any"],"t",true]])"),
            "invalid type: string \"Any\", expected struct ColumnSchema @1:21");
  EXPECT_EQ(outcome(R"([["n","i","m",{},["Any","Any"],"t",true]])"),
            "invalid type: map, expected a sequence @1:14");
}

TEST(JsonReaderSkipping, UnknownMembersAreCheckedButIgnored) {
  EXPECT_EQ(skipped(R"({"a":[1,-2.5e3,true,false,null,"\u00e9\ud83d\ude00",{}],"b":{"c":[]}})"),
            "ok");
  EXPECT_EQ(skipped("[1,]"), "trailing comma");
  EXPECT_EQ(skipped("{\"a\" 1}"), "expected `:`");
  EXPECT_EQ(skipped("{1:2}"), "key must be a string");
  EXPECT_EQ(skipped("\"\\uD800\""), "unexpected end of hex escape");
  EXPECT_EQ(skipped("tru"), "expected ident");
  EXPECT_EQ(skipped("1.e1"), "invalid number");
  EXPECT_EQ(skipped("1e999"), "ok");  // a skipped number is only checked for its form
}

TEST(JsonReaderNesting, DepthIsLimitedEverywhere) {
  // The catalogue itself uses three levels before the member value.
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_EQ(skipped(nested(JsonReader::kMaxDepth - 2)), "ok");
  EXPECT_EQ(skipped(nested(JsonReader::kMaxDepth - 1)), "recursion limit exceeded");
  std::string objects;
  for (int i = 0; i < 100'000; ++i) objects += "{\"a\":";
  EXPECT_EQ(skipped(objects), "recursion limit exceeded");
  EXPECT_EQ(outcome("[{\"x\":" + std::string(1'000'000, '[')), "recursion limit exceeded @1:133");
}

TEST(JsonReaderCatalogue, ReadsBothFormsAndKeepsIdsAsWritten) {
  auto primitives = parse_primitive_catalogue(
      R"([{"id":"x","type":"add","module":"m","column_schemas":[[{"logical_type":"Double","semantic_tag":"Numeric"}],[]],)"
      R"("return_type":{"semantic_tag":"Numeric","extra":[1],"logical_type":"Double"},"function_type":"transform","commutative":false},)"
      R"(["n\u0000\u00e9\u20ac\ud83d\ude00","","",[],[{"Any":null},"Unknown"],"",true]])");
  ASSERT_EQ(primitives.size(), 2u);
  EXPECT_EQ(primitive_text(*primitives[0]),
            "add:m:transform:false:[InputSet([ColumnSchema { logical_type: Double, semantic_tag: "
            "Numeric }]), InputSet([])]");
  EXPECT_EQ(primitives[0]->id, "x");
  EXPECT_EQ(primitives[1]->name, std::string("n\0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 11));
  EXPECT_EQ(primitives[1]->return_type, (ColumnSchema{LogicalType::Any, LogicalType::Unknown}));
  EXPECT_TRUE(primitives[1]->commutative);
}

// Strings are scanned many bytes at a time: what ends a run of plain bytes must be found, and
// reported, wherever it falls.
TEST(JsonReaderStrings, EscapesAndErrorsWhereverTheyFall) {
  const std::string head = R"([{"name":")";
  for (std::size_t run = 0; run <= 40; ++run) {
    const std::string plain(run, 'a');
    const std::string at = " @1:" + std::to_string(head.size() + run + 1);
    EXPECT_EQ(outcome(head + plain + "\t\"}]"),
              "control character (\\u0000-\\u001F) found while parsing a string" + at);
    EXPECT_EQ(outcome(head + plain + "\\x\"}]"),
              "invalid escape @1:" + std::to_string(head.size() + run + 2));
    EXPECT_EQ(outcome(head + plain),
              "EOF while parsing a string @1:" + std::to_string(head.size() + run));
    auto primitives = parse_primitive_catalogue(R"([["a)" + plain + R"(\n\u00e9)" + plain +
                                                R"(b\"","i","m",[],["Any","Any"],"t",true]])");
    EXPECT_EQ(primitives[0]->name, "a" + plain + "\n\xC3\xA9" + plain + "b\"");
  }
}

TEST(JsonReaderRecords, KeysMatchByTheirTextInAnyOrder) {
  // Escaped keys name fields too; members out of order fill their own fields.
  auto primitives = parse_primitive_catalogue(
      R"([{"commutative":false,"function_type":"t","return_type":["Any","Any"],)"
      R"("column_schemas":[],"module":"m","i\u0064":"x","\u0074ype":"t\u00e9"}])");
  ASSERT_EQ(primitives.size(), 1u);
  EXPECT_EQ(primitive_text(*primitives[0]), "t\xC3\xA9:m:t:false:[]");
  EXPECT_EQ(primitives[0]->id, "x");
  EXPECT_EQ(outcome(R"([{"name":"a","id":"b","n\u0061me":"c"}])"), "duplicate field `name` @1:33");
  EXPECT_EQ(outcome(R"([{"id":"b","name":"a","id":"c"}])"), "duplicate field `id` @1:26");
}

TEST(JsonReaderCatalogue, ErrorDebugTextQuotesTheMessage) {
  EXPECT_EQ(JsonError("string \"a\"", 3, 7).debug_text(),
            R"(Error("string \"a\"", line: 3, column: 7))");
}

}  // namespace
}  // namespace tolvane
