"""Python code run in the middle of a conversion that reaches the object being converted."""

import pytest

import tolvane
from support import Sequence, derived, prim, root


def assign(target, attribute, value):
    setattr(target, attribute, value)


class TestWriteInProgress:
    def test_writing_the_object_being_written_is_refused(self):
        a = root("a")
        f = derived([a], prim(), "f")
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            f.base_features = Sequence([a], hook=lambda: assign(f, "name", "x"))
        assert f.name == "f"

    @pytest.mark.parametrize(
        "read", [lambda f: f.name, str, repr, lambda f: tolvane.compare_featuresets([f], [])]
    )
    def test_reading_the_object_being_written_is_refused(self, read):
        a = root("a")
        f = derived([a], prim(), "f")
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            f.base_features = Sequence([a], hook=lambda: read(f))
        assert [b.name for b in f.base_features] == ["a"]

    def test_an_object_cannot_become_its_own_base(self):
        f = root("f")
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            f.base_features = [root("a"), f]

    def test_the_object_is_usable_after_a_refused_write(self):
        f = root("f")
        with pytest.raises(RuntimeError):
            f.base_features = Sequence([f])
        f.name = "g"
        f.base_features = [root("a")]
        assert f.name == "g" and len(f.base_features) == 1

    def test_comparing_with_the_object_being_written_is_refused(self):
        # a's slot answers NotImplemented for the busy operand; the reflected call on f refuses.
        a, f = root("a"), root("f")
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            f.base_features = Sequence([a], hook=lambda: a == f)


class TestHostileSequences:
    def test_other_objects_may_change_during_a_conversion(self):
        a, b = root("a"), root("b")
        f = derived([a, b], prim(), "f")
        f.base_features = Sequence([a, b], hook=lambda: assign(b, "name", "renamed"))
        assert [x.name for x in f.base_features] == ["a", "renamed"]

    def test_a_sequence_emptied_while_converted_stops_early(self):
        seq = Sequence([root("a"), root("b"), root("c")])
        seq.hook = seq.items.pop
        assert [f.name for f in tolvane.compare_featuresets(seq, [])[0]] == ["a"]

    @pytest.mark.parametrize("length", [10**12, 2**62, -1, ValueError("no length")])
    def test_a_wrong_or_failing_length_does_not_matter(self, length):
        a = root("a")
        assert tolvane.compare_featuresets(Sequence([a], length=length), []) == ([a], [])
