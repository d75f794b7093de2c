"""Building, converting and dropping result objects many times holds on to nothing."""

import gc
import os
import pickle
import sys
import tracemalloc

from vorpel import (CheckResult, CompileResult, LintDiagnostic, LintFileReport, LintResult,
                    Message, Span, TyxError)

# Each round makes about forty constructions and conversions.
ROUNDS = 10_000
WARM_UP = 2_000
# Far below what one leaked C++ allocation per construction or conversion would add.
MAX_RSS_GROWTH = 2 * 1024 * 1024
# Far below what one leaked Python object per round would add.
MAX_TRACED_GROWTH = 32 * 1024


def rss_bytes():
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * 4096


STATE = {"dependencies": ["a"], "kind": "messages", "messages": [{"content": "c", "role": "r"}],
         "warnings": ["w"], "sourceMap": {"version": 3, "sources": ["s"]}}
EDITS = '[{"end":2,"new_text":"x","start":1}]'


def one_round():
    span = Span(1, 2, 3, 4)
    span.to_dict(), span.to_json(), span.__reduce__(), repr(span), span.line
    message = Message("user", "hi\n")
    message.to_dict(), message.to_json(), repr(message), message == message
    check = CheckResult(("a", "b"))
    check.warnings, check.to_dict(), check.to_json(), repr(check)
    result = CompileResult(STATE)
    result.messages, result.warnings, result.dependencies, result.source_map, result.kind
    result.output, result.to_dict(), result.to_json(), repr(result), result.__reduce__()
    diagnostic = LintDiagnostic("r", "warn", "m", help="h", fixable=True, span=span,
                                fix_edits_json=EDITS)
    diagnostic.span, diagnostic.fix_edits, diagnostic.to_dict(), diagnostic.__reduce__()
    report = LintFileReport("f", [diagnostic, diagnostic])
    report.diagnostics, report.to_dict(), report.to_json(), report.__reduce__()
    lint = LintResult({"files": [report.to_dict()], "truncated": False, "version": 1,
                       "lint_warnings": ["x"]})
    lint.files, lint.lint_warnings, lint.to_dict(), lint.to_json(), repr(lint)
    try:
        CompileResult({1: 2})
    except TyxError:
        pass
    try:
        Span(-1, 0)
    except OverflowError:
        pass
    try:
        LintFileReport("f", [None])
    except TyxError:
        pass


def run(rounds):
    for _ in range(rounds):
        one_round()


def test_rss_and_reference_counts_stay_flat():
    watched = [None, True, False, Span, Message, CheckResult, CompileResult, LintDiagnostic,
               LintFileReport, LintResult, TyxError, STATE, EDITS]
    run(WARM_UP)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    before = rss_bytes()
    run(ROUNDS)
    gc.collect()
    growth = rss_bytes() - before
    after = [sys.getrefcount(obj) for obj in watched]
    for obj, start, end in zip(watched, counts, after):
        # A handful of references may come and go with the interpreter's own caches.
        assert abs(end - start) < 50, (obj, start, end)
    # The address sanitizer holds freed memory in quarantine, so RSS says nothing there.
    if not os.environ.get("VORPEL_UNDER_SANITIZER"):
        assert growth < MAX_RSS_GROWTH, growth


def test_pickling_many_times_holds_nothing():
    values = [Span(1, 2), Message("a", "b"), CheckResult(["w"]), CompileResult(STATE),
              LintDiagnostic("r", "s", "m", fix_edits_json=EDITS),
              LintFileReport("f", []), LintResult({"version": 1})]
    data = [pickle.dumps(value) for value in values]
    for _ in range(1000):
        for blob in data:
            pickle.loads(blob)
    gc.collect()
    start = [sys.getrefcount(type(value)) for value in values]
    for _ in range(10_000):
        for blob in data:
            pickle.loads(blob)
    gc.collect()
    end = [sys.getrefcount(type(value)) for value in values]
    assert end == start


def test_no_python_object_outlives_its_round():
    run(WARM_UP)
    gc.collect()
    tracemalloc.start()
    try:
        run(100)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        run(WARM_UP)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < MAX_TRACED_GROWTH, after - before
