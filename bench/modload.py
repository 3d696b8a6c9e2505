"""Loads another build of the extension module beside the installed one."""

import importlib.machinery
import importlib.util


def load_module(path, name):
    """The extension module file at path, loaded under its own name, so two
    builds of it can live in one process."""
    loader = importlib.machinery.ExtensionFileLoader(f"{name}._native", str(path))
    spec = importlib.util.spec_from_file_location(f"{name}._native", str(path), loader=loader)
    mod = importlib.util.module_from_spec(spec)
    loader.exec_module(mod)
    return mod
