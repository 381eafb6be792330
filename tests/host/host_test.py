#!/usr/bin/env python3
"""A host that drives the built shared library through its C interface with
ctypes, the way generated bindings do: checks the contract version and every
checksum against interface/, moves bytes through the buffer exports, registers
callback tables, calls the free functions that exist, and decodes errors from
the call status. Standard library only.

Usage: host_test.py <path to libbrenvik_ffi.so> <path to interface/>
"""

import ctypes
import json
import struct
import sys
import time
import unittest

LIB_PATH = None
IFACE_DIR = None


class ByteBuffer(ctypes.Structure):
    _fields_ = [("capacity", ctypes.c_uint64), ("len", ctypes.c_uint64),
                ("data", ctypes.POINTER(ctypes.c_uint8))]


class HostBytes(ctypes.Structure):
    _fields_ = [("len", ctypes.c_int32), ("data", ctypes.POINTER(ctypes.c_uint8))]


class CallStatus(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int8), ("error_buf", ByteBuffer)]


FREE = ctypes.CFUNCTYPE(None, ctypes.c_uint64)
CLONE = ctypes.CFUNCTYPE(ctypes.c_uint64, ctypes.c_uint64)
ON_EVENT = ctypes.CFUNCTYPE(None, ctypes.c_uint64, ByteBuffer, ctypes.c_void_p,
                            ctypes.POINTER(CallStatus))
NOTIFY = ctypes.CFUNCTYPE(None, ctypes.c_uint64, ctypes.c_void_p, ctypes.POINTER(CallStatus))


class ExpectedError(Exception):
    def __init__(self, number, text):
        super().__init__("%d: %s" % (number, text))
        self.number, self.text = number, text


class UnexpectedError(Exception):
    pass


class Host:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        L = self.lib
        L.brenvik_ffi_buffer_alloc.restype = ByteBuffer
        L.brenvik_ffi_buffer_alloc.argtypes = [ctypes.c_uint64, ctypes.POINTER(CallStatus)]
        L.brenvik_ffi_buffer_free.restype = None
        L.brenvik_ffi_buffer_free.argtypes = [ByteBuffer, ctypes.POINTER(CallStatus)]
        L.brenvik_ffi_buffer_from_bytes.restype = ByteBuffer
        L.brenvik_ffi_buffer_from_bytes.argtypes = [HostBytes, ctypes.POINTER(CallStatus)]
        L.brenvik_ffi_buffer_reserve.restype = ByteBuffer
        L.brenvik_ffi_buffer_reserve.argtypes = [ByteBuffer, ctypes.c_uint64,
                                                 ctypes.POINTER(CallStatus)]
        L.brenvik_ffi_contract_version.restype = ctypes.c_uint32
        L.brenvik_ffi_contract_version.argtypes = []

    def call(self, fn, *args):
        """Calls an export with a fresh status; raises on code 1 or 2."""
        st = CallStatus(0, ByteBuffer(0, 0, None))
        result = fn(*args, ctypes.byref(st))
        if st.code == 0:
            return result
        payload = self.take(st.error_buf)
        if st.code == 1:
            (number,) = struct.unpack(">i", payload[:4])
            (length,) = struct.unpack(">i", payload[4:8])
            raise ExpectedError(number, payload[8:8 + length].decode("utf-8"))
        raise UnexpectedError(payload.decode("utf-8"))

    def buffer(self, data):
        arr = (ctypes.c_uint8 * len(data)).from_buffer_copy(data) if data else None
        hb = HostBytes(len(data), ctypes.cast(arr, ctypes.POINTER(ctypes.c_uint8)) if arr else None)
        return self.call(self.lib.brenvik_ffi_buffer_from_bytes, hb)

    def take(self, buf):
        data = ctypes.string_at(buf.data, buf.len) if buf.data and buf.len else b""
        st = CallStatus(0, ByteBuffer(0, 0, None))
        self.lib.brenvik_ffi_buffer_free(buf, ctypes.byref(st))
        if st.code != 0:
            raise UnexpectedError("buffer_free failed")
        return data


class HostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        sys.path.insert(0, IFACE_DIR)
        import gen_ffi  # noqa: E402  (the same description the library was built from)
        cls.gen = gen_ffi
        cls.iface = gen_ffi.load(IFACE_DIR + "/brenvik_protocol.idl")
        cls.host = Host(LIB_PATH)

    def test_contract_version(self):
        self.assertEqual(self.host.lib.brenvik_ffi_contract_version(), self.iface.contract_version)
        self.assertEqual(self.host.lib.brenvik_ffi_contract_version(), 30)

    def test_every_checksum_matches_the_description(self):
        sums = self.gen.checksums(self.iface)
        self.assertEqual(len(sums), 233)
        for name, value in sums.items():
            fn = getattr(self.host.lib, name)
            fn.restype = ctypes.c_uint16
            fn.argtypes = []
            self.assertEqual(fn(), value, name)

    def test_metadata_records(self):
        addr = ctypes.addressof(ctypes.c_uint8.in_dll(self.host.lib, "BRENVIK_FFI_META_IDL_BRENVIK_PROTOCOL"))
        # Read the record field by field, never past its end.
        self.assertEqual(ctypes.string_at(addr, 1)[0], 8)
        pos, strings = 1, []
        for _ in range(3):
            n = ctypes.string_at(addr + pos, 1)[0]
            strings.append(ctypes.string_at(addr + pos + 1, n).decode())
            pos += 1 + n
        self.assertEqual(strings, ["brenvik_protocol_bindings", "brenvik_protocol", "brenvik_protocol"])

    def test_buffers_round_trip(self):
        h = self.host
        for payload in [b"", b"a", bytes(range(256)) * 300]:
            self.assertEqual(h.take(h.buffer(payload)), payload)
        b = h.call(h.lib.brenvik_ffi_buffer_alloc, 4)
        self.assertEqual((b.capacity, b.len), (4, 4))
        b.data[0] = 7
        grown = h.call(h.lib.brenvik_ffi_buffer_reserve, b, 100)
        self.assertGreaterEqual(grown.capacity, 104)
        self.assertEqual(h.take(grown), b"\x07\x00\x00\x00")

    def test_errors_decode_from_the_status(self):
        h = self.host
        arr = (ctypes.c_uint8 * 1)()
        with self.assertRaises(UnexpectedError) as cm:
            h.call(h.lib.brenvik_ffi_buffer_from_bytes,
                   HostBytes(-1, ctypes.cast(arr, ctypes.POINTER(ctypes.c_uint8))))
        self.assertTrue(str(cm.exception).startswith("bytes length negative or overflowed"))
        with self.assertRaises(UnexpectedError):
            h.call(h.lib.brenvik_ffi_buffer_alloc, 1 << 63)

    def test_callback_tables_register(self):
        keep = []
        for cb, methods in self.iface.callbacks.items():
            slots = [FREE(lambda handle: None), CLONE(lambda handle: handle)]
            for m in methods:
                slots.append(ctypes.cast(NOTIFY(lambda *a: None), ctypes.c_void_p))
            table = (ctypes.c_void_p * len(slots))(*[ctypes.cast(s, ctypes.c_void_p) for s in slots])
            keep.append((slots, table))
            getattr(self.host.lib, "brenvik_ffi_fn_init_callback_vtable_" + cb.lower())(table)
        HostTest._tables = keep  # tables must outlive every call through them

    def test_free_functions_that_exist(self):
        h = self.host
        drivers = {"derive_address": self.drive_derive_address,
                   "verify_identity_assertion": self.drive_verify_identity_assertion}
        missing = []
        for func in self.iface.funcs:
            if not hasattr_symbol(h.lib, func.symbol()):
                missing.append(func.name)
                continue
            self.assertIn(func.name, drivers,
                          "free function %s is exported but this host has no driver for it" % func.name)
            drivers[func.name]()
        print("\nfree functions not exported yet: %s" % ", ".join(missing), file=sys.stderr)

    def bytes_arg(self, data):
        return self.host.buffer(struct.pack(">i", len(data)) + data)

    def drive_derive_address(self):
        h, fn = self.host, self.host.lib.brenvik_ffi_fn_func_derive_address
        fn.restype, fn.argtypes = ByteBuffer, [ByteBuffer, ctypes.POINTER(CallStatus)]
        a1 = h.take(h.call(fn, self.bytes_arg(bytes(32)))).decode()
        a2 = h.take(h.call(fn, self.bytes_arg(bytes(32)))).decode()
        b = h.take(h.call(fn, self.bytes_arg(b"\x01" * 32))).decode()
        self.assertTrue(a1.startswith("brv1"), a1)
        self.assertEqual(a1, a2)
        self.assertNotEqual(a1, b)
        with self.assertRaises(ExpectedError) as cm:
            h.call(fn, self.bytes_arg(bytes(31)))
        self.assertEqual(cm.exception.number, 10)
        self.assertTrue(cm.exception.text.startswith("MLS error: "), cm.exception.text)

    def drive_verify_identity_assertion(self):
        h, fn = self.host, self.host.lib.brenvik_ffi_fn_func_verify_identity_assertion
        fn.restype, fn.argtypes = ByteBuffer, [ByteBuffer, ctypes.POINTER(CallStatus)]
        with self.assertRaises(ExpectedError) as cm:
            h.call(fn, self.bytes_arg(bytes(95)))
        self.assertEqual(cm.exception.text, "MLS error: Identity assertion is 95 bytes, minimum is 96")
        # The Ed25519 base point is a valid key; an all-zero signature over
        # "payload" does not verify under it.
        base_point = bytes([0x58]) + bytes([0x66]) * 31
        with self.assertRaises(ExpectedError) as cm:
            h.call(fn, self.bytes_arg(base_point + bytes(64) + b"payload"))
        self.assertEqual(cm.exception.text,
                         "MLS error: Identity assertion signature does not verify under its public key")

    def test_exported_symbols_match_the_description(self):
        exported = [s for s, e in self.gen.all_symbols(self.iface) if e]
        pending = [s for s, e in self.gen.all_symbols(self.iface) if not e]
        for s in exported:
            self.assertTrue(hasattr_symbol(self.host.lib, s), s)
        for s in pending:
            self.assertFalse(hasattr_symbol(self.host.lib, s), "%s exported but not marked" % s)
        print("\n%d of %d symbols exported" % (len(exported), len(exported) + len(pending)),
              file=sys.stderr)


def hasattr_symbol(lib, name):
    try:
        getattr(lib, name)
        return True
    except AttributeError:
        return False


if __name__ == "__main__":
    LIB_PATH, IFACE_DIR = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
