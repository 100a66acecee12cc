#!/usr/bin/env bash
# CI: package exokern and prove the packages complete.
#   1. `python -m build` makes the sdist, and the wheel from that sdist;
#   2. the wheel carries the four extension modules, their .pyi stubs, py.typed and the public
#      C header exokern/include/exokern/exokern.h;
#   3. the sdist is installed into a fresh virtual environment and the test suite that the
#      sdist itself carries passes there, run from the unpacked sdist, not from this clone.
# Usage: bash .ci/sdist.sh
source "$(dirname "$0")/common.sh"

echo "=== sdist: python -m build ==="
fresh_venv "$work/venv-build"
"$work/venv-build/bin/python" -m pip install -q build
# The build log is shown only when the build fails.
if ! "$work/venv-build/bin/python" -m build --outdir "$work/dist" "$root" > "$work/build.log" 2>&1
then
    cat "$work/build.log"
    echo "sdist: python -m build failed" >&2
    exit 1
fi
sdists=("$work"/dist/exokern-*.tar.gz)
wheels=("$work"/dist/exokern-*.whl)
if [[ ${#sdists[@]} -ne 1 || ! -f "${sdists[0]}" || ${#wheels[@]} -ne 1 || ! -f "${wheels[0]}" ]]
then
    echo "sdist: expected one sdist and one wheel in dist/, got: $(ls "$work/dist")" >&2
    exit 1
fi
sdist=${sdists[0]}
wheel=${wheels[0]}
echo "built $(basename "$sdist") and $(basename "$wheel")"
tar -tzf "$sdist" > "$work/sdist-files"  # listed first: grep -q would cut a pipe short
if ! grep -qE '^exokern-[^/]+/LICENSE$' "$work/sdist-files"; then
    echo "sdist: $(basename "$sdist") lacks LICENSE" >&2
    exit 1
fi
if [[ "$(basename "$wheel")" != *-cp39-abi3-* ]]; then
    echo "sdist: the wheel is not the cp39-abi3 wheel: $(basename "$wheel")" >&2
    exit 1
fi

echo "=== sdist: contents of the wheel ==="
python3 - "$wheel" <<'EOF'
import re
import sys
import zipfile

names = set(zipfile.ZipFile(sys.argv[1]).namelist())
modules = ["_quadra", "_alkali", "_simpson", "_kelvo", "_opacity", "_forward"]
required = ["exokern/__init__.py", "exokern/py.typed", "exokern/include/exokern/exokern.h"]
required += [n for n in names if n.endswith(".dist-info/licenses/LICENSE")] or ["LICENSE"]
required += [f"exokern/{m}.pyi" for m in modules]
missing = [n for n in required if n not in names]
for m in modules:
    if not any(re.fullmatch(rf"exokern/{m}\.[^/]*\.so|exokern/{m}\.pyd", n) for n in names):
        missing.append(f"exokern/{m}.<abi>.so")
for n in sorted(names):
    print("   ", n)
if missing:
    sys.exit("sdist: the wheel lacks " + ", ".join(missing))
print("wheel carries the modules, stubs, py.typed and exokern.h")
EOF

echo "=== sdist: tracked files that the sdist leaves out (for information) ==="
if git -C "$root" rev-parse --git-dir > /dev/null 2>&1; then
    top=$(basename "$sdist" .tar.gz)
    tar -tzf "$sdist" | sed "s|^$top/||" | sort > "$work/in-sdist"
    git -C "$root" ls-files | sort > "$work/tracked"
    comm -23 "$work/tracked" "$work/in-sdist" | sed 's/^/    /'
fi

echo "=== sdist: install the sdist into a fresh virtual environment ==="
fresh_venv "$work/venv-test"
py="$work/venv-test/bin/python"
"$py" -m pip install -q "${sdist}[test]"
mkdir "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
src=$(echo "$work"/unpacked/exokern-*)
# The installed package must be the one under test, with its header where get_include() says.
(cd "$work" && "$py" - <<'EOF'
import os
import exokern, exokern._quadra, exokern._alkali, exokern._simpson, exokern._kelvo, exokern._opacity, exokern._forward
site = os.path.dirname(exokern.__file__)
assert "site-packages" in site, site
header = os.path.join(exokern.get_include(), "exokern", "exokern.h")
assert os.path.isfile(header), header
assert os.path.isfile(os.path.join(site, "py.typed"))
print("installed from the sdist:", site)
EOF
)
echo "=== sdist: the sdist's own tests against the installed package ==="
# Run from the unpacked sdist: its tests and data files are the ones under test. Its src/
# folder is not on sys.path, so `import exokern` finds the installed package.
(cd "$src" && "$py" -m pytest -q -p no:cacheprovider)
echo "=== sdist: passed in $((SECONDS - start)) s ==="
