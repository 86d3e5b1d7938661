"""kxenv: the configuration variables of the KX-Orrery programs, from Python.

A thin layer over libkxenv's C interface (ctypes; no compiler needed). It
uses the store that every program of the family shares, found as they find
it (``KX_REGISTRY`` on Linux).

    >>> import kxenv
    >>> kxenv.set("KXA_LOGLEVEL", "3")
    >>> kxenv.get("kxa_loglevel")             # names ignore case
    '3'
    >>> kxenv.set("KXA_LOGLEVEL", "1", cls="GBL")
    >>> kxenv.record("KXA_LOGLEVEL").global_value
    '1'
    >>> with kxenv.watch("KXA_LOGLEVEL") as change:
    ...     if change.wait(timeout=30):       # another process set it
    ...         print(kxenv.get("KXA_LOGLEVEL"))

A variable belongs to a class, ``cls``: ``"ENV"`` (an environment
variable: its local value, else its global value, else its default),
``"LCL"`` and ``"GBL"`` (the local and the global value of the same
variable), ``"OPT"`` (an option) and ``"APP"`` (an application, whose
value is its description). Failures raise :class:`Error`.
"""

from __future__ import annotations

import ctypes
import dataclasses
import time
from types import TracebackType
from typing import Any, Callable, Iterator, Optional, Type, TypeVar

from . import _native as _n

__all__ = [
    "Error",
    "Record",
    "Watch",
    "applications",
    "delete",
    "get",
    "record",
    "set",
    "variables",
    "watch",
]

CLASSES = ("ENV", "LCL", "GBL", "OPT", "APP")
LEVELS = tuple(_n.FIELDS_OF_LEVEL)

_T = TypeVar("_T")

# The ends of the library's function names, by class.
_SUFFIXES = {"ENV": "env", "LCL": "local", "GBL": "global", "OPT": "opt"}


class Error(Exception):
    """A call of the library failed; the text says which, and why where the
    library tells."""


@dataclasses.dataclass(frozen=True)
class Record:
    """A variable (or application) as the library reads it: every field of
    its record. Fields beyond the record's level are None."""

    version: int  # the record level
    class_name: str  # "ENV", "LCL", "GBL", "OPT" or "APP"
    name: str  # upper case
    value: Optional[str]  # the effective value
    default_value: Optional[str] = None  # level 2 and up
    local_value: Optional[str] = None
    global_value: Optional[str] = None
    app: Optional[str] = None  # level 3 and up: the owning application
    description: Optional[str] = None
    choices: Optional[list[str]] = None  # level 4 and up
    choice_type: Optional[str] = None
    data_type: Optional[str] = None
    max_size: Optional[int] = None
    read_only: Optional[bool] = None
    sensitive: Optional[bool] = None
    last_user: Optional[str] = None  # level 5 and up
    time_stamp: Optional[int] = None  # seconds since 1970-01-01 UTC; 0: none
    description_id: Optional[int] = None  # level 99


def _check_class(cls: str, allowed: str) -> None:
    if cls not in allowed.split():
        choices = allowed.replace(" ", ", ")
        raise ValueError(f"cls must be one of {choices}, not {cls!r}")


def _call(call: Callable[[], _T]) -> _T:
    """Runs a library call in a message frame of its own, so that a failure
    reads the reason this call recorded."""
    _n.PushMsgStack()
    try:
        return call()
    finally:
        _n.PopMsgStack()


def _fail(what: str) -> Error:
    reason = _n.message()
    return Error(f"{what} failed" + (f": {reason}" if reason else " (KX_TRACE=stderr shows why)"))


def _to_record(pointer: "ctypes._Pointer[_n.VariableRecord]") -> Record:
    """Copies a record of the library's; the caller frees it."""
    fields = pointer.contents
    level = int(fields.version)
    count = _n.FIELDS_OF_LEVEL.get(level, 4)
    values: list[object] = [level]
    for index, (field, _) in enumerate(_n.VariableRecord._fields_[1:], start=1):
        if index >= count:
            break
        raw = getattr(fields, field)
        if field == "choices":
            values.append(_n.items(raw))
        elif field in ("readOnly", "sensitive"):
            values.append(bool(raw))
        elif field in ("maxSize", "timeStamp", "descriptionId"):
            values.append(int(raw))
        else:
            values.append(_n.decode(raw))
    values[1] = values[1] or ""
    values[2] = values[2] or ""
    return Record(*values)  # type: ignore[arg-type]


def _release(address: Optional[int]) -> None:
    if address:
        _n.KXfreemem(address)


def get(name: str, cls: str = "ENV") -> Optional[str]:
    """The effective value of a variable in the class, or None when it has
    none; ``cls="APP"`` gives an application's description."""
    _check_class(cls, "ENV LCL GBL OPT APP")
    if cls == "APP":
        found = record(name, "APP", 1)
        return found.value if found else None
    function = _n.GETS["KXget" + _SUFFIXES[cls]]
    address = function(_n.encode(name))
    try:
        return _n.decode(address)
    finally:
        _release(address)


def set(name: str, value: str, cls: str = "ENV") -> None:  # noqa: A001 - kxenv.set
    """Sets a variable's value: its local value for ENV and LCL, its global
    value for GBL, an option's for OPT."""
    _check_class(cls, "ENV LCL GBL OPT")
    function = _n.SETS["KXset" + _SUFFIXES[cls]]

    def call() -> None:
        if function(_n.encode(name), _n.encode(value)) != 0:
            raise _fail(f"setting {name} ({cls})")

    _call(call)


def delete(name: str, cls: str = "ENV") -> None:
    """Deletes a variable (ENV, LCL, GBL: the same one; OPT), or an
    application with every variable it owns (APP). Deleting what is not
    there is no failure, but for an application."""
    _check_class(cls, "ENV LCL GBL OPT APP")
    function = _n.DELETES[{"OPT": "KXdelopt", "APP": "KXdelapp"}.get(cls, "KXdelenv")]

    def call() -> None:
        if function(_n.encode(name)) != 0:
            raise _fail(f"deleting {name} ({cls})")

    _call(call)


def record(name: str, cls: str = "ENV", level: int = 99) -> Optional[Record]:
    """The record of a variable (ENV, OPT) or application (APP) at a record
    level (1, 2, 3, 4, 5 or 99); None when the library gives none. A name
    that the store does not hold gives a record without values."""
    _check_class(cls, "ENV OPT APP")
    if level not in LEVELS:
        raise ValueError(f"level must be one of {LEVELS}, not {level!r}")
    function = _n.GETS_EX[{"ENV": "KXgetenvex", "OPT": "KXgetoptex", "APP": "KXgetappex"}[cls]]
    holder = _n.RecordPointer()
    value = function(_n.encode(name), ctypes.byref(holder), level)
    try:
        return _to_record(holder) if holder else None
    finally:
        _release(ctypes.cast(holder, ctypes.c_void_p).value or value)


def _enumerate(next_one: Callable[[int, Any], Any]) -> Iterator[Record]:
    """The records of an enumeration: `next_one(position, holder)` is the
    library's call for a position."""
    position = 0
    while True:
        holder = _n.RecordPointer()
        name = next_one(position, ctypes.byref(holder))
        try:
            if not name or not holder:
                return
            found = _to_record(holder)
        finally:
            _release(ctypes.cast(holder, ctypes.c_void_p).value)
        yield found
        position += 1


def variables(cls: str = "ENV", app: Optional[str] = None) -> Iterator[Record]:
    """The variables of a class (ENV or OPT), or only those that the
    application ``app`` owns, as records of level 99."""
    _check_class(cls, "ENV OPT")
    function = _n.ENUMERATES["KXenumopt" if cls == "OPT" else "KXenumenv"]
    owner = _n.encode(app)
    return _enumerate(lambda position, holder: function(position, owner, holder, 99))


def applications() -> Iterator[Record]:
    """The applications, as records of level 99 (``value`` is the
    description)."""
    return _enumerate(lambda position, holder: _n.KXenumapp(position, holder, 99))


def _stored(found: Optional[Record]) -> bool:
    """Whether the variable's key holds anything: a watch of a key that the
    store lacks never fires."""
    if found is None:
        return False
    fields = dataclasses.asdict(found)
    computed = ("version", "class_name", "name", "value", "description")
    return any(value for key, value in fields.items() if key not in computed)


class Watch:
    """A watch of a variable, or of a whole class, for changes that any
    process makes. Use it as a context manager (:func:`watch`); ``wait``
    says whether something changed since the watch began or ``wait`` last
    said so. Changes close together may come as one: read again then."""

    def __init__(self, name: Optional[str], cls: str) -> None:
        _check_class(cls, "ENV LCL GBL OPT")
        self._name = name
        self._function = _n.WATCHES["KXwatchopt" if cls == "OPT" else "KXwatchenv"]
        self._event: Optional[int] = None
        if name is not None and not _stored(record(name, "OPT" if cls == "OPT" else "ENV")):
            raise Error(f"no variable {name} ({cls}) to watch")

    def _arm(self) -> None:
        if self._function(_n.encode(self._name), self._event, 0) != 0:
            raise _fail("arming the watch")

    def __enter__(self) -> "Watch":
        self._event = _n.CreateEventA(None, 1, 0, None)
        if not self._event:
            raise Error("cannot make an event for the watch")
        self._arm()
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        # The library's watch thread still holds the event; closing ours
        # leaves it alive until that thread ends.
        if self._event:
            _n.CloseHandle(self._event)
            self._event = None

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits up to ``timeout`` seconds (None: without limit) for a
        change; True when one came. Ctrl-C interrupts the wait."""
        if not self._event:
            raise Error("wait outside the watch's with block")
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = 0.1 if deadline is None else max(0.0, min(0.1, deadline - time.monotonic()))
            result = _n.WaitForSingleObject(self._event, int(left * 1000))
            if result == _n.WAIT_OBJECT_0:
                self._arm()
                return True
            if result != _n.WAIT_TIMEOUT:
                raise Error("the wait for a change failed")
            if deadline is not None and time.monotonic() >= deadline:
                return False


def watch(name: Optional[str] = None, cls: str = "ENV") -> Watch:
    """A watch of the variable ``name`` (which the store must hold), or of
    every variable of the class with no name: ``with kxenv.watch(...) as
    change: change.wait(timeout)``."""
    return Watch(name, cls)
