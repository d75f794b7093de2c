#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment and builds its wheel, offline and
# with Debian's own setuptools and wheel, then checks from outside the repository that both load,
# that the version agrees everywhere, and that the type stubs match the module and type-check
# typical use. pip's build reuses one CMake tree (build-pip/) for the install and the wheel.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pip_offline=(-m pip --quiet --disable-pip-version-check --no-input)
build_offline=(--no-build-isolation --no-index --no-deps)

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
python="$work/venv/bin/python"
"$python" "${pip_offline[@]}" install "${build_offline[@]}" "$root"
"$python" "${pip_offline[@]}" wheel "${build_offline[@]}" --wheel-dir "$work/wheels" "$root"

# From here on the working folder is outside the repository, so only installed code is imported.
cd "$work"
version=$("$python" - <<'PYTHON'
import importlib.metadata
import sys

import vorpel

assert vorpel.__file__.startswith(sys.prefix), f"vorpel imported from {vorpel.__file__}"
metadata_version = importlib.metadata.version("vorpel")
assert vorpel.__version__ == metadata_version, (vorpel.__version__, metadata_version)
print(vorpel.__version__)
PYTHON
)
wheel="vorpel-$version-cp311-abi3-linux_x86_64.whl"
if [ "$(ls "$work/wheels")" != "$wheel" ]; then
    echo "test-package: expected the wheel $wheel, found: $(ls "$work/wheels")" >&2
    exit 1
fi

"$python" "$root/tests/typing/typical_use.py"
"$python" -m mypy.stubtest vorpel._vorpel
"$python" -m mypy --strict --cache-dir "$work/mypy-cache" "$root/tests/typing/typical_use.py"

# The wheel alone, in an environment that sees neither the repository nor Debian's packages.
/usr/bin/python3 -m venv "$work/wheel-venv"
"$work/wheel-venv/bin/python" "${pip_offline[@]}" install --no-index --no-deps "$work/wheels/$wheel"
"$work/wheel-venv/bin/python" "$root/tests/typing/typical_use.py"
