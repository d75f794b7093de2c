"""What importing vorpel._vorpel gives: names, TyxError and the shape every result class shares."""

import copy
import importlib
import inspect
import pickle
import sys
import weakref

import pytest

import vorpel
import vorpel._vorpel as ext

CLASSES = [
    "Span",
    "Message",
    "CheckResult",
    "CompileResult",
    "LintDiagnostic",
    "LintFileReport",
    "LintResult",
]

TYX_ERROR_DOC = (
    "Raised for every TYX compilation failure.\n\nCarries structured attributes: `code` (str), "
    "`message` (str), `help` (str | None),\nand `span` (Span | None). `str(err) == err.message`."
)

MODULE_DOC = (
    "The native extension module — registered as `vorpel._vorpel`.\n\n`gil_used = false` marks "
    "the module free-threading ready: the result classes are\nfrozen, there is no mutable global "
    "state, and the GIL is released around every\ncore call."
)


def sample(name):
    """One instance of each class, built from small but non-trivial states."""
    span = ext.Span(3, 4, 1, 2)
    diagnostic = ext.LintDiagnostic(
        "unused-import", "warn", "m", help="h", fixable=True, span=span,
        fix_edits_json='[{"end":2,"new_text":"","start":1}]')
    return {
        "Span": lambda: ext.Span(3, 4, 1, 2),
        "Message": lambda: ext.Message("user", "hi"),
        "CheckResult": lambda: ext.CheckResult(["w"]),
        "CompileResult": lambda: ext.CompileResult(
            {"dependencies": [], "kind": "markdown", "output": "x\n", "warnings": []}),
        "LintDiagnostic": lambda: diagnostic,
        "LintFileReport": lambda: ext.LintFileReport("input.tyx", [diagnostic]),
        "LintResult": lambda: ext.LintResult(
            {"files": [ext.LintFileReport("input.tyx", [diagnostic]).to_dict()],
             "truncated": False, "version": 1}),
    }[name]()


def test_all_lists_the_eighteen_names_in_order():
    functions = ["compile", "compile_file", "compile_virtual", "check", "check_file",
                 "check_virtual", "scan_imports", "lint", "lint_file", "lint_virtual"]
    assert ext.__all__ == ["TyxError"] + CLASSES + functions
    for name in ext.__all__:
        assert name in dir(ext)


def test_module_doc_and_package_reexport():
    assert ext.__doc__ == MODULE_DOC
    assert ext.__name__ == "vorpel._vorpel"
    for name in ext.__all__:
        assert getattr(vorpel, name) is getattr(ext, name)


def test_tyx_error_shape():
    error = ext.TyxError
    assert error.__mro__ == (error, Exception, BaseException, object)
    assert error.__module__ == "_vorpel"
    assert error.__name__ == "TyxError"
    assert error.__doc__ == TYX_ERROR_DOC


def test_tyx_error_raised_by_a_constructor_carries_four_attributes():
    with pytest.raises(ext.TyxError) as caught:
        ext.CompileResult({1: 2})
    error = caught.value
    message = "invalid CompileResult state: unexpected type: 'int' object is not an instance of 'str'"
    assert error.code == "tyx::invalid_options"
    assert error.message == message
    assert str(error) == message
    assert error.args == (message,)
    assert error.help is None
    assert error.span is None
    assert list(vars(error)) == ["code", "message", "help", "span"]


def test_reimport_gives_a_new_module_with_the_same_classes():
    first = sys.modules.pop("vorpel._vorpel")
    try:
        second = importlib.import_module("vorpel._vorpel")
        assert second is not first
        assert second.TyxError is first.TyxError
        for name in CLASSES:
            assert getattr(second, name) is getattr(first, name)
        assert second.__all__ == first.__all__
    finally:
        sys.modules["vorpel._vorpel"] = first


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(ext, name)
    assert cls.__module__ == "vorpel"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    assert getattr(vorpel, name) is cls


@pytest.mark.parametrize("name", CLASSES)
def test_instances_are_frozen_unhashable_and_final(name):
    instance = sample(name)
    with pytest.raises(TypeError):
        hash(instance)
    with pytest.raises(TypeError):
        {instance}
    with pytest.raises(AttributeError):
        instance.new_attribute = 1
    for attribute in [n for n, v in inspect.getmembers(type(instance)) if inspect.isgetsetdescriptor(v)]:
        with pytest.raises(AttributeError):
            setattr(instance, attribute, None)
        with pytest.raises(AttributeError):
            delattr(instance, attribute)
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(TypeError):
        type("Derived", (type(instance),), {})


@pytest.mark.parametrize("name", CLASSES)
def test_equality_is_by_value_and_class(name):
    first, second = sample(name), sample(name)
    assert first is not second
    assert first == second
    assert not (first != second)
    assert first != first.to_dict()
    assert not (first == first.to_dict())
    other = sample("Message" if name != "Message" else "Span")
    assert first != other
    assert not (first == other)
    with pytest.raises(TypeError):
        first < second
    with pytest.raises(TypeError):
        first >= second


@pytest.mark.parametrize("name", CLASSES)
def test_pickling_and_copying_give_equal_distinct_instances(name, protocol):
    instance = sample(name)
    restored = pickle.loads(pickle.dumps(instance, protocol=protocol))
    assert type(restored) is type(instance)
    assert restored == instance
    assert restored is not instance
    for copied in (copy.copy(instance), copy.deepcopy(instance)):
        assert copied == instance
        assert copied is not instance


@pytest.mark.parametrize("name", CLASSES)
def test_reduce_names_the_class(name):
    instance = sample(name)
    cls, arguments = instance.__reduce__()
    assert cls is type(instance)
    assert cls(*arguments) == instance


@pytest.mark.parametrize("name", CLASSES)
def test_str_is_repr_and_conversions_are_new(name):
    instance = sample(name)
    assert str(instance) == repr(instance)
    assert instance.to_dict() == instance.to_dict()
    assert instance.to_dict() is not instance.to_dict()
    assert isinstance(instance.to_json(), str)


SIGNATURES = {
    "Span": "(offset, length, line=None, column=None)",
    "Message": "(role, content)",
    "CheckResult": "(warnings)",
    "CompileResult": "(canonical)",
    "LintDiagnostic": "(rule, severity, message, help=None, fixable=False, span=None, fix_edits_json=None)",
    "LintFileReport": "(file, diagnostics)",
    "LintResult": "(canonical)",
}


@pytest.mark.parametrize("name", CLASSES)
def test_constructor_signatures_come_from_the_class_doc(name):
    cls = getattr(ext, name)
    assert str(inspect.signature(cls)) == SIGNATURES[name]
    assert cls.__text_signature__ == SIGNATURES[name]
    assert not cls.__doc__.startswith(name)
    for method in ("to_dict", "to_json", "__reduce__"):
        function = getattr(cls, method)
        assert function.__text_signature__ == "($self)"
        assert str(inspect.signature(function)) == "(self, /)"
        assert function.__doc__.startswith("Re")


FUNCTION_SIGNATURES = {
    "compile": "(source, *, vars=None, base_path=None, source_map=False, sources_content=False)",
    "compile_file": "(path, *, vars=None, source_map=False, sources_content=False)",
    "compile_virtual": "(modules, entry, *, vars=None, source_map=False, sources_content=False)",
    "check": "(source, *, vars=None, base_path=None, source_map=None, sources_content=None)",
    "check_file": "(path, *, vars=None)",
    "check_virtual": "(modules, entry, *, vars=None)",
    "scan_imports": "(source, /)",
    "lint": "(source, *, vars=None, base_path=None, rules=None)",
    "lint_file": "(path, *, vars=None, rules=None)",
    "lint_virtual": "(modules, entry, *, vars=None, rules=None)",
}


@pytest.mark.parametrize("name", sorted(FUNCTION_SIGNATURES))
def test_function_signatures(name):
    function = getattr(ext, name)
    assert str(inspect.signature(function)) == FUNCTION_SIGNATURES[name]
    # The functions carry METH_STATIC, with which CPython reports no __self__.
    assert function.__self__ is None
    assert function.__module__ == "vorpel._vorpel"


def fresh_module():
    import importlib.util
    spec = importlib.util.spec_from_file_location("vorpel._vorpel", ext.__file__)
    return spec, importlib.util.module_from_spec(spec)


def test_exec_appends_to_an_existing_all_list():
    spec, module = fresh_module()
    module.__all__ = ["existing"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["existing"] + ext.__all__
    assert module.TyxError is ext.TyxError


def test_exec_refuses_an_all_that_is_not_a_list():
    spec, module = fresh_module()
    module.__all__ = ("existing",)
    with pytest.raises(TypeError):
        spec.loader.exec_module(module)
    assert not hasattr(module, "TyxError")
