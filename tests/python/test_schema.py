"""Type values, schemas, input sets and primitives as Python sees them."""
import sys

import pytest

import tolvane
from support import PanicException, sha

NAMES = ["Boolean", "BooleanNullable", "Address", "Age", "AgeFractional", "Categorical", "Datetime",
         "Double", "Integer", "IntegerNullable", "PostalCode", "Ordinal", "EmailAddress", "LatLong",
         "URL", "NaturalLanguage", "Timedelta", "Numeric", "TimeIndex", "ForeignKey", "DateOfBirth",
         "Index", "Any", "Unknown"]


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "Unknown:Unknown"),
    ((None, None), {}, "Unknown:Unknown"),
    ((), {"st": "numeric"}, "Unknown:Numeric"),
    (("URL", "Index"), {}, "URL:Index"),
    (("url", "index"), {}, "URL:Index"),
    (("numeric", "integer"), {}, "Numeric:Integer"),
    (("unknown", "any"), {}, "Unknown:Any"),
    (("IntegerNullable",), {}, "IntegerNullable:Unknown"),
    (("DateTime", "iNtEgEr"), {}, "Datetime:Integer"),
    (("foreign\u212aey",), {}, "ForeignKey:Unknown"),
])
def test_schema_text(args, kwargs, text):
    s = tolvane.ColumnSchema(*args, **kwargs)
    assert str(s) == repr(s) == text


@pytest.mark.parametrize("name", NAMES)
def test_every_canonical_name_and_its_spellings_look_up(name):
    for spelling in (name, name.lower(), name.upper()):
        assert str(tolvane.ColumnSchema(spelling, spelling)) == f"{name}:{name}"


@pytest.mark.parametrize("lt, st, bad", [
    ("NullableInteger", None, "NullableInteger"),
    ("bogus", "also bogus", "bogus"),
    ("integer", "also bogus", "also bogus"),
    (" integer", None, " integer"),
    ("integer ", None, "integer "),
    ("Email_Address", None, "Email_Address"),
    ("natural language", None, "natural language"),
    ("", None, ""),
    ("\u0130nteger", None, "\u0130nteger"),
])
def test_unknown_names_fail_naming_the_first_bad_text(lt, st, bad):
    with pytest.raises(PanicException) as e:
        tolvane.ColumnSchema(lt, st)
    assert str(e.value) == f"{bad} is not a valid logical type: ()"


@pytest.mark.slow
def test_lookup_agrees_with_str_lower_for_every_code_point():
    # Each code point in front of, and inside, a type name: the lookup succeeds exactly when
    # Python's own full lower-casing of the text is a lookup spelling.
    spellings = {n.lower(): n for n in NAMES}
    unicode_version_gap = range(0x30000, 0x110000)  # planes Python's tables may know differently
    mismatches = []
    for cp in range(sys.maxunicode + 1):
        if 0xD800 <= cp <= 0xDFFF or cp in unicode_version_gap:
            continue
        c = chr(cp)
        for text in (c + "ey", "foreign" + c + "ey", c + "ndex"):
            expected = spellings.get(text.lower())
            try:
                got = str(tolvane.ColumnSchema(text)).split(":")[0]
            except PanicException:
                got = None
            if got != expected:
                mismatches.append((hex(cp), text, expected, got))
    assert mismatches == []


def test_schema_objects_compare_and_hash_by_identity():
    a, b = tolvane.ColumnSchema("integer"), tolvane.ColumnSchema("integer")
    assert a != b and a == a
    assert len({a, b}) == 2


@pytest.mark.parametrize("pairs, text", [
    ([], "[]"),
    ("", "[]"),
    ([(None, None)], "[ColumnSchema { logical_type: Unknown, semantic_tag: Unknown }]"),
    ([("integer", "NUMERIC")], "[ColumnSchema { logical_type: Integer, semantic_tag: Numeric }]"),
    ((("boolean", None), ("boolean", None)),
     "[ColumnSchema { logical_type: Boolean, semantic_tag: Unknown }, "
     "ColumnSchema { logical_type: Boolean, semantic_tag: Unknown }]"),
])
def test_input_set_text(pairs, text):
    s = tolvane.InputSet(pairs)
    assert str(s) == repr(s) == text
    assert str(tolvane.InputSet(inputs=pairs)) == text


def test_input_set_checks_every_pair_before_looking_up_names():
    with pytest.raises(PanicException, match="no such type is not a valid logical type"):
        tolvane.InputSet([("integer", None), ("no such type", None)])
    with pytest.raises(ValueError):
        tolvane.InputSet([("no such type", None), ("integer",)])


ADD = ("add_numeric:ops:transform:true:[InputSet([ColumnSchema { logical_type: Double, semantic_tag: Numeric }, "
       "ColumnSchema { logical_type: Double, semantic_tag: Numeric }])]")


def test_primitive_text_forms():
    p = tolvane.Primitive("add_numeric", "ops", "transform", True,
                          [[("double", "numeric"), ("DOUBLE", "Numeric")]], ("double", "numeric"))
    assert str(p) == repr(p) == ADD
    assert str(tolvane.Primitive("add_numeric", "ops", "transform", True, [], ("double", "numeric"))) == (
        "add_numeric:ops:transform:true:[]")
    assert str(tolvane.Primitive("a:b", "m", "agg", False, [[]], (None, None))) == (
        "a:b:m:agg:false:[InputSet([])]")
    assert str(tolvane.Primitive("n", "m", "t", False, ("", [("any", "any")]), (None, None))) == (
        "n:m:t:false:[InputSet([]), InputSet([ColumnSchema { logical_type: Any, semantic_tag: Any }])]")


def test_primitive_reports_input_sets_before_the_return_type():
    with pytest.raises(PanicException, match="^bad1 is not"):
        tolvane.Primitive("n", "m", "t", True, [[("integer", None)], [(None, "bad1")]], ("bad2", None))
    with pytest.raises(PanicException, match="^bad2 is not"):
        tolvane.Primitive("n", "m", "t", True, [[("integer", None)]], ("bad2", None))
    # conversion errors come first, in parameter order
    with pytest.raises(TypeError, match="argument 'return_type'"):
        tolvane.Primitive("n", "m", "t", True, [[("bad1", None)]], 5)


def test_primitive_name_is_copy_on_write():
    p = tolvane.Primitive("add", "ops", "transform", False, [[("double", None)]], ("double", None))
    derived = tolvane.Feature("d", "a", "b", [tolvane.Feature("x", "double", "numeric")], p)
    p.name = "other"
    assert p.name == "other"
    assert str(p).startswith("other:ops:")
    assert derived.generating_primitive.name == "add"
    # the id stays the digest of the old name
    assert f'id: "{sha("add")}"' in str(tolvane.Feature("e", "a", "b", [], p))
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
        p.name = 5
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del p.name
    assert p.name == "other"


def test_debug_quoting_of_texts():
    p = tolvane.Primitive('q"\\\t\r\n\0\'é\u0301\u200b\x7f ', "m", "t", True, [], (None, None))
    text = str(tolvane.Feature("f", "a", "b", [], p))
    assert 'name: "q\\"\\\\\\t\\r\\n\\0\'é\\u{301}\\u{200b}\\u{7f} "' in text
