# Sourced by the CI scripts: work from the clone's root, with a scratch folder that is removed
# on exit, and a helper for fresh virtual environments.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[1]}")/.."
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$SECONDS

# fresh_venv DIR: a new virtual environment in DIR with a current pip.
fresh_venv() {
    python3 -m venv "$1"
    "$1/bin/python" -m pip install -q --upgrade pip
}
