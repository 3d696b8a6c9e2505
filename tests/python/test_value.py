"""Conversions between Python objects and stored values and keys."""

import array
import math
import random
import struct

import pytest

import pallix._native as native
from conftest import RawFile, encode, seeded


def eq_pred(value):
    """Converts `value` the way every document and operand is converted."""
    return native.field("a").eq(value)


def conversion_error(value):
    with pytest.raises(native.PallixError) as info:
        eq_pred(value)
    assert info.value.code == 12
    return info.value.message


def same(a, b):
    """Equality that also holds for NaN and tells bool from int, list from tuple."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, array.array):
        return a.typecode == b.typecode and a.tobytes() == b.tobytes()
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def canonical(value):
    """What the engine gives back for `value`: lists for tuples, dict keys in bytewise order."""
    if isinstance(value, (list, tuple)):
        return [canonical(v) for v in value]
    if isinstance(value, dict):
        return {k: canonical(value[k]) for k in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, bytearray):
        return bytes(value)
    return value


# ---------------------------------------------------------------- Python to value


@pytest.mark.parametrize("value", [
    None, True, False, 0, 1, -2**63, 2**63 - 1, 1.5, float("nan"), float("inf"), "", "text", "ü€😀",
    b"", b"\x00\xff", bytearray(b"ab"), [], (), [1, [2, (3,)]], {}, {"b": 1, "a": [None]},
    array.array("f"), array.array("f", [0.1, -2.5]),
])
def test_accepted_values(value):
    assert isinstance(eq_pred(value), native.Predicate)


def test_int_range():
    assert conversion_error(2**63) == "int is outside the i64 range (engine Ints are 64-bit)"
    assert conversion_error(-2**63 - 1) == "int is outside the i64 range (engine Ints are 64-bit)"
    assert conversion_error(10**40) == "int is outside the i64 range (engine Ints are 64-bit)"


def test_unsupported_kinds():
    assert conversion_error({1, 2}) == "unsupported Python value kind: set"
    assert conversion_error(1j) == "unsupported Python value kind: complex"
    assert conversion_error(object()) == "unsupported Python value kind: object"

    class Index:
        def __index__(self):
            return 3

    assert conversion_error(Index()) == "unsupported Python value kind: Index"


def test_dict_keys_must_be_str():
    msg = "dict keys must be strings (engine maps are string-keyed)"
    assert conversion_error({1: "a"}) == msg
    assert conversion_error({"ok": {b"k": 1}}) == msg
    assert conversion_error({"\ud800": 1}) == msg


def test_vectors_must_be_float32():
    msg = "vectors must be array('f') (float32); other array typecodes are not engine Vectors"
    assert conversion_error(array.array("d", [1.0])) == msg
    assert conversion_error([array.array("i", [1])]) == msg


def test_array_subclass_goes_through_python():
    class Vec(array.array):
        pass

    assert isinstance(eq_pred(Vec("f", [1.0])), native.Predicate)
    with pytest.raises(native.PallixError):
        eq_pred(Vec("d", [1.0]))


def test_unencodable_text():
    assert conversion_error("\udc80").startswith("UnicodeEncodeError: ")
    assert conversion_error(["ok", "\udc80"]).startswith("UnicodeEncodeError: ")


def nested(depth, inner):
    v = inner
    for _ in range(depth):
        v = [v]
    return v


def test_depth_128_accepted_129_refused():
    msg = "value nesting exceeds the maximum depth of 128"
    assert isinstance(eq_pred(nested(128, [])), native.Predicate)  # the empty list sits at depth 128
    assert conversion_error(nested(128, [None])) == msg            # its element would be at 129
    assert conversion_error(nested(129, 1)) == msg
    d = {}
    cur = d
    for _ in range(128):
        cur["x"] = {}
        cur = cur["x"]
    assert isinstance(eq_pred(d), native.Predicate)
    cur["x"] = 1
    assert conversion_error(d) == msg


def test_subclasses_are_converted_by_their_base():
    class S(str):
        def __str__(self):
            return "other"

    class L(list):
        def __iter__(self):
            raise AssertionError("storage is read directly")

    class D(dict):
        def items(self):
            raise AssertionError("storage is read directly")

    assert isinstance(eq_pred(S("x")), native.Predicate)
    assert isinstance(eq_pred(L([1, 2])), native.Predicate)
    assert isinstance(eq_pred(D(a=1)), native.Predicate)


def test_conversion_survives_containers_mutated_by_user_code():
    # A __class__ lookup (made by the vector test) runs user code that
    # empties the very list being converted.
    victim = []

    class Sneaky:
        @property
        def __class__(self):
            victim.clear()
            return Sneaky

    victim.extend([Sneaky(), "tail", object()])
    assert conversion_error(victim) == "unsupported Python value kind: Sneaky"
    d = {}

    class Sneaky2:
        @property
        def __class__(self):
            d.clear()
            return Sneaky2

    d.update(a=Sneaky2(), b=2)
    assert conversion_error(d) == "unsupported Python value kind: Sneaky2"


def test_key_conversion(db):
    c = db.collection("c")
    assert c.get("k") is None
    assert c.get(b"k") is None
    assert c.get(bytearray(b"k")) is None
    for bad in (3, None, 1.5, ["k"], memoryview(b"k")):
        with pytest.raises(native.PallixError) as info:
            c.get(bad)
        assert info.value.code == 12 and info.value.message == "keys must be str or bytes"


# ---------------------------------------------------------------- stored value to Python

DOCS = {
    "null": None,
    "true": True,
    "false": False,
    "zero": 0,
    "min": -2**63,
    "max": 2**63 - 1,
    "float": -0.0,
    "nan": float("nan"),
    "inf": float("-inf"),
    "text": "hé 😀",
    "bytes": b"\x00\xff",
    "list": [1, "a", None, [True]],
    "map": {"b": 1, "a": {"z": [], "y": {}}, "é": 2, "E": 3},
    "vector": array.array("f", [0.1, -1.0, float("inf")]),
    "empty_vector": array.array("f"),
}


def test_every_kind_reads_back(path):
    db = seeded(path, "c", DOCS)
    c = db.collection("c")
    for key, value in DOCS.items():
        got = c.get(key)
        assert same(got, canonical(value)), key
    assert type(c.get("true")) is bool and type(c.get("zero")) is int
    assert list(c.get("map")) == ["E", "a", "b", "é"]  # bytewise key order
    v = c.get("vector")
    assert v.typecode == "f" and v[0] == array.array("f", [0.1])[0]
    db.close()


def test_stored_nesting_depth(path):
    raw = RawFile(path)
    raw.put_doc("c", "ok", nested(128, []))
    raw.put_doc("c", "deep", nested(129, []))
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    assert c.get("ok") == nested(128, [])
    with pytest.raises(native.PallixError) as info:
        c.get("deep")
    assert info.value.code == 8 and info.value.message == "decode: value nests deeper than 128"
    db.close()


def test_keys_come_back_as_str_or_bytes(path):
    db = seeded(path, "c", {b"\xff": 1, b"abc": 2, "é": 3})
    keys = [k for k, _ in db.collection("c").scan()]
    assert keys == ["abc", "é", b"\xff"]
    db.close()


def test_signalling_nan_components_come_back_quieted(path):
    raw = RawFile(path)
    snan = struct.pack("<I", 0x7F800001)
    raw.put("c", "v", b"\x08" + struct.pack("<I", 2) + snan + struct.pack("<f", 1.0))
    raw.close()
    db = native.Db.open(path)
    v = db.collection("c").get("v")
    # As array('f', [float32 widened to float, ...]) would give it.
    assert v.tobytes() == array.array("f", [struct.unpack("<f", snan)[0], 1.0]).tobytes()
    db.close()


# A reference decoder: what the engine's decoder followed by the conversion
# to Python gives, as (value, None) or (None, message).
class Malformed(Exception):
    pass


def utf8_error(raw):
    try:
        raw.decode("utf-8")
        return None
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return f"incomplete utf-8 byte sequence from index {e.start}"
        return f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"


def ref_decode(data):
    pos = 0

    def take(n):
        nonlocal pos
        if len(data) - pos < n:
            raise Malformed("unexpected end of input")
        out = data[pos:pos + n]
        pos += n
        return out

    def u32():
        return struct.unpack("<I", take(4))[0]

    def read(depth):
        if depth > 128:
            raise Malformed("value nests deeper than 128")
        tag = take(1)[0]
        if tag == 0:
            return None
        if tag == 1:
            return take(1)[0] != 0
        if tag == 2:
            return struct.unpack("<q", take(8))[0]
        if tag == 3:
            return struct.unpack("<d", take(8))[0]
        if tag in (4, 5):
            raw = take(u32())
            if tag == 5:
                return raw
            err = utf8_error(raw)
            if err:
                raise Malformed("invalid utf-8: " + err)
            return raw.decode()
        if tag == 6:
            return [read(depth + 1) for _ in range(u32())]
        if tag == 7:
            entries = []
            for _ in range(u32()):
                raw = take(u32())
                err = utf8_error(raw)
                if err:
                    raise Malformed("invalid utf-8 map key: " + err)
                entries.append((raw, read(depth + 1)))
            out = {}
            for raw, value in sorted(entries, key=lambda e: e[0]):
                out.pop(raw.decode(), None)
                out[raw.decode()] = value
            return dict(sorted(out.items(), key=lambda kv: kv[0].encode()))
        if tag == 8:
            n = u32()
            raw = take(4 * n)
            return array.array("f", list(array.array("f", raw)))
        raise Malformed(f"unknown tag {tag}")

    try:
        value = read(0)
        if pos != len(data):
            raise Malformed(f"{len(data) - pos} trailing byte(s) after value")
        return value, None
    except Malformed as e:
        return None, "decode: " + str(e)


def random_value(rng, depth=0):
    kinds = ["null", "bool", "int", "float", "text", "bytes", "vector"]
    if depth < 4:
        kinds += ["list", "map", "map"]
    kind = rng.choice(kinds)
    if kind == "null":
        return None
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "int":
        return rng.randint(-2**63, 2**63 - 1)
    if kind == "float":
        return rng.choice([0.5, -0.0, float("nan"), 1e300, rng.random()])
    if kind == "text":
        return "".join(rng.choice("ab\u00e9\u20ac\U0001F600") for _ in range(rng.randint(0, 4)))
    if kind == "bytes":
        return bytes(rng.randrange(256) for _ in range(rng.randint(0, 4)))
    if kind == "vector":
        return array.array("f", [rng.random() for _ in range(rng.randint(0, 3))])
    if kind == "list":
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 3))]
    keys = ["a", "b", "é", "", "z\u0301"]
    return {rng.choice(keys): random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))}


def mutate(rng, data):
    data = bytearray(data)
    op = rng.randrange(4)
    if op == 0 and data:
        data[rng.randrange(len(data))] = rng.randrange(256)
    elif op == 1 and data:
        del data[rng.randrange(len(data)):]
    elif op == 2:
        data.insert(rng.randrange(len(data) + 1), rng.randrange(256))
    elif op == 3 and len(data) > 1:
        i = rng.randrange(len(data) - 1)
        data[i], data[i + 1] = data[i + 1], data[i]
    return bytes(data)


def hand_made_maps():
    """Maps whose stored entries are out of order or repeat a key."""
    def entry(k, v):
        return struct.pack("<I", len(k)) + k + encode(v)
    unordered = b"\x07" + struct.pack("<I", 3) + entry(b"b", 1) + entry(b"a", 2) + entry(b"c", 3)
    duplicate = b"\x07" + struct.pack("<I", 3) + entry(b"a", 1) + entry(b"b", 2) + entry(b"a", 3)
    bad_late_key = b"\x07" + struct.pack("<I", 2) + entry(b"b", 1) + entry(b"\xff", 2)
    return [unordered, duplicate, bad_late_key]


def test_direct_decoder_matches_the_reference_on_damaged_bytes(path):
    rng = random.Random(20240601)
    samples = hand_made_maps()
    for _ in range(600):
        good = encode(random_value(rng))
        samples.append(good)
        samples.append(mutate(rng, good))
    raw = RawFile(path)
    for i, data in enumerate(samples):
        raw.put("c", "%05d" % i, data)
    raw.close()
    db = native.Db.open(path)
    c = db.collection("c")
    for i, data in enumerate(samples):
        want, want_err = ref_decode(data)
        try:
            got, got_err = c.get("%05d" % i), None
        except native.PallixError as e:
            assert e.code == 8
            got, got_err = None, e.message
        assert got_err == want_err, (i, data)
        assert same(got, want), (i, data)
    db.close()
    assert ref_decode(hand_made_maps()[0])[0] == {"a": 2, "b": 1, "c": 3}
    assert ref_decode(hand_made_maps()[1])[0] == {"a": 3, "b": 2}
