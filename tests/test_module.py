"""The extension module itself: attributes, function table, initialisation."""

import inspect
import sys

import pytest
from conftest import run_isolated

import _korvane

VERSION = "1.1.0"

SIGNATURES = {
    "__version": "()",
    "dumps": "(obj, *, protocol=5, schema_version=None, hmac_key=None)",
    "loads": "(data, *, allowlist=None)",
    "dump": "(obj, file, **kwargs)",
    "load": "(file, *, allowlist=None)",
}


def test_all_lists_functions_in_table_order_then_version():
    assert _korvane.__all__ == [
        "__version",
        "dumps",
        "loads",
        "dump",
        "load",
        "__version__",
    ]
    assert type(_korvane.__all__) is list


def test_version_attribute_and_function():
    assert _korvane.__version__ == VERSION
    assert type(_korvane.__version__) is str
    fn = getattr(_korvane, "__version")
    assert fn() == VERSION
    assert type(fn()) is str


def test_version_function_takes_no_arguments():
    fn = getattr(_korvane, "__version")
    with pytest.raises(TypeError):
        fn(1)


def test_module_docstring_is_empty():
    assert _korvane.__doc__ == ""


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_docstring_is_only_the_signature(name):
    fn = getattr(_korvane, name)
    assert fn.__name__ == name
    assert fn.__text_signature__ == SIGNATURES[name]
    # The signature block is the whole docstring: nothing is left after it.
    assert fn.__doc__ is None
    assert str(inspect.signature(fn)) == SIGNATURES[name]


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_functions_are_bound_to_the_module(name):
    fn = getattr(_korvane, name)
    assert fn.__self__ is _korvane
    assert fn.__module__ == "_korvane"
    assert type(fn).__name__ == "builtin_function_or_method"


def test_panic_exception_derives_directly_from_base_exception():
    exc = _korvane.PanicException
    assert exc.__bases__ == (BaseException,)
    assert not issubclass(exc, Exception)
    assert isinstance(exc.__doc__, str) and exc.__doc__.strip()


def test_panic_exception_is_the_package_export():
    import korvane

    assert korvane.PanicException is _korvane.PanicException
    assert korvane.dumps is _korvane.dumps
    assert korvane.loads is _korvane.loads


def test_reimport_after_removal_from_sys_modules_gives_same_module():
    result = run_isolated(
        """
        import sys
        import _korvane as first
        panic = first.PanicException
        del sys.modules["_korvane"]
        import _korvane as second
        assert second is first, (second, first)
        assert second.PanicException is panic
        assert second.dumps(None) == first.dumps(None)
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# A sub-interpreter that shares the main one's settings, so that the module
# itself, not the interpreter's isolation check, decides: `run` raises
# RuntimeError naming the exception raised inside.
SUBINTERPRETERS = """
try:
    import _interpreters  # 3.13 on
except ImportError:
    import _xxsubinterpreters
    def create():
        return _xxsubinterpreters.create(isolated=False)
    def run(interp, code):
        try:
            _xxsubinterpreters.run_string(interp, code)
        except _xxsubinterpreters.RunFailedError as exc:
            raise RuntimeError(str(exc)) from None
    destroy = _xxsubinterpreters.destroy
else:
    def create():
        return _interpreters.create("legacy")
    def run(interp, code):
        failure = _interpreters.run_string(interp, code)
        if failure is not None:
            raise RuntimeError(failure.formatted)
    destroy = _interpreters.destroy
"""


def run_with_subinterpreters(code):
    try:
        import _interpreters  # noqa: F401
    except ImportError:
        pytest.importorskip("_xxsubinterpreters")
    return run_isolated(SUBINTERPRETERS + code)


def test_module_refuses_a_second_subinterpreter():
    result = run_with_subinterpreters(
        """
import _korvane
interp = create()
try:
    run(interp, "import _korvane")
except RuntimeError as exc:
    print("failed:", exc)
else:
    print("imported")
finally:
    destroy(interp)
# The main interpreter keeps working.
assert _korvane.loads(_korvane.dumps([1, 2])) == [1, 2]
"""
    )
    assert result.returncode == 0, result.stderr
    out = result.stdout.strip()
    assert out.startswith("failed: ") and "ImportError" in out, out
    assert "bound to the interpreter that first imported it" in out, out


def test_module_refuses_a_subinterpreter_even_before_main_import():
    # The first interpreter to import the module owns it. Up to 3.12 that is
    # the sub-interpreter, so the main interpreter is the one refused; from
    # 3.13 on the interpreter runs the first import in the main interpreter
    # itself, which then keeps the module. Either way exactly one of the two
    # has it.
    result = run_with_subinterpreters(
        """
interp = create()
try:
    run(interp, "import _korvane")
except RuntimeError as exc:
    print("sub refused" if "bound to the interpreter" in str(exc) else exc)
else:
    print("sub imported")
try:
    import _korvane
except ImportError as exc:
    print("main refused")
else:
    assert _korvane.loads(_korvane.dumps([1, 2])) == [1, 2]
    print("main imported")
"""
    )
    assert result.returncode == 0, result.stderr
    if sys.version_info >= (3, 13):
        expected = ["sub refused", "main imported"]
    else:
        expected = ["sub imported", "main refused"]
    assert result.stdout.splitlines() == expected


def test_a_failed_call_leaves_nothing_behind():
    first = _korvane.dumps({"a": [1, 2]})
    with pytest.raises(TypeError):
        _korvane.dumps(object())
    with pytest.raises(ValueError):
        _korvane.loads(b"")
    assert _korvane.dumps({"a": [1, 2]}) == first
