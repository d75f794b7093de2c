"""TyxError taken across pickling and into other processes comes back as the same error."""

import concurrent.futures
import multiprocessing
import pickle

import pytest

import vorpel
from support import error_of

LOCATED = "a\n{{ missing }}"


def located_error():
    """An error with help and a span."""
    return error_of(lambda: vorpel.compile(LOCATED))


def option_error():
    """An error of the binding's own, with neither help nor span."""
    return error_of(lambda: vorpel.compile("x", base_path=""))


def fields(error):
    return (type(error), error.args, str(error), error.code, error.message, error.help,
            error.span, list(vars(error).items()))


@pytest.mark.parametrize("make", [located_error, option_error])
def test_tyx_error_survives_pickling(make, protocol):
    error = make()
    restored = pickle.loads(pickle.dumps(error, protocol=protocol))
    assert restored is not error
    assert fields(restored) == fields(error)
    assert type(restored) is vorpel.TyxError
    assert vorpel.TyxError.__module__ == "_vorpel"


def test_attributes_set_later_survive_pickling(protocol):
    error = option_error()
    error.detail = {"limit": 1}
    error.add_note("while testing")
    restored = pickle.loads(pickle.dumps(error, protocol=protocol))
    assert restored.detail == {"limit": 1}
    assert restored.__notes__ == ["while testing"]
    assert fields(restored) == fields(error)


def test_tyx_error_raised_in_a_worker_process():
    # A fresh interpreter, so that the error is rebuilt only from what was pickled.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        future = pool.submit(vorpel.compile, LOCATED)
        with pytest.raises(vorpel.TyxError) as caught:
            future.result(timeout=120)
    assert fields(caught.value) == fields(located_error())
    assert caught.value.span.line == 2
