"""Predicate builders (field, FieldRef, and_, or_, not_) and the Query handle's life."""

import array
import collections.abc
import threading

import pytest

import pallix._native as native
from pallix._native import and_, field, not_, or_


def pallix_error(call):
    with pytest.raises(native.PallixError) as info:
        call()
    assert info.value.code == 12
    return info.value.message


# ---------------------------------------------------------------- builders


def test_field_takes_a_str_path():
    for path in ("a", "a.b.c", "", " spaced ", "__x"):
        assert isinstance(field(path), native.FieldRef)
    assert isinstance(field(path="a"), native.FieldRef)
    for bad in (1, None, b"a", ["a"]):
        with pytest.raises(TypeError):
            field(bad)
    with pytest.raises(TypeError):
        field()
    with pytest.raises(TypeError):
        field("a", "b")


@pytest.mark.parametrize("op", ["eq", "ne", "lt", "le", "gt", "ge"])
def test_comparisons(op):
    f = field("a")
    for value in (None, True, 1, 1.0, "x", b"x", [1], {"k": 1}, array.array("f", [1.0])):
        assert isinstance(getattr(f, op)(value), native.Predicate)
    assert isinstance(getattr(f, op)(value=3), native.Predicate)
    with pytest.raises(TypeError):
        getattr(f, op)()
    with pytest.raises(TypeError):
        getattr(f, op)(1, 2)
    assert pallix_error(lambda: getattr(f, op)({1: 2})) == "dict keys must be strings (engine maps are string-keyed)"
    assert pallix_error(lambda: getattr(f, op)(2**64)) == "int is outside the i64 range (engine Ints are 64-bit)"


def test_exists():
    assert isinstance(field("a").exists(), native.Predicate)
    with pytest.raises(TypeError):
        field("a").exists(1)


def test_in_takes_a_sequence_but_not_a_str():
    f = field("a")
    assert isinstance(f.in_([]), native.Predicate)
    assert isinstance(f.in_(("x", "y")), native.Predicate)
    assert isinstance(f.in_(values=[1, None, "z"]), native.Predicate)
    assert isinstance(f.in_(range(3)), native.Predicate)

    class Str(str):
        pass

    class Indexable:  # __getitem__ and __len__, but not a collections.abc.Sequence
        def __getitem__(self, i):
            return [1, 2][i]

        def __len__(self):
            return 2

    for bad in ("ab", Str("ab"), {1, 2}, iter([1]), (x for x in [1]), {"a": 1}, 5, None, Indexable()):
        with pytest.raises(TypeError):
            f.in_(bad)
    collections.abc.Sequence.register(Indexable)
    assert isinstance(f.in_(Indexable()), native.Predicate)
    assert pallix_error(lambda: f.in_([1, {2}, {3: 4}])) == "unsupported Python value kind: set"


def test_between_converts_low_then_high():
    f = field("a")
    assert isinstance(f.between(5, 1), native.Predicate)  # no ordering check
    assert isinstance(f.between(low="a", high="b"), native.Predicate)
    assert pallix_error(lambda: f.between({1}, 1j)) == "unsupported Python value kind: set"
    assert pallix_error(lambda: f.between(1, 1j)) == "unsupported Python value kind: complex"
    with pytest.raises(TypeError):
        f.between(1)


def test_text_tests_take_str():
    f = field("a")
    assert isinstance(f.starts_with(""), native.Predicate)
    assert isinstance(f.contains(substring="é"), native.Predicate)
    for bad in (1, b"x", None):
        with pytest.raises(TypeError):
            f.starts_with(bad)
        with pytest.raises(TypeError):
            f.contains(bad)


def test_within_km_takes_numbers():
    f = field("loc")

    class Floaty:
        def __float__(self):
            return 1.5

    class Indexy:
        def __index__(self):
            return 2

    assert isinstance(f.within_km(1, 2, 3), native.Predicate)
    assert isinstance(f.within_km(1.5, -200.0, float("nan")), native.Predicate)
    assert isinstance(f.within_km(Floaty(), Indexy(), True), native.Predicate)
    assert isinstance(f.within_km(lat=0, lon=0, radius_km=0), native.Predicate)
    for bad in ("1", None, b"1", [1], object()):
        with pytest.raises(TypeError):
            f.within_km(bad, 0, 0)
        with pytest.raises(TypeError):
            f.within_km(0, 0, bad)


def test_and_or_need_predicates():
    p = field("a").eq(1)
    assert pallix_error(and_) == "and_() need at least one predicate"
    assert pallix_error(or_) == "or_() need at least one predicate"
    for fn in (and_, or_):
        single = fn(p)
        assert isinstance(single, native.Predicate) and single is not p
        assert isinstance(fn(p, p, p), native.Predicate)
        with pytest.raises(TypeError):
            fn(p, 1)
        with pytest.raises(TypeError):
            fn(field("a"))
        with pytest.raises(TypeError):
            fn(preds=p)
    # A type error wins over the empty case only when there is an argument.
    with pytest.raises(TypeError):
        and_("x")


def test_not_takes_one_predicate():
    p = field("a").eq(1)
    assert isinstance(not_(p), native.Predicate)
    assert isinstance(not_(not_(p)), native.Predicate)
    assert isinstance(not_(pred=p), native.Predicate)
    for bad in ((), (p, p), (1,), (field("a"),)):
        with pytest.raises(TypeError):
            not_(*bad)


def test_one_predicate_in_many_trees():
    p = field("a").eq(1)
    trees = [and_(p, p), or_(p, not_(p)), not_(and_(p, or_(p, p)))]
    del p
    assert all(isinstance(t, native.Predicate) for t in trees)


def test_builders_outlive_every_database():
    d = native.Db()
    f = field("a")
    d.close()
    assert isinstance(f.eq(1), native.Predicate)


def run_in_small_stack(fn):
    """Runs fn on a thread whose stack is small: any recursion per tree level would overflow it."""
    errors = []

    def body():
        try:
            fn()
        except BaseException as e:  # noqa: B036 - reported to the test thread
            errors.append(e)

    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=body)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    if errors:
        raise errors[0]


def test_huge_trees_are_built_copied_and_dropped_without_recursion():
    def build():
        leaves = [field("a").eq(i) for i in range(100_000)]
        spine = and_(*leaves)      # a left spine 100,000 deep
        other = or_(*leaves)
        both = and_(spine, other)  # copies both spines
        negated = not_(both)
        del leaves, spine, other, both
        return negated

    run_in_small_stack(lambda: build() and None)


def test_filters_grown_one_call_at_a_time(db):
    """A filter folded one or_/and_ call at a time, 10,000 calls each way, answers as a model says."""
    c = db.collection("grow")
    c.insert_many([(f"k{i:04}", {"b": i, "s": i % 7}) for i in range(600)])
    model = sorted(f"k{i:04}" for i in range(600) if i % 3 == 0 and i % 7 != 3)

    def check():
        # Each call wraps the tree built so far: left spines 10,000 deep.
        ors = field("b").eq(0)
        for i in range(1, 10_000):
            ors = or_(ors, field("b").eq(3 * i))
        ands = field("s").ne(3)
        for j in range(1, 10_000):
            ands = and_(ands, field("s").ne(6 + j))
        both = and_(ors, ands)
        assert [r.key for r in c.query().filter(both).run()] == model
        c.create_scalar_index("b")  # the Or filter now plans through the index
        assert [r.key for r in c.query().filter(ors).filter(ands).run()] == model
        assert c.query().filter(not_(both)).count() == 600 - len(model)
        assert c.delete_where(both) == len(model)
        assert c.query().filter(ors).count() == 200 - len(model)

    run_in_small_stack(check)


# ---------------------------------------------------------------- Query handle


def test_query_lifecycle(db):
    c = db.collection("c")
    q = c.query()
    assert isinstance(q, native.Query)
    with q as same:
        assert same is q
    assert q.close() is None
    assert q.__exit__(None, None, None) is None
    with pytest.raises(TypeError):
        q.__exit__(None)


def test_query_on_a_closed_collection(db):
    c = db.collection("c")
    c.close()
    assert pallix_error(c.query) == "collection handle is closed"


def test_query_keeps_the_engine_after_collection_and_db_close(tmp_path):
    path = str(tmp_path / "q.db")
    db = native.Db.open(path)
    c = db.collection("c")
    c.insert("k", 1)
    q = c.query()
    c.close()
    db.close()
    # The query alone still holds the engine, and with it the file lock.
    with pytest.raises(native.PallixError) as info:
        native.Db.open(path)
    assert info.value.code == 1 and info.value.message == "database: Database already open. Cannot acquire lock."
    q.close()
    # Its close dropped the last reference: the file opens again, data intact.
    again = native.Db.open(path)
    assert again.collection("c").get("k") == 1
    again.close()
