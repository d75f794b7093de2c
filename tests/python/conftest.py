import pickle

import pytest

PICKLE_PROTOCOLS = list(range(pickle.HIGHEST_PROTOCOL + 1))


@pytest.fixture(params=PICKLE_PROTOCOLS)
def protocol(request):
    return request.param
