"""The native extension module — registered as `vorpel._vorpel`."""

from collections.abc import Iterable, Mapping, Sequence
from os import PathLike
from typing import Any, ClassVar, Self, final

__all__ = [
    "TyxError",
    "Span",
    "Message",
    "CheckResult",
    "CompileResult",
    "LintDiagnostic",
    "LintFileReport",
    "LintResult",
    "compile",
    "compile_file",
    "compile_virtual",
    "check",
    "check_file",
    "check_virtual",
    "scan_imports",
    "lint",
    "lint_file",
    "lint_virtual",
]

_Path = str | PathLike[str]
# Variables may hold any value that converts to JSON: None, bool, int, float, str, and lists,
# tuples, sets and mappings of those.
_Vars = Mapping[str, object]
# A rule id to "off", "info", "warn" or "error".
_Rules = Mapping[str, str]
# A module key to its source text.
_Modules = Mapping[str, str]

class TyxError(Exception):
    code: str
    message: str
    help: str | None
    span: Span | None

@final
class Span:
    def __new__(
        cls, offset: int, length: int, line: int | None = None, column: int | None = None
    ) -> Self: ...
    @property
    def offset(self) -> int: ...
    @property
    def length(self) -> int: ...
    @property
    def line(self) -> int | None: ...
    @property
    def column(self) -> int | None: ...
    def to_dict(self) -> dict[str, int | None]: ...
    def to_json(self) -> str: ...
    def __reduce__(self) -> tuple[type[Span], tuple[int, int, int | None, int | None]]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Message:
    def __new__(cls, role: str, content: str) -> Self: ...
    @property
    def role(self) -> str: ...
    @property
    def content(self) -> str: ...
    def to_dict(self) -> dict[str, str]: ...
    def to_json(self) -> str: ...
    def __reduce__(self) -> tuple[type[Message], tuple[str, str]]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class CheckResult:
    def __new__(cls, warnings: Sequence[str]) -> Self: ...
    @property
    def warnings(self) -> list[str]: ...
    def to_dict(self) -> dict[str, list[str]]: ...
    def to_json(self) -> str: ...
    def __reduce__(self) -> tuple[type[CheckResult], tuple[list[str]]]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class CompileResult:
    def __new__(cls, canonical: Mapping[str, Any]) -> Self: ...
    @property
    def kind(self) -> str: ...
    @property
    def output(self) -> str | None: ...
    @property
    def messages(self) -> list[Message] | None: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def dependencies(self) -> list[str]: ...
    @property
    def source_map(self) -> dict[str, Any] | None: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_json(self) -> str: ...
    def __reduce__(self) -> tuple[type[CompileResult], tuple[dict[str, Any]]]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class LintDiagnostic:
    def __new__(
        cls,
        rule: str,
        severity: str,
        message: str,
        help: str | None = None,
        fixable: bool = False,
        span: Span | None = None,
        fix_edits_json: str | None = None,
    ) -> Self: ...
    @property
    def rule(self) -> str: ...
    @property
    def severity(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def help(self) -> str | None: ...
    @property
    def fixable(self) -> bool: ...
    @property
    def span(self) -> Span | None: ...
    @property
    def fix_edits(self) -> list[Any] | None: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_json(self) -> str: ...
    def __reduce__(
        self,
    ) -> tuple[
        type[LintDiagnostic],
        tuple[str, str, str, str | None, bool, Span | None, str | None],
    ]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class LintFileReport:
    def __new__(cls, file: str, diagnostics: Iterable[LintDiagnostic]) -> Self: ...
    @property
    def file(self) -> str: ...
    @property
    def diagnostics(self) -> list[LintDiagnostic]: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_json(self) -> str: ...
    def __reduce__(self) -> tuple[type[LintFileReport], tuple[str, list[LintDiagnostic]]]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class LintResult:
    def __new__(cls, canonical: Mapping[str, Any]) -> Self: ...
    @property
    def version(self) -> int: ...
    @property
    def files(self) -> list[LintFileReport]: ...
    @property
    def truncated(self) -> bool: ...
    @property
    def lint_warnings(self) -> list[str]: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_json(self) -> str: ...
    def __reduce__(self) -> tuple[type[LintResult], tuple[dict[str, Any]]]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

def compile(
    source: str,
    *,
    vars: _Vars | None = None,
    base_path: _Path | None = None,
    source_map: bool = False,
    sources_content: bool = False,
) -> CompileResult: ...
def compile_file(
    path: _Path,
    *,
    vars: _Vars | None = None,
    source_map: bool = False,
    sources_content: bool = False,
) -> CompileResult: ...
def compile_virtual(
    modules: _Modules,
    entry: str,
    *,
    vars: _Vars | None = None,
    source_map: bool = False,
    sources_content: bool = False,
) -> CompileResult: ...

# Source maps belong to compiling: check accepts the two keywords only as None.
def check(
    source: str,
    *,
    vars: _Vars | None = None,
    base_path: _Path | None = None,
    source_map: None = None,
    sources_content: None = None,
) -> CheckResult: ...
def check_file(path: _Path, *, vars: _Vars | None = None) -> CheckResult: ...
def check_virtual(modules: _Modules, entry: str, *, vars: _Vars | None = None) -> CheckResult: ...
def scan_imports(source: str, /) -> list[str]: ...
def lint(
    source: str,
    *,
    vars: _Vars | None = None,
    base_path: _Path | None = None,
    rules: _Rules | None = None,
) -> LintResult: ...
def lint_file(
    path: _Path, *, vars: _Vars | None = None, rules: _Rules | None = None
) -> LintResult: ...
def lint_virtual(
    modules: _Modules,
    entry: str,
    *,
    vars: _Vars | None = None,
    rules: _Rules | None = None,
) -> LintResult: ...
