"""The type stub _native.pyi states exactly the module's classes, members and parameters."""

import ast
import keyword
import pathlib

import pallix
import pallix._native as native

STUB = pathlib.Path(pallix.__file__).with_name("_native.pyi")
SOURCE_STUB = pathlib.Path(__file__).parents[2] / "python" / "pallix" / "_native.pyi"
# Dunder members that are part of the surface; other dunders come from object.
SURFACE_DUNDERS = {"__enter__", "__exit__", "__len__"}


def stub_tree():
    return ast.parse(SOURCE_STUB.read_text())


def stub_params(fn):
    """(name, has default) of a stub def, without self/cls; `from_` stands for the keyword `from`."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [False] * (len(positional) - len(a.defaults)) + [True] * len(a.defaults)
    out = [(p.arg, d) for p, d in zip(positional, defaults)]
    if out and out[0][0] in ("self", "cls"):
        out = out[1:]
    if a.vararg:
        out.append(("*" + a.vararg.arg, False))
    out += [(p.arg, d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return [(n[:-1] if n.endswith("_") and keyword.iskeyword(n[:-1]) else n, d) for n, d in out]


def runtime_params(text_signature):
    """(name, has default) from a __text_signature__, without $self/$cls/$type and markers."""
    inner = text_signature.strip()[1:-1]
    out = []
    for part in (p.strip() for p in inner.split(",")):
        if not part or part in ("/", "*") or part.startswith("$"):
            continue
        name, _, default = part.partition("=")
        out.append((name.strip(), bool(default)))
    return out


def runtime_members(cls):
    names = {k for k in vars(cls) if not k.startswith("_") or k in SURFACE_DUNDERS}
    if "__new__" in vars(cls):
        names.add("__new__")
    return names


def test_stub_is_shipped():
    assert STUB.is_file() and STUB.read_text() == SOURCE_STUB.read_text()
    assert STUB.with_name("py.typed").is_file()


def test_module_names_match():
    tree = stub_tree()
    classes = {n.name for n in tree.body if isinstance(n, ast.ClassDef)}
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    runtime = set(native.__all__)
    assert classes | functions == runtime
    assert classes == {n for n in runtime if isinstance(getattr(native, n), type)}
    assert [ast.literal_eval(e) for e in next(n for n in tree.body if isinstance(n, ast.Assign)
                                              and n.targets[0].id == "__all__").value.elts] == native.__all__


def test_functions_agree_name_for_name():
    for fn in (n for n in stub_tree().body if isinstance(n, ast.FunctionDef)):
        assert stub_params(fn) == runtime_params(getattr(native, fn.name).__text_signature__), fn.name


def test_classes_agree_member_for_member():
    for cls in (n for n in stub_tree().body if isinstance(n, ast.ClassDef)):
        runtime = getattr(native, cls.name)
        members = {m.name: m for m in cls.body if isinstance(m, ast.FunctionDef)}
        fields = {m.target.id for m in cls.body if isinstance(m, ast.AnnAssign)}
        if issubclass(runtime, BaseException):
            assert fields == {"code", "message"}
            continue
        assert set(members) | fields == runtime_members(runtime), cls.name
        for name, fn in members.items():
            if name == "__new__":
                sig = runtime.__text_signature__
            elif name == "__len__" or isinstance(vars(runtime)[name], property) or \
                    type(vars(runtime)[name]).__name__ == "getset_descriptor":
                continue
            else:
                sig = vars(runtime)[name].__text_signature__
            assert stub_params(fn) == runtime_params(sig), f"{cls.name}.{name}"
