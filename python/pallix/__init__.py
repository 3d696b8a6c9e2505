"""pallix: an embedded, transactional document database.

Everything lives in the extension module ``pallix._native``; this package
re-exports its public names.
"""

from pallix import _native
from pallix._native import *  # noqa: F401,F403

__all__ = list(_native.__all__)
