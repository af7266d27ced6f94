"""Arrow C stream producers built with ctypes, for feeding the consumer inputs
that pyarrow itself would never produce: released streams, failing callbacks,
arrays with broken offsets or the wrong number of children.

Every producer counts the calls it receives, so tests can check that the
consumer released the stream, and each array it handed over, exactly once.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass, field
from typing import Callable, Sequence

import pyarrow as pa


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))

ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ArrayRelease),
    ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    pass


GetSchema = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
GetNext = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
# c_void_p rather than c_char_p: the returned text must stay owned by the producer.
GetLastError = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.POINTER(ArrowArrayStream))
StreamRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))

ArrowArrayStream._fields_ = [
    ("get_schema", GetSchema),
    ("get_next", GetNext),
    ("get_last_error", GetLastError),
    ("release", StreamRelease),
    ("private_data", ctypes.c_void_p),
]

_PyCapsule_New = ctypes.pythonapi.PyCapsule_New
_PyCapsule_New.restype = ctypes.py_object
_PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def make_capsule(pointer: int, name: bytes | None) -> object:
    """A capsule holding `pointer` under `name`, without a destructor.

    The name must outlive the capsule; names are kept in a module-level table.
    """
    key = _CAPSULE_NAMES.setdefault(name, ctypes.create_string_buffer(name) if name is not None else None)
    return _PyCapsule_New(pointer, ctypes.cast(key, ctypes.c_char_p) if key is not None else None, None)


_CAPSULE_NAMES: dict[bytes | None, object] = {}


# ---------------------------------------------------------------- arrays

@dataclass
class RawStringArray:
    """One string (or large_string) child column given by raw buffers.

    `offsets` are written as given, so they may decrease or point past `data`.
    `validity` is a list of booleans (None for no bitmap).
    """

    offsets: Sequence[int]
    data: bytes
    validity: Sequence[bool] | None = None
    large: bool = False
    length: int | None = None  # defaults to len(offsets) - 1
    null_count: int | None = None  # defaults to the count from `validity`


class ArrayFactory:
    """Fills an ArrowArray for one batch; counts the releases of what it made."""

    def __init__(self, sloppy_release: bool = False) -> None:
        # sloppy_release: the release callback forgets to mark the array released.
        self.sloppy_release = sloppy_release
        self.made = 0
        self.released = 0
        self._keep: list[object] = []
        self._release = ArrayRelease(self._on_release)
        # Children are released through their parent; a child release called
        # directly only marks that child released.
        self._release_child = ArrayRelease(self._on_child_release)

    @staticmethod
    def _on_child_release(array_ptr) -> None:
        array_ptr.contents.release = ArrayRelease()

    def _on_release(self, array_ptr) -> None:
        self.released += 1
        array = array_ptr.contents
        for i in range(array.n_children if array.children else 0):
            child = array.children[i]
            if child:
                child.contents.release = ArrayRelease()
        if not self.sloppy_release:
            array.release = ArrayRelease()

    def _child(self, raw: RawStringArray) -> ArrowArray:
        offset_type = ctypes.c_int64 if raw.large else ctypes.c_int32
        offsets = (offset_type * max(len(raw.offsets), 1))(*raw.offsets)
        data = ctypes.create_string_buffer(raw.data, max(len(raw.data), 1))
        length = raw.length if raw.length is not None else len(raw.offsets) - 1
        if raw.validity is not None:
            bits = bytearray((len(raw.validity) + 7) // 8 or 1)
            for i, valid in enumerate(raw.validity):
                if valid:
                    bits[i // 8] |= 1 << (i % 8)
            bitmap = (ctypes.c_uint8 * len(bits))(*bits)
            null_count = raw.null_count if raw.null_count is not None else sum(1 for v in raw.validity if not v)
            validity_ptr = ctypes.cast(bitmap, ctypes.c_void_p).value
        else:
            bitmap = None
            null_count = raw.null_count if raw.null_count is not None else 0
            validity_ptr = None
        buffers = (ctypes.c_void_p * 3)(
            validity_ptr, ctypes.cast(offsets, ctypes.c_void_p).value, ctypes.cast(data, ctypes.c_void_p).value
        )
        child = ArrowArray()
        child.length = length
        child.null_count = null_count
        child.offset = 0
        child.n_buffers = 3
        child.n_children = 0
        child.buffers = buffers
        child.release = self._release_child
        self._keep.extend([offsets, data, bitmap, buffers, child])
        return child

    def struct_of(self, children: Sequence[RawStringArray], length: int | None = None) -> Callable[[int], None]:
        """A filler for a struct array (one record batch) of the given children."""

        def fill(address: int) -> None:
            kids = [self._child(raw) for raw in children]
            child_ptrs = (ctypes.POINTER(ArrowArray) * max(len(kids), 1))(*[ctypes.pointer(k) for k in kids])
            top_buffers = (ctypes.c_void_p * 1)(None)
            target = ArrowArray.from_address(address)
            target.length = length if length is not None else (kids[0].length if kids else 0)
            target.null_count = 0
            target.offset = 0
            target.n_buffers = 1
            target.n_children = len(kids)
            target.buffers = top_buffers
            target.children = child_ptrs
            target.dictionary = None
            target.release = self._release
            self._keep.extend([child_ptrs, top_buffers])
            self.made += 1

        return fill

    def batch(self, batch: pa.RecordBatch) -> Callable[[int], None]:
        """A filler that exports a real pyarrow batch, released by pyarrow's own callback."""

        def fill(address: int) -> None:
            batch._export_to_c(address)
            self.made += 1

        return fill


# ---------------------------------------------------------------- streams

@dataclass
class HostileStream:
    """A C stream whose every step can be made to misbehave.

    schema: the pyarrow schema get_schema exports, or a raw ArrowSchema filler.
    batches: fillers called in turn by get_next (see ArrayFactory).
    schema_error: a non-zero code returned by get_schema instead of a schema.
    next_error: (position, code, text or None) -- get_next fails at that call.
    """

    schema: pa.Schema | Callable[[int], None] | None = None
    batches: Sequence[Callable[[int], None]] = ()
    schema_error: int = 0
    next_error: tuple[int, int, bytes | None] | None = None
    released_from_start: bool = False

    release_calls: int = 0
    get_schema_calls: int = 0
    get_next_calls: int = 0
    _keep: list = field(default_factory=list)

    def __post_init__(self) -> None:
        self._struct = ArrowArrayStream()
        self._error_text = None
        if self.next_error is not None and self.next_error[2] is not None:
            self._error_text = ctypes.create_string_buffer(self.next_error[2])
        callbacks = [
            GetSchema(self._get_schema),
            GetNext(self._get_next),
            GetLastError(self._get_last_error),
            StreamRelease(self._on_release),
        ]
        self._keep.extend(callbacks)
        if not self.released_from_start:
            (self._struct.get_schema, self._struct.get_next,
             self._struct.get_last_error, self._struct.release) = callbacks

    @property
    def address(self) -> int:
        return ctypes.addressof(self._struct)

    def capsule(self, name: bytes | None = b"arrow_array_stream") -> object:
        return make_capsule(self.address, name)

    def __arrow_c_stream__(self, requested_schema=None) -> object:
        return self.capsule()

    def _get_schema(self, stream_ptr, schema_ptr) -> int:
        self.get_schema_calls += 1
        if self.schema_error:
            return self.schema_error
        address = ctypes.cast(schema_ptr, ctypes.c_void_p).value
        if isinstance(self.schema, pa.Schema):
            self.schema._export_to_c(address)
        else:
            self.schema(address)
        return 0

    def _get_next(self, stream_ptr, array_ptr) -> int:
        position = self.get_next_calls
        self.get_next_calls += 1
        if self.next_error is not None and position == self.next_error[0]:
            return self.next_error[1]
        array = array_ptr.contents
        if position >= len(self.batches):
            array.release = ArrayRelease()  # end of stream
            return 0
        self.batches[position](ctypes.cast(array_ptr, ctypes.c_void_p).value)
        return 0

    def _get_last_error(self, stream_ptr) -> int | None:
        if self._error_text is None:
            return None
        return ctypes.cast(self._error_text, ctypes.c_void_p).value

    def _on_release(self, stream_ptr) -> None:
        self.release_calls += 1
        stream_ptr.contents.release = StreamRelease()


def non_struct_schema(format_: bytes = b"u") -> Callable[[int], None]:
    """A schema filler whose top-level format is not a struct."""
    keep: list = []

    def release(ptr) -> None:
        ptr.contents.release = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))()

    release_fn = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))(release)
    fmt = ctypes.create_string_buffer(format_)
    keep.extend([release_fn, fmt])

    def fill(address: int) -> None:
        schema = ArrowSchema.from_address(address)
        schema.format = ctypes.cast(fmt, ctypes.c_char_p)
        schema.name = None
        schema.metadata = None
        schema.flags = 0
        schema.n_children = 0
        schema.children = None
        schema.dictionary = None
        schema.release = release_fn
        fill.keep = keep  # type: ignore[attr-defined]

    return fill


class SchemaFactory:
    """Fills a struct schema of string fields by hand; counts its releases."""

    SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))

    def __init__(self, names: Sequence[bytes] = (b"s",), sloppy_release: bool = False) -> None:
        self.names = list(names)
        self.sloppy_release = sloppy_release
        self.released = 0
        self._keep: list = []
        self._release = self.SchemaRelease(self._on_release)
        self._child_release = self.SchemaRelease(self._on_child_release)

    def _on_release(self, ptr) -> None:
        self.released += 1
        if not self.sloppy_release:
            ptr.contents.release = self.SchemaRelease()

    def _on_child_release(self, ptr) -> None:
        ptr.contents.release = self.SchemaRelease()

    def __call__(self, address: int) -> None:
        children = []
        for name in self.names:
            child = ArrowSchema()
            child.format = b"u"
            child.name = name
            child.flags = 2  # nullable
            child.release = self._child_release
            children.append(child)
        child_ptrs = (ctypes.POINTER(ArrowSchema) * max(len(children), 1))(*[ctypes.pointer(c) for c in children])
        top = ArrowSchema.from_address(address)
        top.format = b"+s"
        top.name = b""
        top.metadata = None
        top.flags = 0
        top.n_children = len(children)
        top.children = child_ptrs
        top.dictionary = None
        top.release = self._release
        self._keep.extend([children, child_ptrs])


class FakeReader:
    """Passes isinstance(obj, pyarrow.RecordBatchReader) through __class__ but
    has no __arrow_c_stream__, so a consumer must take the reader path.

    `export` receives the address given to _export_to_c; by default it does
    nothing (leaving the structure unfilled).
    """

    def __init__(self, export: Callable[[int], None] | None = None) -> None:
        self._export = export
        self.export_calls: list[int] = []

    @property  # type: ignore[misc]
    def __class__(self):
        return pa.RecordBatchReader

    def _export_to_c(self, address: int) -> None:
        self.export_calls.append(address)
        if self._export is not None:
            self._export(address)
