#!/usr/bin/env python3
"""Generator of the exported interface.

Reads interface/brenvik_protocol.idl and writes:
  * the public C header for hosts (include/brenvik_ffi.h, checked in);
  * ffi_types.h: the C++ interface enums and records with their codecs;
  * ffi_bodies.h: the declarations of the hand-written bodies of exported items;
  * ffi_exports.cpp: the export wrappers, checksum exports, contract version and
    the two metadata records;
  * ffi_symbols.txt: every symbol of the interface, one a line, with whether the
    library exports it yet.

Python 3 standard library only. Importable: tests and the ctypes host use
parse() and checksums() so that they read the same definition as the library.
"""

import argparse
import hashlib
import os
import re
import sys
import textwrap

SCALARS = {
    "u8": ("uint8_t", "uint8_t"), "i8": ("int8_t", "int8_t"),
    "u16": ("uint16_t", "uint16_t"), "i16": ("int16_t", "int16_t"),
    "u32": ("uint32_t", "uint32_t"), "i32": ("int32_t", "int32_t"),
    "u64": ("uint64_t", "uint64_t"), "i64": ("int64_t", "int64_t"),
    "f32": ("float", "float"), "f64": ("double", "double"),
    "bool": ("bool", "int8_t"),
}
BUFFER = "BrenvikFfiByteBuffer"
KEYWORDS = set("""alignas alignof and asm auto bool break case catch char class const constexpr
continue default delete do double else enum explicit export extern false float for friend goto
if inline int long mutable namespace new noexcept not operator or private protected public
register return short signed sizeof static struct switch template this throw true try typedef
typename union unsigned using virtual void volatile while""".split())


def ident(name):
    """A C and C++ identifier for an interface name (keywords get a trailing _)."""
    return name + "_" if name in KEYWORDS else name
FUTURE_KINDS = ["u8", "i8", "u16", "i16", "u32", "i32", "u64", "i64", "f32", "f64", "buffer", "void"]
FUTURE_C = {k: SCALARS[k][1] for k in SCALARS if k != "bool"}
FUTURE_C.update({"buffer": BUFFER, "void": "void"})


# ------------------------------------------------------------------ model
class Type:
    """A parsed type: kind is scalar, string, bytes, optional, sequence, map, named."""

    def __init__(self, kind, name=None, inner=None, key=None):
        self.kind, self.name, self.inner, self.key = kind, name, inner, key

    def text(self):
        if self.kind == "optional":
            return self.inner.text() + "?"
        if self.kind == "sequence":
            return "[" + self.inner.text() + "]"
        if self.kind == "map":
            return "{" + self.key.text() + ":" + self.inner.text() + "}"
        return self.name


class Arg:
    def __init__(self, name, type_):
        self.name, self.type = name, type_


class Item:
    """A constructor, method, free function or callback method."""

    def __init__(self, kind, owner, name, args, ret, throws, exported):
        self.kind, self.owner, self.name = kind, owner, name
        self.args, self.ret, self.throws, self.exported = args, ret, throws, exported
        self.doc = []  # lines of its `##` comment

    def canonical(self):
        args = ",".join(a.name + ":" + a.type.text() for a in self.args)
        ret = self.ret.text() if self.ret else "void"
        text = "%s:%s.%s(%s)->%s" % (self.kind, self.owner or "", self.name, args, ret)
        if self.throws:
            text += "!" + self.throws
        return text

    def checksum_symbol(self):
        o = (self.owner or "").lower()
        if self.kind == "ctor":
            return "brenvik_ffi_checksum_constructor_%s_%s" % (o, self.name)
        if self.kind == "func":
            return "brenvik_ffi_checksum_func_%s" % self.name
        return "brenvik_ffi_checksum_method_%s_%s" % (o, self.name)

    def symbol(self):
        o = (self.owner or "").lower()
        if self.kind == "ctor":
            return "brenvik_ffi_fn_constructor_%s_%s" % (o, self.name)
        if self.kind == "func":
            return "brenvik_ffi_fn_func_%s" % self.name
        if self.kind == "method":
            return "brenvik_ffi_fn_method_%s_%s" % (o, self.name)
        return None  # callback methods are called by the library, not exported


class Interface:
    def __init__(self):
        self.namespace = None
        self.contract_version = None
        self.enums = {}      # name -> [variants]
        self.errors = {}     # name -> [variants]
        self.records = {}    # name -> [Arg]
        self.callbacks = {}  # name -> [Item]
        self.objects = {}    # name -> [Item] (ctors first as declared)
        self.funcs = []      # [Item]
        self.fixed = {}      # checksum symbol -> value
        self.order = []      # every Item in declaration order
        self.docs = {}       # enum, error, record, callback or object name -> `##` lines

    def items(self):
        return list(self.order)


def parse_type(text, iface_names):
    text = text.strip()
    if text.endswith("?"):
        return Type("optional", inner=parse_type(text[:-1], iface_names))
    if text.startswith("[") and text.endswith("]"):
        return Type("sequence", inner=parse_type(text[1:-1], iface_names))
    if text.startswith("{") and text.endswith("}"):
        k, v = text[1:-1].split(":", 1)
        return Type("map", key=parse_type(k, iface_names), inner=parse_type(v, iface_names))
    if text in SCALARS:
        return Type("scalar", name=text)
    if text in ("string", "bytes"):
        return Type(text, name=text)
    if not re.fullmatch(r"[A-Z][A-Za-z0-9]*", text):
        raise ValueError("bad type: %r" % text)
    return Type("named", name=text)


ITEM_RE = re.compile(
    r"^(?:(ctor)\s+)?([a-z_][a-z0-9_]*)\((.*?)\)\s*(?:->\s*(\S+))?\s*(throws(?:\s+[A-Za-z]+)?)?\s*(@exported)?$")


def parse_item(kind, owner, text, names, default_error="InterfaceError"):
    m = ITEM_RE.match(text)
    if not m:
        raise ValueError("cannot parse item: %r" % text)
    is_ctor, name, args_text, ret, throws, exported = m.groups()
    if is_ctor:
        kind = "ctor"
    args = []
    if args_text.strip():
        for part in split_args(args_text):
            aname, atype = part.split(":", 1)
            args.append(Arg(aname.strip(), parse_type(atype, names)))
    err = None
    if throws:
        parts = throws.split()
        err = parts[1] if len(parts) > 1 else default_error
    return Item(kind, owner, name, args, parse_type(ret, names) if ret else None, err, bool(exported))


def split_args(text):
    out, depth, cur = [], 0, ""
    for ch in text:
        if ch in "[{":
            depth += 1
        elif ch in "]}":
            depth -= 1
        if ch == "," and depth == 0:
            out.append(cur)
            cur = ""
        else:
            cur += ch
    out.append(cur)
    return [p.strip() for p in out if p.strip()]


def parse(path, base=None):
    """Parses a description; with `base`, adds its items to that interface."""
    iface = base if base is not None else Interface()
    first_new = len(iface.order)
    section = None
    with open(path, encoding="utf-8") as f:
        lines = f.readlines()
    doc = []  # `##` lines waiting for the item they precede
    for raw in lines:
        if raw.strip().startswith("##"):
            doc.append(raw.strip()[2:].strip())
            continue
        line = raw.split("#", 1)[0].rstrip()
        if not line.strip():
            continue
        indented = line.startswith(" ")
        words = line.split()
        taken, doc = doc, []
        if not indented:
            section = None
            head = words[0]
            if head in ("enum", "error", "record", "callback", "object"):
                iface.docs[words[1]] = taken
            if head == "namespace":
                iface.namespace = words[1]
            elif head == "contract_version":
                iface.contract_version = int(words[1])
            elif head == "enum":
                iface.enums[words[1]] = words[2:]
            elif head == "error":
                iface.errors[words[1]] = words[2:]
            elif head == "record":
                fields = []
                for w in words[2:]:
                    n, t = w.split(":", 1)
                    fields.append(Arg(n, parse_type(t, None)))
                iface.records[words[1]] = fields
            elif head == "callback":
                section = ("callback", words[1])
                iface.callbacks[words[1]] = []
            elif head == "object":
                section = ("object", words[1])
                iface.objects[words[1]] = []
            elif head == "func":
                item = parse_item("func", None, line.split(None, 1)[1], None)
                item.doc = taken
                iface.funcs.append(item)
                iface.order.append(item)
            elif head == "checksum":
                iface.fixed[words[1]] = int(words[2])
            else:
                raise ValueError("unknown line: %r" % raw)
        else:
            if section is None:
                raise ValueError("indented line outside a block: %r" % raw)
            kind = "callback" if section[0] == "callback" else "method"
            item = parse_item(kind, section[1], line.strip(), None)
            item.doc = taken
            (iface.callbacks if kind == "callback" else iface.objects)[section[1]].append(item)
            iface.order.append(item)
    validate(iface)
    iface.added = iface.order[first_new:]
    return iface


def validate(iface):
    known = set(iface.enums) | set(iface.records) | set(iface.objects) | set(iface.callbacks)

    def check(t, where):
        if t is None:
            return
        if t.kind == "named" and t.name not in known:
            raise ValueError("%s: unknown type %s" % (where, t.name))
        for sub in (t.inner, t.key):
            if sub is not None:
                check(sub, where)

    for rname, fields in iface.records.items():
        for f in fields:
            check(f.type, rname)
    for item in iface.items():
        for a in item.args:
            check(a.type, item.name)
        check(item.ret, item.name)
    symbols = [i.checksum_symbol() for i in iface.items()]
    if len(symbols) != len(set(symbols)):
        raise ValueError("duplicate item")
    for s in iface.fixed:
        if s not in symbols:
            raise ValueError("fixed checksum for an unknown item: " + s)


# ------------------------------------------------------------------ checksums
def derived_checksum(canonical, attempt):
    text = "brenvik_protocol/" + canonical + ("" if attempt == 0 else "#%d" % attempt)
    return int.from_bytes(hashlib.sha256(text.encode("utf-8")).digest()[:2], "big")


def checksums(iface):
    """Checksum symbol -> value, following interface/CHECKSUMS.md."""
    out = dict(iface.fixed)
    taken = set(iface.fixed.values())
    for item in iface.items():
        sym = item.checksum_symbol()
        if sym in out:
            continue
        attempt = 0
        value = derived_checksum(item.canonical(), attempt)
        while value in taken:
            attempt += 1
            value = derived_checksum(item.canonical(), attempt)
        out[sym] = value
        taken.add(value)
    return out


# ------------------------------------------------------------------ symbols
def object_handle_symbols(iface):
    out = []
    for o in iface.objects:
        out.append("brenvik_ffi_fn_clone_" + o.lower())
        out.append("brenvik_ffi_fn_free_" + o.lower())
    return out


def runtime_symbols(iface):
    """Symbols whose bodies live in the hand-written runtime (always exported)."""
    out = ["brenvik_ffi_contract_version"]
    out += ["brenvik_ffi_buffer_alloc", "brenvik_ffi_buffer_free",
            "brenvik_ffi_buffer_from_bytes", "brenvik_ffi_buffer_reserve"]
    for k in FUTURE_KINDS:
        for op in ("poll", "cancel", "complete", "free"):
            out.append("brenvik_ffi_future_%s_%s" % (op, k))
    out += object_handle_symbols(iface)
    out += ["brenvik_ffi_fn_init_callback_vtable_" + c.lower() for c in iface.callbacks]
    return out


def meta_symbols(iface):
    ns = iface.namespace.upper()
    return ["BRENVIK_FFI_META_NAMESPACE_" + ns, "BRENVIK_FFI_META_IDL_" + ns]


def all_symbols(iface):
    """(symbol, exported?) for every symbol of the interface."""
    out = [(s, True) for s in runtime_symbols(iface)]
    out += [(s, True) for s in sorted(checksums(iface))]
    for item in iface.items():
        if item.symbol():
            out.append((item.symbol(), item.exported))
    out += [(s, True) for s in meta_symbols(iface)]
    return out


# ------------------------------------------------------------------ C header
def c_pass(t):
    """How a value of type t is passed across the C interface."""
    if t is None:
        return "void"
    if t.kind == "scalar":
        return SCALARS[t.name][1]
    if t.kind == "named" and t.name in CURRENT.objects:
        return "uint64_t"
    if t.kind == "named" and t.name in CURRENT.callbacks:
        return "uint64_t"
    return BUFFER


def c_params(item):
    params = []
    if item.kind == "method":
        params.append("uint64_t handle")
    for a in item.args:
        params.append("%s %s" % (c_pass(a.type), ident(a.name)))
    params.append("BrenvikFfiCallStatus* out_status")
    return ", ".join(params)


def c_return(item):
    if item.kind == "ctor":
        return "uint64_t"
    return c_pass(item.ret)


def callback_out_type(item):
    return "%s*" % BUFFER if item.ret else "uint8_t*"


def comment(lines, width=96):
    """A C block comment of the given lines, each wrapped to `width`."""
    out = []
    for line in lines:
        if not line:
            out.append("")
            continue
        lead = len(line) - len(line.lstrip())
        out += textwrap.wrap(line, width, initial_indent="", subsequent_indent=" " * (lead + 2)) or [""]
    if not out:
        return []
    text = ["/* " + out[0]] + [(" * " + l).rstrip() for l in out[1:]]
    text[-1] += " */"
    return text


def return_text(item):
    """Who gets what an item returns."""
    if item.kind == "ctor":
        return ("Returns a new %s handle holding one reference; release it with "
                "brenvik_ffi_fn_free_%s." % (item.owner, item.owner.lower()))
    t = item.ret
    if t is None:
        return "Returns nothing."
    if t.kind == "scalar" and t.name == "bool":
        return "Returns bool as int8_t (0 false, 1 true)."
    if t.kind == "scalar":
        return "Returns %s." % t.name
    if t.kind == "string":
        return "Returns string: bare UTF-8 bytes in a new buffer the caller frees."
    return "Returns %s encoded in a new buffer the caller frees." % t.text()


def args_text(item):
    parts = []
    for a in item.args:
        t = a.type
        if t.kind == "named" and t.name in CURRENT.objects:
            parts.append("%s: %s handle (its reference is taken over)" % (a.name, t.name))
        elif t.kind == "named" and t.name in CURRENT.callbacks:
            parts.append("%s: host handle for %s (its table must be registered)" % (a.name, t.name))
        elif t.kind == "scalar":
            parts.append("%s: %s" % (a.name, t.name))
        elif t.kind == "string":
            parts.append("%s: string (bare UTF-8 bytes)" % a.name)
        else:
            parts.append("%s: %s (encoded)" % (a.name, t.text()))
    return "Arguments: " + "; ".join(parts) + "." if parts else None


def errors_text(item):
    if item.throws:
        return ("Status: 1 with an InterfaceError; 2 for a malformed argument, an invalid "
                "handle or an internal fault.")
    return "Status: 2 for a malformed argument, an invalid handle or an internal fault."


def item_doc(item):
    title = "%s.%s" % (item.owner, item.name) if item.owner else item.name
    if item.kind == "ctor":
        title = "%s constructor %s" % (item.owner, item.name)
    lines = [title + ": " + (item.doc[0] if item.doc else "")] + ["  " + d for d in item.doc[1:]]
    if not item.doc:
        lines[0] = title + "."
    a = args_text(item)
    if a:
        lines.append("  " + a)
    lines.append("  " + return_text(item))
    lines.append("  " + errors_text(item))
    return comment(lines)


def layout_section(iface):
    """The enums and records a host writes and reads inside buffers."""
    lines = ["Values carried in buffers (docs/host-guide.md explains the codec). Enums",
             "are an i32 counted from 1; records are their fields in this order.", ""]
    for name, variants in iface.enums.items():
        lines.append("enum %s: %s" % (name, ", ".join("%d %s" % (i + 1, v) for i, v in enumerate(variants))))
        lines += ["  " + d for d in iface.docs.get(name, [])]
    for name, variants in iface.errors.items():
        lines.append("error %s: %s" % (name, ", ".join("%d %s" % (i + 1, v) for i, v in enumerate(variants))))
        lines += ["  " + d for d in iface.docs.get(name, [])]
    for name, fields in iface.records.items():
        lines.append("record %s: %s" % (name, ", ".join("%s %s" % (f.name, f.type.text()) for f in fields)))
        lines += ["  " + d for d in iface.docs.get(name, [])]
    return comment(lines)


def gen_header(iface):
    o = []
    w = o.append
    w("/* Generated by interface/gen_ffi.py from interface/brenvik_protocol.idl; do not edit. */")
    w("/*")
    w(" * The flat C interface of the Brenvik protocol library.")
    w(" *")
    w(" * Conventions (every function below):")
    w(" *  - object handles are uint64_t values; a method call consumes one reference,")
    w(" *    so duplicate the handle with the object's clone function before each call;")
    w(" *  - a BrenvikFfiByteBuffer passed in belongs to the library from the call on;")
    w(" *    one returned, or left in a BrenvikFfiCallStatus, belongs to the caller, who")
    w(" *    releases it with brenvik_ffi_buffer_free;")
    w(" *  - set status->code to 0 before a call; 1 means an InterfaceError is in")
    w(" *    error_buf (i32 variant number, i32 length, UTF-8 text), 2 an unexpected")
    w(" *    failure whose message is error_buf's raw UTF-8 bytes, 3 cancelled;")
    w(" *  - values inside buffers are big-endian; a top-level string is its bare")
    w(" *    UTF-8 bytes; every string is checked as UTF-8 and refused (code 2) when")
    w(" *    it is not;")
    w(" *  - a handle is opaque: a freed, released or unknown one is refused with")
    w(" *    code 2, never followed;")
    w(" *  - host callbacks run synchronously on a thread that is calling into the")
    w(" *    library, never while it holds the object's lock, so a callback may call")
    w(" *    any method of the same object (storage providers excepted: see")
    w(" *    docs/host-guide.md).")
    w(" * docs/host-guide.md is the host's guide: value layout, ownership, callbacks;")
    w(" * tools/c_host_example.c is a complete host in C.")
    w(" */")
    w("#ifndef BRENVIK_FFI_H")
    w("#define BRENVIK_FFI_H")
    w("")
    w("#include <stdint.h>")
    w("")
    w("#ifdef __cplusplus")
    w('extern "C" {')
    w("#endif")
    w("")
    w("#if defined(__GNUC__)")
    w('#define BRENVIK_FFI_API __attribute__((visibility("default")))')
    w("#else")
    w("#define BRENVIK_FFI_API")
    w("#endif")
    w("")
    w("#define BRENVIK_FFI_CONTRACT_VERSION %du" % iface.contract_version)
    w("")
    w("typedef struct BrenvikFfiByteBuffer {")
    w("  uint64_t capacity; /* bytes allocated */")
    w("  uint64_t len;      /* bytes in use, never above capacity */")
    w("  uint8_t* data;")
    w("} BrenvikFfiByteBuffer;")
    w("")
    w("typedef struct BrenvikFfiHostBytes {")
    w("  int32_t len;")
    w("  const uint8_t* data;")
    w("} BrenvikFfiHostBytes;")
    w("")
    w("typedef struct BrenvikFfiCallStatus {")
    w("  int8_t code;")
    w("  BrenvikFfiByteBuffer error_buf;")
    w("} BrenvikFfiCallStatus;")
    w("")
    w("typedef void (*BrenvikFfiFutureContinuation)(uint64_t data, int8_t poll_result);")
    w("typedef void (*BrenvikFfiCallbackFree)(uint64_t handle);")
    w("typedef uint64_t (*BrenvikFfiCallbackClone)(uint64_t handle);")
    w("")
    w("/* Callback tables: slot 0 free, slot 1 clone, then the methods in order. Each")
    w("   method gets the handle, its arguments, the result out-pointer and a status. */")
    for cb, methods in iface.callbacks.items():
        o.extend(comment(["%s: %s" % (cb, " ".join(iface.docs[cb]))] if iface.docs.get(cb) else []))
        for m in methods:
            o.extend(comment(["%s.%s: %s" % (cb, m.name, " ".join(m.doc))] if m.doc else []))
            params = ["uint64_t handle"] + ["%s %s" % (BUFFER if a.type.kind != "scalar" else c_pass(a.type), ident(a.name)) for a in m.args]
            params += ["%s out_return" % callback_out_type(m), "BrenvikFfiCallStatus* status"]
            w("typedef void (*BrenvikFfi%s_%s)(%s);" % (cb, m.name, ", ".join(params)))
        w("typedef struct BrenvikFfiVTable%s {" % cb)
        w("  BrenvikFfiCallbackFree free;")
        w("  BrenvikFfiCallbackClone clone;")
        for m in methods:
            w("  BrenvikFfi%s_%s %s;" % (cb, m.name, ident(m.name)))
        w("} BrenvikFfiVTable%s;" % cb)
        w("")
    w("/* Contract version and buffers. */")
    w("BRENVIK_FFI_API uint32_t brenvik_ffi_contract_version(void);")
    w("BRENVIK_FFI_API BrenvikFfiByteBuffer brenvik_ffi_buffer_alloc(uint64_t size, BrenvikFfiCallStatus* status);")
    w("BRENVIK_FFI_API void brenvik_ffi_buffer_free(BrenvikFfiByteBuffer buffer, BrenvikFfiCallStatus* status);")
    w("BRENVIK_FFI_API BrenvikFfiByteBuffer brenvik_ffi_buffer_from_bytes(BrenvikFfiHostBytes bytes, BrenvikFfiCallStatus* status);")
    w("BRENVIK_FFI_API BrenvikFfiByteBuffer brenvik_ffi_buffer_reserve(BrenvikFfiByteBuffer buffer, uint64_t additional, BrenvikFfiCallStatus* status);")
    w("")
    w("/* Futures: part of the generic asynchronous support; no method hands one out. */")
    for k in FUTURE_KINDS:
        w("BRENVIK_FFI_API void brenvik_ffi_future_poll_%s(uint64_t future, BrenvikFfiFutureContinuation continuation, uint64_t data);" % k)
        w("BRENVIK_FFI_API void brenvik_ffi_future_cancel_%s(uint64_t future);" % k)
        w("BRENVIK_FFI_API %s brenvik_ffi_future_complete_%s(uint64_t future, BrenvikFfiCallStatus* status);" % (FUTURE_C[k], k))
        w("BRENVIK_FFI_API void brenvik_ffi_future_free_%s(uint64_t future);" % k)
    w("")
    w("/* Object handles. */")
    for obj in iface.objects:
        w("BRENVIK_FFI_API uint64_t brenvik_ffi_fn_clone_%s(uint64_t handle, BrenvikFfiCallStatus* status);" % obj.lower())
        w("BRENVIK_FFI_API void brenvik_ffi_fn_free_%s(uint64_t handle, BrenvikFfiCallStatus* status);" % obj.lower())
    w("")
    w("/* Callback table registration: the table must stay valid for the life of the process. */")
    for cb in iface.callbacks:
        w("BRENVIK_FFI_API void brenvik_ffi_fn_init_callback_vtable_%s(const BrenvikFfiVTable%s* vtable);" % (cb.lower(), cb))
    w("")
    o.extend(layout_section(iface))
    w("")
    w("/* Constructors, free functions and methods. */")
    pending = []
    for item in iface.items():
        if not item.symbol():
            continue
        if not item.exported:
            pending.append(item)
            continue
        o.extend(item_doc(item))
        w("BRENVIK_FFI_API %s %s(%s);" % (c_return(item), item.symbol(), c_params(item)))
        w("")
    o.extend(comment([
        "Declared by the contract but without a body yet: the library does not export these",
        "symbols, so a host that calls one fails to link (or finds nothing with dlsym). They are",
        "hidden unless BRENVIK_FFI_DECLARE_PENDING is defined; their checksum functions below are",
        "exported all the same."]))
    w("#ifdef BRENVIK_FFI_DECLARE_PENDING")
    for item in pending:
        o.extend(comment(["%s: %s" % (item.name, " ".join(item.doc))]) if item.doc else [])
        w("BRENVIK_FFI_API %s %s(%s);" % (c_return(item), item.symbol(), c_params(item)))
    w("#endif /* BRENVIK_FFI_DECLARE_PENDING */")
    w("")
    w("/* Checksums: one constant per interface item. */")
    for sym in sorted(checksums(iface)):
        w("BRENVIK_FFI_API uint16_t %s(void);" % sym)
    w("")
    w("/* Interface metadata records. */")
    for sym in meta_symbols(iface):
        w("BRENVIK_FFI_API extern const uint8_t %s[];" % sym)
    w("")
    w("#ifdef __cplusplus")
    w("}")
    w("#endif")
    w("")
    w("#endif /* BRENVIK_FFI_H */")
    return "\n".join(o) + "\n"


# ------------------------------------------------------------------ C++ types
def cpp_type(t):
    if t is None:
        return "void"
    if t.kind == "scalar":
        return SCALARS[t.name][0]
    if t.kind == "string":
        return "std::string"
    if t.kind == "bytes":
        return "::brenvik::Bytes"
    if t.kind == "optional":
        return "std::optional<%s>" % cpp_type(t.inner)
    if t.kind == "sequence":
        return "std::vector<%s>" % cpp_type(t.inner)
    if t.kind == "map":
        return "std::map<%s, %s>" % (cpp_type(t.key), cpp_type(t.inner))
    if t.name in CURRENT.objects:
        return "Ref<%s>" % t.name
    if t.name in CURRENT.callbacks:
        return "std::shared_ptr<%sProxy>" % t.name
    return t.name


def record_deps(iface):
    """Records in an order where every record follows the records it contains."""
    order, seen = [], set()

    def named(t):
        if t is None:
            return []
        if t.kind == "named":
            return [t.name]
        return named(t.inner) + named(t.key)

    def visit(name):
        if name in seen or name not in iface.records:
            return
        seen.add(name)
        for f in iface.records[name]:
            for n in named(f.type):
                visit(n)
        order.append(name)

    for r in iface.records:
        visit(r)
    return order


def gen_types(iface):
    o = []
    w = o.append
    w("// Generated by interface/gen_ffi.py from interface/brenvik_protocol.idl; do not edit.")
    w("// Interface forms of the enums and records that cross the exported interface,")
    w("// with their codecs (fields in declared order, enums numbered from 1).")
    w("#pragma once")
    w("")
    w("#include <cstdint>")
    w("#include <map>")
    w("#include <optional>")
    w("#include <string>")
    w("#include <string_view>")
    w("#include <vector>")
    w("")
    w('#include "bindings/codec.h"')
    w("")
    w("namespace brenvik::ffi {")
    w("")
    for name, variants in iface.enums.items():
        w("enum class %s : int32_t {" % name)
        for i, v in enumerate(variants):
            w("  %s = %d," % (v, i + 1))
        w("};")
        w("template <>")
        w("struct EnumInfo<%s> {" % name)
        w('  static constexpr std::string_view name = "%s";' % name)
        w("  static constexpr int32_t count = %d;" % len(variants))
        w("  static constexpr std::string_view variant_names[] = {%s};" %
          ", ".join('"%s"' % v for v in variants))
        w("};")
        w("")
    for name in record_deps(iface):
        fields = iface.records[name]
        w("struct %s {" % name)
        for f in fields:
            w("  %s %s{};" % (cpp_type(f.type), ident(f.name)))
        w("  bool operator==(const %s&) const = default;" % name)
        w("};")
        w("template <>")
        w("struct Codec<%s> {" % name)
        w("  static LiftResult<%s> read(Reader& r) {" % name)
        w("    %s v;" % name)
        for f in fields:
            w("    {")
            w("      auto x = Codec<%s>::read(r);" % cpp_type(f.type))
            w("      if (!x.ok()) return Err(std::move(x).error());")
            w("      v.%s = std::move(x).value();" % ident(f.name))
            w("    }")
        w("    return v;")
        w("  }")
        w("  static void write(Writer& w, const %s& v) {" % name)
        for f in fields:
            w("    Codec<%s>::write(w, v.%s);" % (cpp_type(f.type), ident(f.name)))
        if not fields:
            w("    (void)w; (void)v;")
        w("  }")
        w("};")
        w("")
    w("}  // namespace brenvik::ffi")
    return "\n".join(o) + "\n"


def body_name(item):
    if item.kind == "func":
        return "func_" + item.name
    prefix = item.owner.lower()
    return ("%s_ctor_%s" if item.kind == "ctor" else "%s_%s") % (prefix, item.name)


def body_return(item):
    if item.kind == "ctor":
        r = "Ref<%s>" % item.owner
    else:
        r = cpp_type(item.ret)
    if item.throws:
        return "::brenvik::Result<%s, InterfaceError>" % r
    return r


def body_params(item):
    ps = []
    if item.kind == "method":
        ps.append("%s& self" % item.owner)
    for a in item.args:
        ps.append("%s %s" % (cpp_type(a.type), ident(a.name)))
    return ", ".join(ps)


def gen_bodies(iface):
    o = []
    w = o.append
    w("// Generated by interface/gen_ffi.py from interface/brenvik_protocol.idl; do not edit.")
    w("// The hand-written bodies behind every exported item. Marking an item")
    w("// `@exported` in the description declares its body here and generates its")
    w("// export wrapper; the body is then defined once in src/bindings.")
    w("#pragma once")
    w("")
    w('#include "bindings/callbacks.h"')
    w('#include "bindings/errors.h"')
    w('#include "bindings/ffi_types.h"')
    w('#include "bindings/handle.h"')
    w('#include "bindings/objects.h"')
    w("")
    w("namespace brenvik::ffi::body {")
    w("")
    pending = []
    for item in iface.items():
        if item.kind == "callback":
            continue
        if item.exported:
            w("%s %s(%s);" % (body_return(item), body_name(item), body_params(item)))
        else:
            pending.append(item)
    w("")
    w("// Not exported yet (no body): %d items." % len(pending))
    for item in pending:
        w("//   %s %s(%s);" % (body_return(item), body_name(item), body_params(item)))
    w("")
    w("}  // namespace brenvik::ffi::body")
    return "\n".join(o) + "\n"


def lift_expr(a):
    t = a.type
    if t.kind == "scalar" and t.name == "bool":
        return 'lift_bool(%s, "%s")' % (ident(a.name), a.name)
    if t.kind == "scalar":
        return None
    if t.kind == "named" and t.name in CURRENT.objects:
        return None
    if t.kind == "named" and t.name in CURRENT.callbacks:
        return None
    return 'lift<%s>(buf_%s, "%s")' % (cpp_type(t), a.name, a.name)


def gen_wrapper(item):
    o = []
    w = o.append
    ret_c = c_return(item)
    w('extern "C" BRENVIK_FFI_API %s %s(%s) {' % (ret_c, item.symbol(), c_params(item)))
    w("  return guarded_call<%s>(out_status, [&]() -> Outcome<%s> {" % (ret_c, ret_c))
    # Take ownership of every buffer and counted argument before anything can fail.
    for a in item.args:
        if c_pass(a.type) == BUFFER:
            w("    ArgBuffer buf_%s(%s);" % (a.name, ident(a.name)))
        elif a.type.kind == "named" and a.type.name in CURRENT.objects:
            w("    auto val_%s = Ref<%s>::try_adopt(%s);" % (a.name, a.type.name, ident(a.name)))
        elif a.type.kind == "named" and a.type.name in CURRENT.callbacks:
            w("    auto val_%s = make_proxy<%sProxy>(%s);" % (a.name, a.type.name, ident(a.name)))
    if item.kind == "method":
        w("    auto self = Ref<%s>::try_adopt(handle);" % item.owner)
    # Everything is taken; now refuse a handle that is not live or a callback
    # whose table is not registered.
    if item.kind == "method":
        w("    require_live(self, handle);")
    for a in item.args:
        if a.type.kind == "named" and a.type.name in CURRENT.objects:
            w("    require_live(val_%s, %s);" % (a.name, ident(a.name)))
        elif a.type.kind == "named" and a.type.name in CURRENT.callbacks:
            w("    require_registered(*val_%s);" % a.name)
    call_args = []
    if item.kind == "method":
        call_args.append("*self")
    for a in item.args:
        e = lift_expr(a)
        if e is None:
            if a.type.kind == "named":
                call_args.append("std::move(val_%s)" % a.name)
            else:
                call_args.append(ident(a.name))
            continue
        w("    auto lifted_%s = %s;" % (a.name, e))
        w("    if (!lifted_%s.ok()) return Outcome<%s>::failed(std::move(lifted_%s).error());" %
          (a.name, ret_c, a.name))
        call_args.append("std::move(lifted_%s).value()" % a.name)
    call = "body::%s(%s)" % (body_name(item), ", ".join(call_args))
    has_value = item.kind == "ctor" or item.ret is not None
    if item.throws:
        w("    auto r = %s;" % call)
        w("    if (!r.ok()) return Outcome<%s>::expected(std::move(r).error());" % ret_c)
        if has_value:
            w("    return Outcome<%s>::success(lower_return(std::move(r).value()));" % ret_c)
        else:
            w("    return Outcome<%s>::success();" % ret_c)
    else:
        if has_value:
            w("    return Outcome<%s>::success(lower_return(%s));" % (ret_c, call))
        else:
            w("    %s;" % call)
            w("    return Outcome<%s>::success();" % ret_c)
    w("  });")
    w("}")
    return o


def meta_bytes(kind, strings):
    out = [kind]
    for s in strings:
        b = s.encode("utf-8")
        out.append(len(b))
        out.extend(b)
    return out


def gen_exports(iface):
    o = []
    w = o.append
    w("// Generated by interface/gen_ffi.py from interface/brenvik_protocol.idl; do not edit.")
    w("// Export wrappers, checksum exports, contract version and metadata records.")
    w('#include "brenvik_ffi.h"')
    w('#include "bindings/call.h"')
    w('#include "bindings/ffi_bodies.h"')
    w("")
    w("using namespace brenvik::ffi;  // NOLINT: generated code")
    w("")
    w('extern "C" BRENVIK_FFI_API uint32_t brenvik_ffi_contract_version(void) { return %du; }' %
      iface.contract_version)
    w("")
    sums = checksums(iface)
    first_with_value = {}
    for sym in sorted(sums):
        v = sums[sym]
        if v in first_with_value:
            # Items that share a value share one constant function.
            w('extern "C" BRENVIK_FFI_API uint16_t %s(void) __attribute__((alias("%s")));' %
              (sym, first_with_value[v]))
        else:
            first_with_value[v] = sym
            w('extern "C" BRENVIK_FFI_API uint16_t %s(void) { return %d; }' % (sym, v))
    w("")
    comp = iface.namespace + "_bindings"
    metas = [
        (meta_symbols(iface)[0], meta_bytes(6, [comp, iface.namespace])),
        (meta_symbols(iface)[1], meta_bytes(8, [comp, iface.namespace, iface.namespace])),
    ]
    for sym, data in metas:
        w('extern "C" BRENVIK_FFI_API const uint8_t %s[%d] = {%s};' %
          (sym, len(data), ", ".join(str(b) for b in data)))
    w("")
    for item in iface.items():
        if item.exported and item.symbol():
            o.extend(gen_wrapper(item))
            w("")
    return "\n".join(o) + "\n"


def gen_symbols(iface):
    sums = checksums(iface)
    lines = ["# symbol exported(1)/not-yet(0) [checksum value]"]
    for sym, exported in all_symbols(iface):
        extra = " %d" % sums[sym] if sym in sums else ""
        lines.append("%s %d%s" % (sym, 1 if exported else 0, extra))
    return "\n".join(lines) + "\n"


def gen_probe(iface, items, bodies_header):
    """Wrappers and body declarations for extra items (used by tests and benchmarks)."""
    h = ["// Generated by interface/gen_ffi.py; do not edit.", "#pragma once", '#include "probe_object.h"',
         '#include "bindings/ffi_bodies.h"', "", "namespace brenvik::ffi::body {"]
    for item in items:
        h.append("%s %s(%s);" % (body_return(item), body_name(item), body_params(item)))
    h.append("}  // namespace brenvik::ffi::body")
    c = ["// Generated by interface/gen_ffi.py; do not edit.", '#include "brenvik_ffi.h"',
         '#include "bindings/call.h"', '#include "%s"' % bodies_header, "",
         "using namespace brenvik::ffi;  // NOLINT: generated code", ""]
    for item in items:
        if item.symbol():
            c.extend(gen_wrapper(item))
            c.append("")
    return "\n".join(h) + "\n", "\n".join(c) + "\n"


CURRENT = None


def write_if_changed(path, text):
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def load(path):
    global CURRENT
    CURRENT = parse(path)
    return CURRENT


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--idl", default=os.path.join(os.path.dirname(__file__), "brenvik_protocol.idl"))
    ap.add_argument("--header", help="write the C header here")
    ap.add_argument("--outdir", help="write the generated C++ files into this directory")
    ap.add_argument("--check-header", help="fail when this checked-in header differs from the generated one")
    ap.add_argument("--probe-idl", help="extra items whose wrappers are generated on their own")
    ap.add_argument("--probe-out", help="directory for the extra items' header and wrappers")
    args = ap.parse_args(argv)
    iface = load(args.idl)
    if args.probe_idl:
        base = load(args.idl)
        parse(args.probe_idl, base)
        hdr, cpp = gen_probe(base, base.added, "probe_bodies.h")
        write_if_changed(os.path.join(args.probe_out, "probe_bodies.h"), hdr)
        write_if_changed(os.path.join(args.probe_out, "probe_exports.cpp"), cpp)
        return 0
    header = gen_header(iface)
    if args.header:
        write_if_changed(args.header, header)
    if args.outdir:
        write_if_changed(os.path.join(args.outdir, "bindings", "ffi_types.h"), gen_types(iface))
        write_if_changed(os.path.join(args.outdir, "bindings", "ffi_bodies.h"), gen_bodies(iface))
        write_if_changed(os.path.join(args.outdir, "ffi_exports.cpp"), gen_exports(iface))
        write_if_changed(os.path.join(args.outdir, "ffi_symbols.txt"), gen_symbols(iface))
    if args.check_header:
        with open(args.check_header, encoding="utf-8") as f:
            if f.read() != header:
                sys.stderr.write("%s is out of date: run interface/gen_ffi.py --header %s\n" %
                                 (args.check_header, args.check_header))
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
