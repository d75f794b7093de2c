"""Compiler, checker and linter for Tyx templates."""

import copyreg as _copyreg
from typing import Any as _Any

from vorpel._version import __version__ as __version__
from vorpel._vorpel import *  # noqa: F401,F403
from vorpel._vorpel import __all__  # noqa: F401
from vorpel._vorpel import TyxError as _TyxError


def _rebuild_tyx_error(args: tuple[_Any, ...], attributes: dict[str, _Any]) -> _TyxError:
    """A TyxError with the arguments and attributes of the one that was pickled."""
    error = _TyxError(*args)
    error.__dict__.update(attributes)
    return error


# TyxError lives in the module "_vorpel", which is not importable under that name, so pickle
# could not find the class by itself; the error is rebuilt through this package instead.
_copyreg.pickle(_TyxError, lambda error: (_rebuild_tyx_error, (error.args, error.__dict__)))
