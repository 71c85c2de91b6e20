"""Class registry and the constructors the decoder uses to rebuild dataclasses.

Loading never imports a class named by the data.  For every dataclass entry
the decoder calls ``make_class(name, field_names)`` and then calls the result
with one keyword argument per stored field (and, after a schema migration,
once more with the migrated values).

* A name registered with :func:`register` gives that class: init fields go to
  its constructor, ``field(init=False)`` fields are set afterwards with
  ``object.__setattr__`` (so frozen and slotted classes work), ``ClassVar`` and
  ``InitVar`` entries are ignored, and values that match no field are kept in
  a dict stored as ``__korvane_extra__`` (and, the same dict, as
  ``__meridel_extra__``).  A class with an ``InitVar`` or a hand-written
  ``__init__`` gets its fields restored without calling ``__init__``, which
  could not be given its real arguments.
* Any other name gives a plain dataclass synthesised from the name and the
  stored field names, cached per (name, fields): unknown records still load as
  records and no code named by the data runs.  Stored names of the form
  ``__x__`` never become fields of a synthesised class; they are kept as extra
  state instead, so data cannot overwrite special attributes.

Instances of a slotted class without ``__dict__`` cannot hold extra state.
Such values are dropped with an :class:`ExtraStateWarning` (turn it into an
error with the ``warnings`` filters to refuse those documents instead).

When stored data lacks a required field of the registered class, the
constructor gives an :class:`Unfinished` stand-in, never an instance with
fields unset: the decoder reads the class version from it and migrates, and
when no migration follows it refuses the load with a TypeError that names the
class, the missing fields and both versions.
"""

from __future__ import annotations

import dataclasses
import operator
import reprlib
import sys
import types
import warnings
from collections import Counter
from collections.abc import Callable, Collection, Iterable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, NoReturn, TypeVar, cast, overload

from _korvane import _bind_constructor, _bind_make_class
from korvane import _registry
from korvane._registry import check_name as _check_identifier
from korvane._registry import declared_version as _declared_version
from korvane._registry import names as _names
from korvane._registry import qualname as _qualname

__all__ = ["ExtraStateWarning", "make_class", "register", "unregister"]

C = TypeVar("C", bound=type)

EXTRA_ATTRS = ("__korvane_extra__", "__meridel_extra__")
_VERSION_ATTRS = _registry.VERSION_ATTRS

# Past this many cached (name, fields) entries the cache starts afresh, so a
# stream of crafted documents with ever new names cannot grow it without end.
_CACHE_LIMIT = 4096
# Generated code takes superlinear time to compile in its number of
# parameters: records wider than this are not synthesised, and registered
# classes get the general constructor instead of a compiled one.
_MAX_COMPILED_FIELDS = 1024

_INIT, _LATE, _PSEUDO = 0, 1, 2
_MISSING: Any = dataclasses.MISSING
_INITVAR_TYPE = getattr(dataclasses, "_FIELD_INITVAR", None)
_ABSENT: Any = object()  # default of the generated constructors' parameters
_DIRECT: Any = object()  # the plan "call the class with the keywords as they are"

# The registry's lock guards this cache too, and every registration change
# clears it, so a cached constructor never outlives the registrations it was
# built from.
_lock = _registry.lock
_classes = _registry.classes
_cache: dict[tuple[str, tuple[str, ...]], Callable[..., Any]] = {}
_records: dict[tuple[str, tuple[str, ...]], type] = {}
_infos: dict[str, _ClassInfo] = {}  # registered name -> facts of its class
# The last constructor made for each name, with a private copy of its field
# list: the decoder asks with an equal list for every instance of a class.
_recent: dict[str, tuple[list[str], Callable[..., Any]]] = {}


def _forget() -> None:
    """Drop every cached constructor (the registrations they came from changed)."""
    _cache.clear()
    _recent.clear()
    _infos.clear()


_registry.on_change(_forget)


class ExtraStateWarning(RuntimeWarning):
    """Stored values that match no field were dropped: the instance has no __dict__."""


# -- registry ------------------------------------------------------------------


@overload
def register(cls: C, *, name: str | None = None) -> C: ...
@overload
def register(cls: None = None, *, name: str | None = None) -> Callable[[C], C]: ...


def register(cls: type | None = None, *, name: str | None = None) -> Any:
    """Register a dataclass so that loading rebuilds it under ``name``.

    Usable as ``@register``, ``@register(name="Other")`` or
    ``register(cls, name=...)``.  ``name`` defaults to ``cls.__name__``, the
    text the encoder writes.  Registering the same class again is a no-op,
    and a class of the same module and qualified name as the registered one
    replaces it (a re-run notebook cell, a reloaded module); another class
    under a taken name is a ValueError.  A class whose declared schema
    version is not an int from 0 to 2**32-1 is refused: it would be written
    with version 0 and never migrated.
    """
    if cls is None:

        def decorator(c: C) -> C:
            return register(c, name=name)

        return decorator
    if not (isinstance(cls, type) and dataclasses.is_dataclass(cls)):
        raise TypeError(
            f"register() expects a dataclass class, not {_describe(cls)}"
            " (pass the name as register(cls, name=...))"
        )
    key = cls.__name__ if name is None else name
    _check_identifier("class name", key)
    _registry.check_version_attribute(cls)
    with _lock:
        taken = _classes.get(key)
        if taken is cls:
            return cls
        if taken is not None and _qualname(taken) != _qualname(cls):
            raise ValueError(
                f"class name {key!r} is already registered to "
                f"{_qualname(taken)}; cannot register {_qualname(cls)} under it"
            )
        from korvane import _adapters  # it imports this module

        adapter = _adapters._name_taken(key)
        if adapter is not None:
            raise ValueError(
                f"class name {key!r} is already used by {adapter}; "
                f"cannot register {_qualname(cls)} under it"
            )
        _classes[key] = cls
        _registry.changed()
    return cls


def unregister(name: str) -> type | None:
    """Forget the class registered under ``name``; return it (None if none was)."""
    with _lock:
        cls = _classes.pop(name, None)
        _registry.changed()
    return cls


def _clear() -> None:
    """Forget every registered class and cached constructor (for tests)."""
    with _lock:
        _classes.clear()
        _registry.changed()


@contextmanager
def _isolated() -> Iterator[None]:
    """Run a block with an empty class registry, restoring the old one after."""
    with _lock:
        saved = dict(_classes)
        _clear()
    try:
        yield
    finally:
        with _lock:
            _classes.clear()
            _classes.update(saved)
            _registry.changed()


# -- make_class ----------------------------------------------------------------


def _make_class(name: str, field_names: Sequence[str]) -> Callable[..., Any]:
    """make_class for every request the compiled front does not answer itself.

    The front (``make_class`` below) returns ``_recent[name][1]`` when the
    request is an exact str and a list equal to ``_recent[name][0]``, the
    decoder's usual repeat; this function does all the rest and keeps
    ``_recent`` up to date.
    """
    try:
        return _cache[name, tuple(field_names)]
    except (KeyError, TypeError):
        pass
    fields = _check_fields(name, field_names)
    with _lock:
        made = _cache.get((name, fields))
        if made is None:
            if len(_cache) >= _CACHE_LIMIT:
                _forget()
            made = _make(name, fields)
            _cache[name, fields] = made
        if type(name) is str and all(type(f) is str for f in fields):
            _recent[name] = (list(fields), made)
    return made


# make_class(name, field_names): a keyword-only constructor for class ``name``
# with these stored fields.  It is the registered class itself when the stored
# fields are exactly its init fields (and no migration may need other
# keywords); otherwise a small cached function that builds an instance of that
# class.  Unknown names give a synthesised plain dataclass.  The decoder calls
# it once per instance, so repeats are answered in compiled code from
# ``_recent``; everything else goes to ``_make_class``.
make_class = _bind_make_class(sys.modules[__name__])


def _make(name: str, fields: tuple[str, ...]) -> Callable[..., Any]:
    from korvane import _adapters  # it imports this module

    # An adapter's record loads as decode(**fields).
    decode = _adapters._decoder(name)
    if decode is not None:
        return decode
    cls = _classes.get(name)
    if cls is None:
        return _synthesize(name, fields)
    info = _class_info(name, cls)
    exact = not info.bypass_init and info.init_names == frozenset(fields)
    if exact and not (_declared_version(cls) and _registry.has_steps(name)):
        return cls
    return _constructor(name, info, fields)


def _class_info(name: str, cls: type) -> _ClassInfo:
    info = _infos.get(name)
    if info is None or info.cls is not cls:
        info = _infos[name] = _ClassInfo(name, cls)
    return info


# Past this many keyword sets of one class its plans start afresh.
_PLAN_LIMIT = 256


class _ClassInfo:
    """What building instances of a registered class needs, worked out once.

    ``build`` takes any keywords: stored fields, or a migrated mapping.  What
    to do with a given set of keyword names (which go to ``__init__``, which
    are set afterwards, which are extra state, whether required ones are
    missing) is decided once per set and kept as a plan.
    """

    def __init__(self, name: str, cls: type) -> None:
        self.name = name
        self.cls: Any = cls
        real = {f.name: f for f in dataclasses.fields(cls)}
        every: dict[str, Any] = getattr(cls, "__dataclass_fields__")
        self.kinds = {
            n: _PSEUDO if n not in real else _INIT if real[n].init else _LATE
            for n in every
        }
        self.fields = tuple(real.values())
        self.init_names = frozenset(n for n, f in real.items() if f.init)
        self.required = frozenset(
            n for n, f in real.items() if f.init and not _has_default(f)
        )
        params = getattr(cls, "__dataclass_params__", None)
        # A hand-written __init__ (init=False on the class) has an unknown
        # signature, and InitVar values are never stored, so __post_init__
        # would run on already processed fields without its real argument:
        # for both, restore the fields directly instead of calling __init__.
        self.bypass_init = bool(params is not None and not params.init) or any(
            getattr(f, "_field_type", None) is _INITVAR_TYPE for f in every.values()
        )
        # A plan is what to do with one set of keyword names: _DIRECT (call
        # the class with them), an Unfinished stand-in (give it), or a
        # function of the keywords.
        self.plans: dict[tuple[str, ...], Any] = {}

    def build(self, kwargs: dict[str, Any]) -> Any:
        keys = tuple(kwargs)
        plan = self.plans.get(keys)
        if plan is None:
            plan = self.plan(keys)
        if plan is _DIRECT:
            return self.cls(**kwargs)
        if type(plan) is Unfinished:
            return plan
        return plan(kwargs)

    def plan(self, keys: tuple[str, ...]) -> Any:
        kinds = self.kinds
        init = tuple(k for k in keys if kinds.get(k) == _INIT)
        late = tuple(k for k in keys if kinds.get(k) == _LATE)
        extra = tuple(k for k in keys if k not in kinds)
        missing = self.required.difference(init)
        name, cls = self.name, self.cls
        plan: Any
        if missing:
            # Only a migration can supply them, and only the decoder knows
            # the stored version that decides whether one runs.
            plan = Unfinished(name, cls, missing)
        elif len(init) == len(keys) and not self.bypass_init:
            plan = _DIRECT
        else:

            def plan(kwargs: dict[str, Any]) -> Any:
                if self.bypass_init:
                    obj = _bare_instance(self, {k: kwargs[k] for k in init + late})
                else:
                    obj = cls(**{k: kwargs[k] for k in init})
                    for k in late:
                        object.__setattr__(obj, k, kwargs[k])
                if extra:
                    _attach_extra(name, obj, {k: kwargs[k] for k in extra})
                return obj

        if len(self.plans) >= _PLAN_LIMIT:
            self.plans.clear()
        self.plans[keys] = plan
        return plan


def _constructor(
    name: str, info: _ClassInfo, fields: tuple[str, ...]
) -> Callable[..., Any]:
    kinds = info.kinds
    clean = (
        fields
        and not info.bypass_init
        and info.required.issubset(fields)
        and all(n in kinds for n in fields)
        and len(fields) <= _MAX_COMPILED_FIELDS
    )
    if clean:
        return _compile_constructor(name, info, fields)
    # info.build, compiled: the decoder calls this once per instance, and
    # twice for a migrated one (the stored fields, then the migrated ones).
    return _bind_constructor(
        f"construct_{name}", info.plans, info.plan, info.cls, _DIRECT, Unfinished
    )


def _compile_constructor(
    name: str, info: _ClassInfo, fields: tuple[str, ...]
) -> Callable[..., Any]:
    """A constructor with one keyword parameter per stored field.

    Binding keywords to named parameters and calling the class with constant
    keyword names costs far less than splitting a ``**kwargs`` dict by hand.
    Every name here is a field of the registered class (``_constructor``
    checks that), so the generated source holds no name taken from the data
    alone.  Calls with other keywords (a migrated mapping) take the plans of
    ``_ClassInfo.build``.
    """
    prefix = "_kv_"
    while any(f.startswith(prefix) for f in fields):
        prefix = "_" + prefix
    absent, cls, rest, general, setter, obj = (
        prefix + part for part in ("absent", "cls", "rest", "general", "set", "obj")
    )
    params = ", ".join(f"{f}={absent}" for f in fields)
    unset = " or ".join(f"{f} is {absent}" for f in fields)
    given = ", ".join(f"{f!r}: {f}" for f in fields)
    init = ", ".join(f"{f}={f}" for f in fields if info.kinds[f] == _INIT)
    late = [f for f in fields if info.kinds[f] == _LATE]
    source = "\n".join(
        [
            f"def construct(*, {params}, **{rest}):",
            f"    if {rest} or {unset}:",
            f"        return {general}({{{given}}}, {rest})",
            f"    {obj} = {cls}({init})",
            *(f"    {setter}({obj}, {f!r}, {f})" for f in late),
            f"    return {obj}",
        ]
    )

    def fallback(given: dict[str, Any], extra: dict[str, Any]) -> Any:
        kwargs = {k: v for k, v in given.items() if v is not _ABSENT}
        kwargs.update(extra)
        return info.build(kwargs)

    namespace: dict[str, Any] = {
        "__name__": __name__,
        absent: _ABSENT,
        cls: info.cls,
        general: fallback,
        setter: object.__setattr__,
    }
    exec(source, namespace)
    construct: Callable[..., Any] = namespace["construct"]
    construct.__qualname__ = construct.__name__ = f"construct_{name}"
    return construct


class Unfinished:
    """Stands for an instance whose stored data lacks required fields.

    A constructor gives this instead of an instance of the class, which could
    not be built without those fields.  The decoder reads the class version
    from it (and ``__dataclass_fields__``, both delegated to the class), and
    then either migrates the stored values, which builds the real instance,
    or calls :meth:`refuse`: an ``Unfinished`` never becomes a loaded value.
    It holds no stored value, so one serves every instance of a plan.
    """

    __slots__ = ("_cls", "_missing", "_name")

    def __init__(self, name: str, cls: type, missing: Collection[str]) -> None:
        self._name = name
        self._cls = cls
        self._missing = tuple(sorted(missing))

    def _delegated(attr: str) -> Any:  # type: ignore[misc]
        # The decoder reads these once per instance: a getter in C.
        return property(operator.attrgetter(f"_cls.{attr}"))

    __korvane_version__ = _delegated("__korvane_version__")
    __meridel_version__ = _delegated("__meridel_version__")
    __dataclass_fields__ = _delegated("__dataclass_fields__")
    del _delegated

    def __getattr__(self, attr: str) -> Any:
        raise AttributeError(
            f"{self._name!r} was not rebuilt: the stored data has no value for "
            f"required field(s) {_names(self._missing)}"
        )

    def __repr__(self) -> str:
        return f"<unfinished {self._name!r}: missing {_names(self._missing)}>"

    def refuse(self, stored: int, current: int) -> NoReturn:
        """Raise the TypeError of a load where no migration supplies the fields."""
        raise TypeError(_missing_message(self._name, self._missing, stored, current))


def _missing_message(
    name: str, missing: Iterable[str], stored: int, current: int
) -> str:
    if stored == 0:
        hint = (
            "data stored without a schema version is never migrated; give the "
            "field(s) a default"
        )
    elif current == 0:
        hint = (
            "declare __korvane_version__ on the class and register a migration "
            f"from version {stored} to supply them"
        )
    else:
        hint = (
            "the data claims the class's current version but has another shape; "
            "give the field(s) a default, or change __korvane_version__ whenever "
            "the fields change and register a migration"
        )
    return (
        f"cannot rebuild {name!r}: the stored data (schema version {stored}) has "
        f"no value for required field(s) {_names(missing)} of the class (schema "
        f"version {current}); {hint}"
    )


def _bare_instance(info: _ClassInfo, values: dict[str, Any]) -> Any:
    """An instance made without __init__: given values, else defaults."""
    cls = info.cls
    obj = cls.__new__(cls)
    for f in info.fields:
        if f.name in values:
            value = values[f.name]
        elif f.default is not _MISSING:
            value = f.default
        elif f.default_factory is not _MISSING:
            value = cast(Callable[[], Any], f.default_factory)()
        else:
            continue
        object.__setattr__(obj, f.name, value)
    return obj


def _attach_extra(name: str, obj: Any, extra: dict[str, Any]) -> None:
    try:
        for attr in EXTRA_ATTRS:
            object.__setattr__(obj, attr, extra)
    except (AttributeError, TypeError):
        warnings.warn(
            f"{name!r} instances have no __dict__ for extra state; dropped "
            f"the stored value(s) of {_names(extra)}",
            ExtraStateWarning,
            stacklevel=_caller_level(),
        )


def _caller_level() -> int:
    """The stack level of the first frame outside this module (the load call)."""
    frame = sys._getframe(1)
    level = 1
    while frame.f_back is not None and frame.f_globals.get("__name__") == __name__:
        frame = frame.f_back
        level += 1
    return level


# -- synthesised records -------------------------------------------------------


def _synthesize(name: str, fields: tuple[str, ...]) -> Callable[..., Any]:
    real = [f for f in fields if not _is_dunder(f)]
    if len(real) > _MAX_COMPILED_FIELDS:
        raise ValueError(
            f"cannot rebuild {name!r}: the stored data has {len(real)} fields, and a "
            f"class that is not registered is rebuilt with at most "
            f"{_MAX_COMPILED_FIELDS}; register the class to load it"
        )
    cls = record_class(name, fields)
    dunders = tuple(f for f in fields if _is_dunder(f))
    if not dunders:
        return cls

    def construct(**kwargs: Any) -> Any:
        extra = {n: kwargs.pop(n) for n in dunders if n in kwargs}
        obj = cls(**kwargs)
        if extra:
            _attach_extra(name, obj, extra)
        return obj

    construct.__qualname__ = construct.__name__ = f"construct_{name}"
    return construct


def record_class(name: str, fields: Sequence[str]) -> type:
    """The synthesised record class for ``name`` with these stored fields.

    One class per (name, fields), kept apart from the constructor cache so
    that registering other classes does not change it: records loaded at
    any time, and copies or unpickled records, share one class.  A record
    hashes by its field values (a frozen or hashable class written as a set
    element or dict key must load there), pickles by (name, fields) and its
    instance dict, and unpickles through this function, so no code named by
    the data is ever imported.
    """
    key = (name, _check_fields(name, fields))
    cls = _records.get(key)
    if cls is not None:
        return cls
    with _lock:
        cls = _records.get(key)
        if cls is None:
            if len(_records) >= _CACHE_LIMIT:
                _records.clear()
            cls = _new_record_class(name, key)
            _records[key] = cls
    return cls


class _Record:
    """What every synthesised record class shares: equality and hashing by
    field values, in field order (``__korvane_values__``, set per class), the
    dataclass repr, and pickling by (name, fields) and the instance dict.

    Kept here rather than generated per class: a document may name thousands
    of classes nobody registered, and the dataclass decorator's generated
    methods cost a compile each, where these cost nothing per class.
    """

    __slots__ = ()
    __match_args__: tuple[str, ...] = ()

    # The field values as a tuple; set per class by _new_record_class.
    __korvane_values__: Callable[[Any], tuple[Any, ...]]

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not self.__class__:
            return NotImplemented
        values = self.__korvane_values__
        return values(self) == values(other)

    def __hash__(self) -> int:
        return hash(self.__korvane_values__(self))

    @reprlib.recursive_repr()
    def __repr__(self) -> str:
        values = ", ".join(f"{f}={getattr(self, f)!r}" for f in self.__match_args__)
        return f"{type(self).__qualname__}({values})"

    def __reduce__(self) -> tuple[Any, ...]:
        return _reduce_record(self)


def _values_getter(fields: list[str]) -> Callable[[Any], tuple[Any, ...]]:
    if len(fields) > 1:
        return operator.attrgetter(*fields)  # a tuple of the values, in C
    if fields:
        (only,) = fields
        return lambda obj: (getattr(obj, only),)
    return lambda obj: ()


def _new_record_class(name: str, key: tuple[str, tuple[str, ...]]) -> type:
    # Exact str copies: a str subclass's methods never run on them later.
    real = ["".join((f,)) for f in key[1] if not _is_dunder(f)]
    namespace: dict[str, Any] = {
        "__module__": __name__,
        "__qualname__": name,
        "__doc__": f"A record of {name!r}: a class of that name nobody registered.",
        "__annotations__": dict.fromkeys(real, Any),
        "__korvane_record__": key,
        "__korvane_values__": staticmethod(_values_getter(real)),
        "__init__": _record_init(name, real),
    }
    cls = type(name, (_Record,), namespace)
    # The generated methods are the shared ones above and __init__.
    return dataclasses.dataclass(init=False, repr=False, eq=False)(cls)


# One __init__ code object per number of fields, compiled once with
# placeholder names, then renamed per class; a compile costs time that
# grows faster than its number of parameters.
_init_codes: dict[int, Any] = {}


def _record_init(name: str, fields: list[str]) -> Callable[..., None]:
    count = len(fields)
    code = _init_codes.get(count)
    if code is None:
        params = [f"a{i}" for i in range(count)]
        body = "".join(f"    __self__.{p} = {p}\n" for p in params) or "    pass\n"
        source = f"def __init__(__self__{''.join(', ' + p for p in params)}):\n{body}"
        namespace: dict[str, Any] = {}
        exec(source, namespace)
        code = _init_codes[count] = namespace["__init__"].__code__
    # The placeholders are the parameters after __self__, and the attribute
    # names in the same order; no name is taken from the data into source.
    code = code.replace(
        co_varnames=("__self__", *fields),
        co_names=tuple(fields),
        co_qualname=f"{name}.__init__",
    )
    init = types.FunctionType(code, {"__builtins__": {}}, "__init__")
    init.__qualname__ = f"{name}.__init__"
    return init


def _reduce_record(self: Any) -> tuple[Any, ...]:
    name, fields = type(self).__korvane_record__
    return (_restore_record, (name, fields), self.__dict__)


def _restore_record(name: str, fields: Sequence[str]) -> Any:
    """An empty record of ``record_class(name, fields)``; pickle fills its dict."""
    if not isinstance(fields, (list, tuple)):
        raise TypeError(f"field names of {name!r} must be a tuple of str")
    cls = record_class(name, list(fields))
    return cls.__new__(cls)


# -- checks and helpers --------------------------------------------------------


def _check_fields(name: str, field_names: Sequence[str]) -> tuple[str, ...]:
    _check_identifier("class name", name)
    if isinstance(field_names, (str, bytes)) or not isinstance(
        field_names, (list, tuple)
    ):
        raise TypeError(
            f"field names of {name!r} must be a list of str, "
            f"not {type(field_names).__name__}"
        )
    fields = tuple(field_names)
    for f in fields:
        _check_identifier(f"field name of {name!r}", f)
    if len(set(fields)) != len(fields):
        twice = sorted(f for f, times in Counter(fields).items() if times > 1)
        raise ValueError(f"field name(s) {_names(twice)} of {name!r} stored twice")
    return fields


def _has_default(f: dataclasses.Field[Any]) -> bool:
    return f.default is not _MISSING or f.default_factory is not _MISSING


def _is_dunder(name: str) -> bool:
    return len(name) > 4 and name.startswith("__") and name.endswith("__")


def _describe(obj: object) -> str:
    return repr(obj) if isinstance(obj, type) else f"a {type(obj).__name__} instance"
