"""Argument binding and conversion of dumps, loads, dump and load."""

import io
import operator

import pytest
from conftest import (
    NONE_DOCUMENT,
    ReaderOf,
    RecordingWriter,
    Untouchable,
    raises_exactly,
)

from _korvane import dump, dumps, load, loads


def index_error_message(value):
    """The interpreter's own message for a failed integer conversion."""
    try:
        operator.index(value)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{value!r} converts to an integer")


class Holder:
    class Inner:
        pass


class BytesSub(bytes):
    pass


class SetSub(set):
    pass


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class CausedIndex:
    """``__index__`` raises a TypeError chained from another exception."""

    def __init__(self):
        self.root = ValueError("root cause")

    def __index__(self):
        raise TypeError("index refused") from self.root


class MyTypeError(TypeError):
    pass


class SubclassIndex:
    def __index__(self):
        raise MyTypeError("subclass refused")


class ValueIndex:
    def __index__(self):
        raise ValueError("not today")


# ---------------------------------------------------------------------------
# Binding messages.


@pytest.mark.parametrize(
    "call, message",
    [
        # Missing arguments.
        (lambda: dumps(), "dumps() missing 1 required positional argument: 'obj'"),
        (
            lambda: dumps(protocol=5),
            "dumps() missing 1 required positional argument: 'obj'",
        ),
        (lambda: loads(), "loads() missing 1 required positional argument: 'data'"),
        (
            lambda: loads(allowlist=None),
            "loads() missing 1 required positional argument: 'data'",
        ),
        (lambda: load(), "load() missing 1 required positional argument: 'file'"),
        (
            lambda: dump(),
            "dump() missing 2 required positional arguments: 'obj' and 'file'",
        ),
        (
            lambda: dump(protocol=5),
            "dump() missing 2 required positional arguments: 'obj' and 'file'",
        ),
        (lambda: dump(1), "dump() missing 1 required positional argument: 'file'"),
        (
            lambda: dump(file=io.BytesIO()),
            "dump() missing 1 required positional argument: 'obj'",
        ),
        # Too many positional arguments.
        (
            lambda: loads(b"", b""),
            "loads() takes 1 positional arguments but 2 were given",
        ),
        (lambda: dumps(1, 2), "dumps() takes 1 positional arguments but 2 were given"),
        (
            lambda: dumps(1, 2, 3),
            "dumps() takes 1 positional arguments but 3 were given",
        ),
        (lambda: load(1, 2), "load() takes 1 positional arguments but 2 were given"),
        (lambda: dump(1, 2, 3), "dump() takes 2 positional arguments but 3 were given"),
        # The count is checked before any keyword is looked at.
        (
            lambda: loads(b"", b"", bogus=1),
            "loads() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: dumps(1, 2, obj=3),
            "dumps() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: dump(1, 2, 3, obj=1),
            "dump() takes 2 positional arguments but 3 were given",
        ),
        # Multiple values for one argument.
        (lambda: dumps(1, obj=1), "dumps() got multiple values for argument 'obj'"),
        (
            lambda: loads(b"", data=b""),
            "loads() got multiple values for argument 'data'",
        ),
        (lambda: load(1, file=1), "load() got multiple values for argument 'file'"),
        (lambda: dump(1, 2, obj=1), "dump() got multiple values for argument 'obj'"),
        (lambda: dump(1, 2, file=1), "dump() got multiple values for argument 'file'"),
        (lambda: dump(1, obj=1), "dump() got multiple values for argument 'obj'"),
        # Unexpected keywords.
        (
            lambda: loads(b"", protocol=5),
            "loads() got an unexpected keyword argument 'protocol'",
        ),
        (
            lambda: dumps(1, allowlist=None),
            "dumps() got an unexpected keyword argument 'allowlist'",
        ),
        (
            lambda: load(1, protocol=5),
            "load() got an unexpected keyword argument 'protocol'",
        ),
        (
            lambda: dumps(1, **{"naïve": 1}),
            "dumps() got an unexpected keyword argument 'naïve'",
        ),
        # Keywords are bound before the missing-argument check.
        (lambda: dumps(bogus=1), "dumps() got an unexpected keyword argument 'bogus'"),
        (lambda: loads(x=1), "loads() got an unexpected keyword argument 'x'"),
        # Keywords are bound in the order they were passed.
        (
            lambda: dumps(1, bogus=1, obj=2),
            "dumps() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: dumps(1, obj=2, bogus=1),
            "dumps() got multiple values for argument 'obj'",
        ),
        # A keyword that is not UTF-8 is shown as its str.
        (
            lambda: dumps(1, **{"\udc80": 1}),
            "dumps() got an unexpected keyword argument '\udc80'",
        ),
    ],
)
def test_binding_messages(call, message):
    with raises_exactly(TypeError, message):
        call()


@pytest.mark.parametrize(
    "call",
    [
        lambda: dumps(obj=[1]),
        lambda: dumps([1], protocol=5, schema_version=None, hmac_key=None),
        lambda: dumps(hmac_key=None, obj=[1]),
    ],
)
def test_dumps_accepts_keywords(call):
    assert call() == dumps([1])


def test_loads_and_load_accept_keywords():
    data = dumps([1, "a"])
    assert loads(data=data) == [1, "a"]
    assert loads(data, allowlist=None) == [1, "a"]
    assert load(file=io.BytesIO(data), allowlist=None) == [1, "a"]


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"anything": 1},
        {"protocol": "not checked", "schema_version": -1, "hmac_key": "str"},
        {"allowlist": 5, "protocol": 256},
    ],
)
def test_dump_collects_and_ignores_extra_keywords(kwargs):
    value = {"k": [1, 2.5, None]}
    f = RecordingWriter()
    assert dump(value, f, **kwargs) is None
    assert f.calls == [((dumps(value),), {})]


def test_dump_binds_obj_and_file_by_keyword():
    f = RecordingWriter()
    assert dump(file=f, obj=[1], extra=True) is None
    assert f.calls == [((dumps([1]),), {})]


# ---------------------------------------------------------------------------
# protocol and schema_version


@pytest.mark.parametrize(
    "param, value",
    [
        ("protocol", 0),
        ("protocol", 5),
        ("protocol", 255),
        ("protocol", True),
        ("protocol", Indexable(7)),
        ("schema_version", None),
        ("schema_version", 0),
        ("schema_version", 7),
        ("schema_version", 2**32 - 1),
        ("schema_version", Indexable(3)),
    ],
)
def test_integer_argument_in_range_is_accepted(param, value):
    assert dumps([1], **{param: value}) == dumps([1])


@pytest.mark.parametrize(
    "param, value",
    [
        ("protocol", 256),
        ("protocol", -1),
        ("protocol", 2**40),
        ("schema_version", 2**32),
        ("schema_version", 2**64 - 1),
    ],
)
def test_integer_argument_past_its_width(param, value):
    with raises_exactly(
        OverflowError, "out of range integral type conversion attempted"
    ):
        dumps(1, **{param: value})


@pytest.mark.parametrize(
    "param, value",
    [("protocol", 2**70), ("schema_version", -1), ("schema_version", 2**64)],
)
def test_integer_argument_past_c_integers_keeps_interpreters_overflow(param, value):
    with pytest.raises(OverflowError) as excinfo:
        dumps(1, **{param: value})
    assert type(excinfo.value) is OverflowError
    assert str(excinfo.value)
    assert not str(excinfo.value).startswith("argument")


@pytest.mark.parametrize("value", [None, "5", 5.0, b"5"])
def test_protocol_wrong_type_gets_argument_prefix(value):
    message = "argument 'protocol': " + index_error_message(value)
    with raises_exactly(TypeError, message):
        dumps(1, protocol=value)


@pytest.mark.parametrize("value", ["7", 1.5, b"7", [7]])
def test_schema_version_wrong_type_gets_argument_prefix(value):
    with pytest.raises(TypeError) as excinfo:
        dumps(1, schema_version=value)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith("argument 'schema_version': ")


# ---------------------------------------------------------------------------
# Exceptions raised by __index__ during a conversion.


@pytest.mark.parametrize("param", ["protocol", "schema_version"])
def test_wrapped_type_error_keeps_the_cause(param):
    bad = CausedIndex()
    with raises_exactly(TypeError, f"argument '{param}': index refused") as excinfo:
        dumps(1, **{param: bad})
    assert type(excinfo.value) is TypeError
    assert excinfo.value.__cause__ is bad.root


@pytest.mark.parametrize("param", ["protocol", "schema_version"])
@pytest.mark.parametrize(
    "index, exc_type, message",
    [
        # A TypeError subclass is not wrapped.
        (SubclassIndex(), MyTypeError, "subclass refused"),
        (ValueIndex(), ValueError, "not today"),
    ],
)
def test_other_exceptions_from_index_pass_unchanged(param, index, exc_type, message):
    with raises_exactly(exc_type, message):
        dumps(1, **{param: index})


# ---------------------------------------------------------------------------
# hmac_key


@pytest.mark.parametrize("key", [None, b"", b"secret", BytesSub(b"k")])
def test_hmac_key_accepted_and_ignored(key):
    assert dumps({"a": 1}, hmac_key=key) == dumps({"a": 1})


@pytest.mark.parametrize(
    "key, type_name",
    [
        ("key", "str"),
        (bytearray(b"k"), "bytearray"),
        (memoryview(b"k"), "memoryview"),
        (5, "int"),
        (Holder.Inner(), "Holder.Inner"),
    ],
)
def test_hmac_key_rejects_non_bytes(key, type_name):
    message = (
        f"argument 'hmac_key': '{type_name}' object cannot be converted to 'PyBytes'"
    )
    with raises_exactly(TypeError, message):
        dumps(1, hmac_key=key)


def test_conversions_happen_in_parameter_order():
    with pytest.raises(OverflowError):
        dumps(1, hmac_key="bad", schema_version=2**32, protocol=1)
    with pytest.raises(TypeError, match="^argument 'protocol': "):
        dumps(1, hmac_key="bad", schema_version=2**32, protocol=None)


def test_conversions_happen_before_the_walk():
    with raises_exactly(
        TypeError, "argument 'hmac_key': 'str' object cannot be converted to 'PyBytes'"
    ):
        dumps(object(), hmac_key="bad")


# ---------------------------------------------------------------------------
# data


@pytest.mark.parametrize(
    "data, type_name",
    [
        (bytearray(NONE_DOCUMENT), "bytearray"),
        (memoryview(NONE_DOCUMENT), "memoryview"),
        (NONE_DOCUMENT.decode("latin-1"), "str"),
        (None, "NoneType"),
        (0, "int"),
    ],
)
def test_loads_rejects_non_bytes_data(data, type_name):
    message = f"argument 'data': '{type_name}' object cannot be converted to 'PyBytes'"
    with raises_exactly(TypeError, message):
        loads(data)


def test_loads_accepts_bytes_subclass():
    assert loads(BytesSub(dumps([1, 2]))) == [1, 2]


# ---------------------------------------------------------------------------
# allowlist


@pytest.mark.parametrize(
    "allowlist, type_name",
    [
        (frozenset(), "frozenset"),
        (["A"], "list"),
        (("A",), "tuple"),
        ({"A": 1}, "dict"),
        ("A", "str"),
    ],
)
def test_allowlist_must_be_a_set(allowlist, type_name):
    message = (
        f"argument 'allowlist': '{type_name}' object cannot be converted to 'PySet'"
    )
    with raises_exactly(TypeError, message):
        loads(NONE_DOCUMENT, allowlist=allowlist)
    with raises_exactly(TypeError, message):
        load(io.BytesIO(NONE_DOCUMENT), allowlist=allowlist)


@pytest.mark.parametrize("allowlist", [None, set(), {"A"}, SetSub({"B"})])
def test_allowlist_accepted_for_documents_without_dataclasses(allowlist):
    data = dumps({"x": [1, (2, 3)]})
    assert loads(data, allowlist=allowlist) == {"x": [1, (2, 3)]}
    assert load(io.BytesIO(data), allowlist=allowlist) == {"x": [1, (2, 3)]}


def test_data_is_converted_before_allowlist():
    with raises_exactly(
        TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"
    ):
        loads("x", allowlist=frozenset())


# ---------------------------------------------------------------------------
# load


def test_load_checks_allowlist_before_touching_file():
    f = Untouchable()
    with raises_exactly(
        TypeError,
        "argument 'allowlist': 'frozenset' object cannot be converted to 'PySet'",
    ):
        load(f, allowlist=frozenset({"A"}))
    assert f.touched == []


def test_load_calls_read_exactly_once():
    f = ReaderOf(dumps([1, 2, 3]))
    assert load(f) == [1, 2, 3]
    assert f.calls == 1


def test_load_reads_once_even_when_decoding_fails():
    f = ReaderOf(b"KRVN")
    with raises_exactly(ValueError, "Invalid data: too short for version"):
        load(f)
    assert f.calls == 1


@pytest.mark.parametrize(
    "value", ["text", bytearray(b"KRVN"), memoryview(b"KRVN"), None, 0]
)
def test_load_requires_read_to_return_bytes(value):
    f = ReaderOf(value)
    with raises_exactly(TypeError, "file.read() did not return bytes"):
        load(f)
    assert f.calls == 1


def test_load_accepts_bytes_subclass_from_read():
    assert load(ReaderOf(BytesSub(dumps("x")))) == "x"


class FailingFile:
    def __init__(self, err):
        self.err = err

    def read(self):
        raise self.err

    def write(self, data):
        raise self.err


FILE_CALLS = {"load": load, "dump": lambda f: dump(1, f)}


@pytest.mark.parametrize("call", FILE_CALLS.values(), ids=FILE_CALLS.keys())
def test_file_without_read_or_write_raises_attribute_error(call):
    with pytest.raises(AttributeError):
        call(object())


@pytest.mark.parametrize(
    "call, message",
    [(FILE_CALLS["load"], "disk on fire"), (FILE_CALLS["dump"], "full")],
    ids=FILE_CALLS.keys(),
)
def test_read_or_write_error_passes_unchanged(call, message):
    err = OSError(message)
    with pytest.raises(OSError) as excinfo:
        call(FailingFile(err))
    assert excinfo.value is err


# ---------------------------------------------------------------------------
# dump


def test_dump_writes_once_with_one_bytes_argument():
    f = RecordingWriter()
    assert dump([1, "two", b"3"], f) is None
    assert len(f.calls) == 1
    (args, kwargs) = f.calls[0]
    assert kwargs == {}
    assert len(args) == 1 and type(args[0]) is bytes
    assert args[0] == dumps([1, "two", b"3"])


def test_dump_refuses_a_short_write_after_one_call():
    class ShortWriter:
        def __init__(self):
            self.calls = 0

        def write(self, data):
            self.calls += 1
            return 1  # a short write is not retried

    f = ShortWriter()
    with pytest.raises(OSError, match="took 1 of the"):
        dump(list(range(100)), f)
    assert f.calls == 1


def test_dump_does_not_touch_file_when_encoding_fails():
    f = Untouchable()
    with raises_exactly(TypeError, "Unsupported type: object"):
        dump([1, object()], f)
    assert f.touched == []
