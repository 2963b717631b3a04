import json
import pathlib

import pytest

import tolvane
from support import PanicException, sha

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPUS = REPO.parent / "shared" / "testdata" / "json-test-suite" / "test_parsing"

PARSE_PREFIX = "called `Result::unwrap()` on an `Err` value: "
READ_PREFIX = "Something went wrong reading the file: "

PRIMITIVE = (
    '{"name":"add_numeric","id":"abc","module":"ops","column_schemas":[[{"logical_type":"Double",'
    '"semantic_tag":"Numeric"},["Integer","Numeric"]],[]],"return_type":{"logical_type":"Double",'
    '"semantic_tag":"Numeric"},"function_type":"transform","commutative":true%s}'
)


def panic_message(call):
    with pytest.raises(PanicException) as info:
        call()
    return info.value.args[0]


def write(tmp_path, content, name="catalogue.json"):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


def load_text(tmp_path, content):
    return tolvane.load_primitives(write(tmp_path, content))


def parse_error(tmp_path, content):
    message = panic_message(lambda: load_text(tmp_path, content))
    assert message.startswith(PARSE_PREFIX), message
    return message[len(PARSE_PREFIX):]


def error_text(tmp_path, content):
    """The JSON error message alone, without its position."""
    inner = parse_error(tmp_path, content)
    return json.loads(inner[len("Error("):inner.rindex(", line: ")])


class TestLoading:
    def test_empty_array_and_surrounding_whitespace(self, tmp_path):
        assert load_text(tmp_path, "[]") == []
        assert load_text(tmp_path, " \t\r\n[]\n\n\n") == []

    def test_object_and_array_forms_read_alike(self, tmp_path):
        as_array = (
            '["add_numeric","abc","ops",[[["Double","Numeric"],{"logical_type":"Integer",'
            '"semantic_tag":"Numeric"}],[]],[{"Double":null},"Numeric"],"transform",true]'
        )
        loaded = load_text(tmp_path, "[%s,%s]" % (PRIMITIVE % "", as_array))
        expected = (
            "add_numeric:ops:transform:true:[InputSet([ColumnSchema { logical_type: Double, "
            "semantic_tag: Numeric }, ColumnSchema { logical_type: Integer, semantic_tag: Numeric }]), "
            "InputSet([])]"
        )
        assert [str(p) for p in loaded] == [expected, expected]
        assert loaded[0] is not loaded[1]

    def test_type_stands_for_name_and_extra_members_are_ignored(self, tmp_path):
        text = PRIMITIVE.replace('"name"', '"type"') % ',"description":{"a":[1,2]},"Name":null'
        [p] = load_text(tmp_path, "[" + text + "]")
        assert p.name == "add_numeric"

    def test_id_is_kept_as_written(self, tmp_path):
        # The id shows in the feature file: a derived feature's id is computed from it.
        [p] = load_text(tmp_path, "[" + PRIMITIVE.replace('"abc"', '"z"') % "" + "]")
        out = tmp_path / "features.json"
        base = tolvane.Feature("a", "Double", "Numeric")
        derived = tolvane.Feature("d", "Double", "Numeric", [base], p)
        tolvane.Feature.save_features([derived], str(out))
        saved = json.loads(out.read_text())
        assert [q["id"] for q in saved["primitives"]] == ["z"]
        assert saved["features"][0]["id"] == sha("z" + sha("a"))

    def test_escapes_and_non_ascii_names(self, tmp_path):
        text = PRIMITIVE.replace('"add_numeric"', r'"a\"b\\c\/\u00e9\ud83d\ude00\u0000"') % ""
        [p] = load_text(tmp_path, "[" + text + "]")
        assert p.name == 'a"b\\c/\u00e9\U0001F600\x00'


class TestRejections:
    # The reader's messages and positions are tested in tests/cpp/json_reader_test.cpp; here, how
    # they reach Python, in a few cases of each kind.
    @pytest.mark.parametrize(
        "content, error",
        [
            ("  \n ", 'Error("EOF while parsing a value", line: 2, column: 1)'),
            # The file is read as it is: a byte-order mark is not skipped.
            ("\ufeff[]", 'Error("expected value", line: 1, column: 1)'),
        ],
    )
    def test_whole_file_shape(self, tmp_path, content, error):
        assert parse_error(tmp_path, content) == error

    @pytest.mark.parametrize(
        "old, new, error",
        [
            ('"id":"abc",', "", "missing field `id`"),
            ('"commutative":true', '"commutative":1', "invalid type: integer `1`, expected a boolean"),
            ('{"logical_type":"Double"', '{"logical_type":5', "expected value"),
        ],
    )
    def test_member_errors(self, tmp_path, old, new, error):
        text = (PRIMITIVE % "").replace(old, new, 1)
        assert error_text(tmp_path, "[" + text + "]") == error

    def test_message_quotes_the_error_text(self, tmp_path):
        text = (PRIMITIVE % "").replace('"commutative":true', '"commutative":"a\\\"\\n\\u0301"')
        inner = 'invalid type: string "a\\\"\\n\\u{301}", expected a boolean'
        quoted = '"' + inner.replace("\\", "\\\\").replace('"', '\\"') + '"'
        assert parse_error(tmp_path, "[" + text + "]") == "Error(%s, line: 1, column: %d)" % (quoted, len(text))

    def test_read_failures(self, tmp_path):
        missing = str(tmp_path / "absent.json")
        message = panic_message(lambda: tolvane.load_primitives(missing))
        assert message.startswith(READ_PREFIX) and "No such file or directory" in message and "2" in message
        message = panic_message(lambda: tolvane.load_primitives("a\0b"))
        assert message == READ_PREFIX + "file name contained an unexpected NUL byte"
        message = panic_message(lambda: load_text(tmp_path, b'["\xff"]'))
        assert message.startswith(READ_PREFIX) and "stream did not contain valid UTF-8" in message
        message = panic_message(lambda: tolvane.load_primitives(str(tmp_path)))
        assert message.startswith(READ_PREFIX) and "(os error 21)" in message

    def test_argument_conversion(self):
        message = r"^argument 'filename': 'PosixPath' object cannot be converted to 'PyString'$"
        with pytest.raises(TypeError, match=message):
            tolvane.load_primitives(pathlib.Path("x"))
        with pytest.raises(TypeError):
            tolvane.load_primitives()


def test_saved_primitives_load_back_equal(tmp_path):
    primitives = [
        tolvane.Primitive("add_numeric", "ops", "transform", True,
                          [[("double", "numeric"), ("double", "numeric")], []], ("double", "numeric")),
        tolvane.Primitive('od"d\\ \u00e9\t\x00\x1f/', "m\u0301", "", False, [], (None, None)),
        tolvane.Primitive("negate", "ops", "aggregation", False, [[("any", "index")]], ("Integer", "Unknown")),
    ]
    base = tolvane.Feature("a", "Double", "Numeric")
    features = [tolvane.Feature("f%d" % i, "Double", "Numeric", [base], p) for i, p in enumerate(primitives)]
    saved = tmp_path / "features.json"
    tolvane.Feature.save_features(features, str(saved))
    written = json.loads(saved.read_text())["primitives"]

    catalogue = tmp_path / "catalogue.json"
    catalogue.write_text(json.dumps(written, ensure_ascii=False))
    loaded = tolvane.load_primitives(str(catalogue))
    assert sorted(map(str, loaded)) == sorted(map(str, primitives))

    again = [tolvane.Feature("f%d" % i, "Double", "Numeric", [base], p) for i, p in enumerate(loaded)]
    resaved = tmp_path / "again.json"
    tolvane.Feature.save_features(again, str(resaved))
    def key(p):
        return p["name"]

    assert sorted(json.loads(resaved.read_text())["primitives"], key=key) == sorted(written, key=key)


def corpus_files():
    if not CORPUS.is_dir():
        return []
    return sorted(CORPUS.iterdir())


@pytest.mark.skipif(not CORPUS.is_dir(), reason="JSON test corpus not present")
@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_corpus_document_as_skipped_member(tmp_path, path):
    document = path.read_bytes()
    content = ("[" + PRIMITIVE + "]").encode().replace(b"%s", b',"x":' + document)
    catalogue = write(tmp_path, content)
    name = path.name
    # No rejected document turns valid in this position: each one's fault lies inside the value
    # or leaves text that cannot continue an object.
    if name.startswith("y_"):
        assert len(tolvane.load_primitives(catalogue)) == 1
        return
    try:
        tolvane.load_primitives(catalogue)
    except PanicException as e:
        message = e.args[0]
        try:
            content.decode("utf-8")
        except UnicodeDecodeError:
            assert message.startswith(READ_PREFIX)
        else:
            assert message.startswith(PARSE_PREFIX)
    else:
        assert name.startswith("i_"), name + " was accepted"
