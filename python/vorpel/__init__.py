"""Compiler, checker and linter for Tyx templates."""

from vorpel._version import __version__ as __version__
from vorpel._vorpel import *  # noqa: F401,F403
from vorpel._vorpel import __all__  # noqa: F401
