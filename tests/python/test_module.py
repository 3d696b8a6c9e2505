"""The extension module imports and reports its interface version."""

import pallix._native as native


def test_ffi_version():
    assert native.ffi_version() == 1


def test_ffi_version_signature():
    import inspect

    assert str(inspect.signature(native.ffi_version)) == "()"
