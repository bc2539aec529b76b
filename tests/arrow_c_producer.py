"""A producer of the Arrow C data interface written with ctypes: string
arrays whose every field a test chooses (lengths and offsets no library
would produce), with release callbacks that are Python code and count their
calls."""

from __future__ import annotations

import ctypes
import struct
from collections import Counter

c_int64 = ctypes.c_int64


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
GetSchema = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GetNext = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
GetLastError = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))
StreamRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))

ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", c_int64), ("n_children", c_int64), ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p), ("release", SchemaRelease), ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
    ("n_children", c_int64), ("buffers", ctypes.c_void_p), ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p), ("release", ArrayRelease), ("private_data", ctypes.c_void_p),
]
ArrowArrayStream._fields_ = [
    ("get_schema", GetSchema), ("get_next", GetNext), ("get_last_error", GetLastError),
    ("release", StreamRelease), ("private_data", ctypes.c_void_p),
]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
# Capsules keep a pointer to their name: these live as long as the module.
_NAMES = {k: ctypes.create_string_buffer(k.encode()) for k in ("arrow_schema", "arrow_array",
                                                                   "arrow_array_stream")}


def capsule(struct_obj, name: str):
    """A capsule over a struct the caller keeps alive; no destructor."""
    return _capsule_new(ctypes.addressof(struct_obj), ctypes.addressof(_NAMES[name]), None)


class StringArray:
    """One string array ("u": int32 offsets, "U": int64 offsets), laid out
    from `texts` (or with the given `offsets`); keyword arguments overwrite
    fields of the ArrowArray as the consumer will see them, and
    `schema_format` the format it is told. `released` counts the release
    callbacks."""

    def __init__(self, texts: list[bytes], fmt: str = "u", schema_format: str | None = None,
                 offsets: list[int] | None = None, **fields):
        self.released = Counter()
        ends = [0]
        for t in texts:
            ends.append(ends[-1] + len(t))
        ends = offsets or ends
        code = {"u": "i", "U": "q"}[fmt]
        self._keep = [
            ctypes.create_string_buffer(struct.pack(f"<{len(ends)}{code}", *ends)),
            ctypes.create_string_buffer(b"".join(texts) or b"\0"),
        ]
        self._buffers = (ctypes.c_void_p * 3)(None, *(ctypes.addressof(b) for b in self._keep))
        self._format = (schema_format or fmt).encode()
        self._fields = dict(length=len(texts), null_count=0, offset=0, n_buffers=3, n_children=0,
                            buffers=ctypes.addressof(self._buffers))
        self._fields.update(fields)
        self._schema_release = SchemaRelease(self._release_schema)
        self._array_release = ArrayRelease(self._release_array)
        self._structs = []  # everything a capsule points into

    def _release_schema(self, p):
        self.released["schema"] += 1
        p.contents.release = SchemaRelease()

    def _release_array(self, p):
        self.released["array"] += 1
        p.contents.release = ArrayRelease()

    def fill_schema(self, out: ArrowSchema) -> None:
        out.format, out.name, out.flags = self._format, b"", 2
        out.release = self._schema_release

    def fill_array(self, out: ArrowArray) -> None:
        for key, value in self._fields.items():
            setattr(out, key, value)
        out.release = self._array_release

    def __arrow_c_array__(self, requested_schema=None):
        schema, array = ArrowSchema(), ArrowArray()
        self.fill_schema(schema)
        self.fill_array(array)
        self._structs += [schema, array]
        return capsule(schema, "arrow_schema"), capsule(array, "arrow_array")


class Stream:
    """An array stream that yields `chunks` (StringArray objects, all of one
    format) in order."""

    def __init__(self, chunks: list[StringArray]):
        self.chunks = chunks
        self.released = Counter()
        self._next = 0
        self._callbacks = (GetSchema(self._get_schema), GetNext(self._get_next),
                           GetLastError(lambda p: b"no error"), StreamRelease(self._release))
        self._stream = ArrowArrayStream(*self._callbacks)

    def _get_schema(self, p, out):
        self.chunks[0].fill_schema(out.contents)
        return 0

    def _get_next(self, p, out):
        if self._next == len(self.chunks):
            out.contents.release = ArrayRelease()  # end of stream
        else:
            self.chunks[self._next].fill_array(out.contents)
            self._next += 1
        return 0

    def _release(self, p):
        self.released["stream"] += 1
        p.contents.release = StreamRelease()

    def __arrow_c_stream__(self, requested_schema=None):
        return capsule(self._stream, "arrow_array_stream")
