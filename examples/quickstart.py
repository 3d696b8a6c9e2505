"""Quick start: open a file database and an in-memory one."""

import os
import tempfile

import pallix._native as native

print("pallix binding interface version:", native.ffi_version())
