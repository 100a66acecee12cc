"""Every output of exokern for a fixed set of runs, to compare two builds bit for bit.

    python tools/outputs.py write DIR          # run the cases with the installed exokern
    python tools/outputs.py compare OLD NEW    # every array and file equal, bit for bit

The cases go through interfaces that callers and stored files rely on: `ForwardModel.spectrum`,
the three commands as a user types them, and what they write (the spectrum command's archives
and figures, a grid store's arrays and attributes, a seeded retrieval's archive, its injected
data and figures). A change that should not change any number (a refactoring) is checked by
writing DIR with the build before it and with the build after it, in two environments, and
comparing. The commands' summaries are compared line by line with their timings left out.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
from typing import Any

import numpy as np

RJ = 7.1492e9
MODEL_CASES: list[tuple[str, dict[str, Any], dict[str, Any]]] = [
    (geometry, static, params)
    for geometry in ("emission", "transmission", "both")
    for static in (dict(layers=40, resolution=2000.0, angles=4), {})
    for params in ({}, dict(tirr=1400.0, na=0.5, k=-0.3, rplanet=1.3 * RJ),
                   dict(isothermal=1500.0, kappa=0.01, gravity=1e4),
                   dict(logkappa=-2.0, logg1=-1.0, logg2=-0.5, alpha=0.3, tint=300.0,
                        pref=1.0, rstar=8e10))
]

SPECTRUM_RUNS = {
    "default": [],
    "both": ["--geometry", "both", "--layers", "60", "--resolution", "5000", "--angles", "3"],
    "transmission": ["--geometry", "transmission", "--isothermal", "1500", "--rplanet", "1.3",
                     "--rstar", "0.9", "--pref", "1", "--na", "0.5", "--k", "-1"],
    "profile": ["--params", "-1.5", "0.5", "0.5", "0.5", "1200", "100", "--tint", "250",
                "--kappa", "0.003", "--gravity", "3000", "--wn-min", "12000", "--wn-max",
                "18000"],
}

GRID_RUNS = {
    "axes": ["--axis", "tirr=800:2000:3", "--axis", "na=-1,0,1000", "--geometry", "both",
             "--layers", "30", "--resolution", "1000", "--set", "k=0.5"],
    "log": ["--axis", "kappa=1e-3:1e-1:3:log", "--geometry", "transmission", "--set",
            "rplanet=8e9"],
}

RETRIEVAL_SMALL = ["--layers", "30", "--resolution", "500", "--live", "40", "--dlogz", "1",
                   "--seed", "5", "--batch", "4", "--free", "isothermal=uniform:800:2000",
                   "--free", "logkappa=uniform:-5:-1",
                   "--free", f"rplanet=uniform:{0.95 * RJ}:{1.05 * RJ}"]
RETRIEVAL_RUNS = {
    "small": RETRIEVAL_SMALL,
    "scaled": RETRIEVAL_SMALL + ["--free", "error_scale=uniform:0.5:2", "--set", "na=0.3",
                                 "--method", "rwalk", "--noise", "60"],
    "default": ["--max-calls", "4000"],
}

# Summary lines that hold times or rates, which differ from run to run.
TIMING = re.compile(r"(\d+\.\d+ s\b|calls/s|spectra per second|time  )")


def run(cmd: list[str], cwd: str) -> str:
    env = dict(os.environ, MPLBACKEND="Agg")
    done = subprocess.run([sys.executable, "-m", *cmd], cwd=cwd, capture_output=True,
                          text=True, env=env, timeout=1800)
    if done.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(cmd)} failed ({done.returncode}):\n{done.stderr}")
    return done.stdout


def save_npz_copy(src: str, dest: str) -> None:
    with np.load(src) as data:
        np.savez(dest, **{k: data[k] for k in data.files})


def write(folder: str) -> None:
    from exokern.model import ForwardModel

    os.makedirs(folder)
    arrays: dict[str, Any] = {}
    for k, (geometry, static, params) in enumerate(MODEL_CASES):
        model = ForwardModel(geometry, **static)
        for name, values in model.spectrum(**params).items():
            arrays[f"{k}-{geometry}-{name}"] = values
    np.savez(os.path.join(folder, "model.npz"), **arrays)

    summaries: dict[str, str] = {}
    # The radii's options name their unit in builds that have them.
    named = "--rplanet-rjup" in run(["exokern.spectrum", "--help"], folder)
    for label, args in SPECTRUM_RUNS.items():
        if named:
            args = [{"--rplanet": "--rplanet-rjup", "--rstar": "--rstar-rsun"}.get(a, a)
                    for a in args]
        out = os.path.join(folder, f"spectrum-{label}")
        summaries[f"spectrum {label}"] = run(["exokern.spectrum", *args, "--output", out], folder)
    for label, args in GRID_RUNS.items():
        store = os.path.join(folder, f"grid-{label}.zarr")
        summaries[f"grid {label}"] = run(["exokern.grid", store, *args, "--workers", "1"],
                                         folder)
        dump_store(store, os.path.join(folder, f"grid-{label}.npz"))
    for label, args in RETRIEVAL_RUNS.items():
        out = os.path.join(folder, f"retrieval-{label}")
        summaries[f"retrieval {label}"] = run(["exokern.retrieval", *args, "--workers", "1",
                                               "--output", out], folder)
    with open(os.path.join(folder, "summaries.json"), "w") as stream:
        json.dump(summaries, stream, indent=1)


def dump_store(store: str, dest: str) -> None:
    """The arrays and attributes of a zarr store, read with zarr alone."""
    import zarr

    group = zarr.open_group(store, mode="r")
    arrays = {name: np.asarray(array[...]) for name, array in group.arrays()}
    arrays = {k: (np.array(v.tolist(), dtype=str) if v.dtype.kind in "OT" else v)
              for k, v in arrays.items()}
    # The history holds each run's time and command line, which differ from build to build.
    attrs = {k: v for k, v in group.attrs.items() if k != "history"}
    arrays["attrs"] = np.array(json.dumps(attrs, sort_keys=True))
    np.savez(dest, **arrays)


def files_under(folder: str) -> list[str]:
    found = []
    for parent, _, names in os.walk(folder):
        if parent.endswith(".zarr") or ".zarr" + os.sep in parent:
            continue
        found += [os.path.relpath(os.path.join(parent, n), folder) for n in names]
    return sorted(found)


def compare(old: str, new: str) -> int:
    problems = []
    old_files, new_files = files_under(old), files_under(new)
    if old_files != new_files:
        problems.append(f"files differ: only old {sorted(set(old_files) - set(new_files))}, "
                        f"only new {sorted(set(new_files) - set(old_files))}")
    same = 0
    for rel in sorted(set(old_files) & set(new_files)):
        a, b = os.path.join(old, rel), os.path.join(new, rel)
        if rel.endswith(".npz"):
            with np.load(a) as x, np.load(b) as y:
                if sorted(x.files) != sorted(y.files):
                    problems.append(f"{rel}: keys {sorted(x.files)} against {sorted(y.files)}")
                for key in sorted(set(x.files) & set(y.files)):
                    u, v = x[key], y[key]
                    if u.dtype != v.dtype or u.shape != v.shape or u.tobytes() != v.tobytes():
                        problems.append(f"{rel}[{key}]: differs")
                    else:
                        same += 1
        elif rel == "summaries.json":
            with open(a) as x, open(b) as y:
                sa, sb = json.load(x), json.load(y)
            for run_label in sorted(set(sa) | set(sb)):
                la = [s for s in sa.get(run_label, "").splitlines() if not TIMING.search(s)]
                lb = [s for s in sb.get(run_label, "").splitlines() if not TIMING.search(s)]
                la = [s.replace(old, "DIR") for s in la]
                lb = [s.replace(new, "DIR") for s in lb]
                if la != lb:
                    diff = [f"    - {p}\n    + {q}" for p, q in zip(la, lb) if p != q]
                    problems.append(f"summary of {run_label}:\n" + "\n".join(diff))
        else:
            with open(a, "rb") as x, open(b, "rb") as y:
                if x.read() != y.read():
                    problems.append(f"{rel}: bytes differ")
                else:
                    same += 1
    for line in problems:
        print(line)
    print(f"{same} arrays and files identical, {len(problems)} differences")
    return 1 if problems else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    sub.add_parser("write").add_argument("folder")
    cmp = sub.add_parser("compare")
    cmp.add_argument("old")
    cmp.add_argument("new")
    args = parser.parse_args()
    if args.what == "write":
        write(os.path.abspath(args.folder))
        return 0
    return compare(os.path.abspath(args.old), os.path.abspath(args.new))


if __name__ == "__main__":
    raise SystemExit(main())
