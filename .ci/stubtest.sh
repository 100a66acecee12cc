#!/usr/bin/env bash
# CI: check the type stubs of the four extension modules (src/exokern/_<module>.pyi) against
# the built modules with mypy.stubtest; that mypy --strict and pyright, given only the installed
# package (py.typed and the stubs inside it), type a call of every method; and that the whole
# package passes mypy --strict, with every optional extra installed and with none.
# Usage: bash .ci/stubtest.sh
source "$(dirname "$0")/common.sh"
modules=(exokern._quadra exokern._alkali exokern._simpson exokern._kelvo exokern._opacity exokern._forward)

echo "=== stubtest: fresh virtual environment ==="
fresh_venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install -q "numpy>=2" mypy "pyright[nodejs]" "scikit-build-core>=0.11" cmake ninja \
    "tqdm>=4.60" matplotlib "dask[distributed]" xarray zarr dynesty mpi4py mpich
(cd "$root" && "$py" -m pip install -q --no-build-isolation --no-deps . -Cbuild-dir="$work/build")

missing=0
for m in "${modules[@]}"; do
    stub="$root/src/exokern/${m#exokern.}.pyi"
    if [[ ! -f "$stub" ]]; then
        echo "stubtest: no stub $stub" >&2
        missing=1
    fi
done
[[ $missing -eq 0 ]] || exit 1

printf '[mypy]\n' > "$work/mypy.ini"
echo "=== stubtest: ${modules[*]} ==="
# Run outside the clone so that the installed package (with its stubs) is what is checked.
(cd "$work" && "$py" -m mypy.stubtest --mypy-config-file "$work/mypy.ini" "${modules[@]}")

echo "=== stubtest: mypy --strict on calls of every method ==="
cat > "$work/use_exokern.py" <<'EOF'
import numpy as np
import numpy.typing as npt

from exokern import _alkali, _kelvo, _quadra, _simpson

f64 = npt.NDArray[np.float64]
v: f64 = np.ones(3)
m: f64 = np.ones((3, 2))
n: npt.NDArray[np.intc] = np.ones(2, np.intc)

res: float = _quadra.trapz(v, v[:2])
integ: f64 = _quadra.trapz2D(m, v, n)
ind: int = _quadra.cumtrapz(np.zeros(3), v, v[:2], 1.0)
tau: f64 = _quadra.optdepth(m, v[:2], 1.0, n, 0)
taus: f64 = _quadra.cumoptdepth(m, v[:2], 1.0, n)
inten: f64 = _quadra.intensity(m, n, m, v, 0)
one: int = _alkali.alkali_cross_section(
    v, v, v, m, m, 1.0, 23.0, 0.1, 1.0, 10.0, v[:2], v[:2], v[:2], n)
hsum, hratio, hfactor = _simpson.geth(v[:2])
integ0: float = _simpson.simps(v, v[:2], hsum, hratio, hfactor)
integ1: float = _simpson.simps(v, v[:2], v[:1], v[:1], v[:1])
integ2: f64 = _simpson.simps2D(m, v, n, v[:1], v[:1], v[:1])
temp1: f64 = _kelvo.guillot(np.ones(6), v)
temp2: f64 = _kelvo.guillot(np.ones(6), v, v)
temp3: f64 = _kelvo.isothermal(v, 3)
EOF
(cd "$work" && "$py" -m mypy --strict --no-incremental --config-file "$work/mypy.ini" use_exokern.py)
echo "=== stubtest: pyright on the same calls ==="
(cd "$work" && "$work/venv/bin/pyright" --pythonpath "$py" use_exokern.py)
echo "=== stubtest: mypy --strict -p exokern, every extra installed ==="
(cd "$work" && "$py" -m mypy --strict --no-incremental --config-file "$work/mypy.ini" -p exokern)
echo "=== stubtest: mypy --strict -p exokern, no extra installed ==="
fresh_venv "$work/venv-bare"
bare="$work/venv-bare/bin/python"
"$bare" -m pip install -q "numpy>=2" mypy "tqdm>=4.60"
# The same build as a wheel (the build folder is reused), installed without its extras.
(cd "$root" && "$py" -m pip wheel -q --no-deps --no-build-isolation -w "$work/wheel" . \
    -Cbuild-dir="$work/build")
"$bare" -m pip install -q --no-deps "$work"/wheel/exokern-*.whl
(cd "$work" && "$bare" -m mypy --strict --no-incremental --config-file "$work/mypy.ini" -p exokern)
echo "=== stubtest: passed in $((SECONDS - start)) s ==="
