"""The C interface of libkxenv, loaded with ctypes.

The libraries are the ones of this package's own installation: _library
(written by the build) names them, relative to this directory. Every
pointer that libkxenv hands out is copied and given back with KXfreemem
before the call that got it returns, so no Python object refers to the
library's memory.
"""

from __future__ import annotations

import ctypes
import os
from typing import Any, Optional

from . import _library

_HERE = os.path.dirname(os.path.abspath(__file__))

# Texts cross the interface as the library's bytes: UTF-8 on Linux (bytes
# that are not UTF-8 come back unchanged through surrogate escapes), the
# ANSI code page on Windows.
ENCODING = "mbcs" if os.name == "nt" else "utf-8"
ERRORS = "strict" if os.name == "nt" else "surrogateescape"

WAIT_OBJECT_0 = 0
WAIT_TIMEOUT = 0x102


class VariableRecord(ctypes.Structure):
    """kxenv.h's VariableRecord: one machine word a field."""

    _fields_ = [
        ("version", ctypes.c_size_t),
        ("className", ctypes.c_void_p),
        ("name", ctypes.c_void_p),
        ("value", ctypes.c_void_p),
        ("defaultValue", ctypes.c_void_p),
        ("localValue", ctypes.c_void_p),
        ("globalValue", ctypes.c_void_p),
        ("app", ctypes.c_void_p),
        ("description", ctypes.c_void_p),
        ("choices", ctypes.c_void_p),
        ("choiceType", ctypes.c_void_p),
        ("dataType", ctypes.c_void_p),
        ("maxSize", ctypes.c_size_t),
        ("readOnly", ctypes.c_size_t),
        ("sensitive", ctypes.c_size_t),
        ("lastUser", ctypes.c_void_p),
        ("timeStamp", ctypes.c_size_t),
        ("descriptionId", ctypes.c_size_t),
    ]


RecordPointer = ctypes.POINTER(VariableRecord)
RecordHolder = ctypes.POINTER(RecordPointer)

# How many fields a record of each level carries: a prefix of the whole.
FIELDS_OF_LEVEL = {1: 4, 2: 7, 3: 9, 4: 15, 5: 17, 99: 18}


def _load(relative: str) -> ctypes.CDLL:
    return ctypes.CDLL(os.path.join(_HERE, relative))


def _declare(library: Any, name: str, result: Any, *arguments: Any) -> Any:
    function = getattr(library, name)
    function.restype = result
    function.argtypes = list(arguments)
    return function


_c = ctypes
_text = _c.c_char_p
_zrnapi = _load(_library.ZRNAPI)
_kxenv = _load(_library.KXENV)
# The events of a watch: kxwin's on Linux, the system's on Windows.
# (kernel32 is stdcall: WinDLL, looked up by name, as only Windows has it.)
_events: Any = (
    _load(_library.KXWIN) if _library.KXWIN else getattr(ctypes, "WinDLL")("kernel32")
)

GetMsgString = _declare(_zrnapi, "GetMsgString", _text)
PushMsgStack = _declare(_zrnapi, "PushMsgStack", None)
PopMsgStack = _declare(_zrnapi, "PopMsgStack", None)

GETS = {
    name: _declare(_kxenv, name, _c.c_void_p, _text)
    for name in ("KXgetenv", "KXgetlocal", "KXgetglobal", "KXgetopt")
}
GETS_EX = {
    name: _declare(_kxenv, name, _c.c_void_p, _text, RecordHolder, _c.c_int)
    for name in ("KXgetenvex", "KXgetoptex", "KXgetappex")
}
SETS = {
    name: _declare(_kxenv, name, _c.c_int, _text, _text)
    for name in ("KXsetenv", "KXsetlocal", "KXsetglobal", "KXsetopt")
}
DELETES = {
    name: _declare(_kxenv, name, _c.c_int, _text)
    for name in ("KXdelenv", "KXdelopt", "KXdelapp")
}
ENUMERATES = {
    name: _declare(
        _kxenv, name, _c.c_void_p, _c.c_uint, _text, RecordHolder, _c.c_int
    )
    for name in ("KXenumenv", "KXenumopt")
}
KXenumapp = _declare(_kxenv, "KXenumapp", _c.c_void_p, _c.c_uint, RecordHolder, _c.c_int)
WATCHES = {
    name: _declare(_kxenv, name, _c.c_int, _text, _c.c_void_p, _c.c_int)
    for name in ("KXwatchenv", "KXwatchopt")
}
KXfreemem = _declare(_kxenv, "KXfreemem", _c.c_int, _c.c_void_p)

CreateEventA = _declare(
    _events, "CreateEventA", _c.c_void_p, _c.c_void_p, _c.c_int, _c.c_int, _text
)
WaitForSingleObject = _declare(
    _events, "WaitForSingleObject", _c.c_uint32, _c.c_void_p, _c.c_uint32
)
CloseHandle = _declare(_events, "CloseHandle", _c.c_int, _c.c_void_p)


def encode(text: Optional[str]) -> Optional[bytes]:
    return None if text is None else text.encode(ENCODING, ERRORS)


def decode(address: Optional[int]) -> Optional[str]:
    """The text at an address of the library's memory, or None for null."""
    if not address:
        return None
    return ctypes.string_at(address).decode(ENCODING, ERRORS)


def items(address: Optional[int]) -> Optional[list[str]]:
    """The items of a multi-string: texts one after the other, each ended
    by a zero byte, the list by an empty one."""
    if not address:
        return None
    found: list[str] = []
    while True:
        item = ctypes.string_at(address)
        if not item:
            return found
        found.append(item.decode(ENCODING, ERRORS))
        address += len(item) + 1


def message() -> str:
    """The support library's text of this thread's last failure."""
    text: Optional[bytes] = GetMsgString()
    return "" if not text else text.decode(ENCODING, "replace")
