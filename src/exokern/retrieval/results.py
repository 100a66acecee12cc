"""What a retrieval gives: the arrays of its archive (retrieval.npz), the posterior as an ArviZ
InferenceData in netCDF (retrieval.nc) and its one-screen summary."""

from __future__ import annotations

import datetime
import io
import json
import math
from typing import Any, Mapping, Sequence

import numpy as np
import numpy.typing as npt

from exokern import __version__
from exokern import params as registry
from exokern.errors import require
from exokern.retrieval.likelihood import OBSERVABLES
from exokern.retrieval.priors import ERROR_SCALE, Prior
from exokern.retrieval.problem import Problem
from exokern.retrieval.sampler import Draws, Posterior

Array = npt.NDArray[np.float64]

# The quantiles of a summary and an archive: the median, 1 sigma (68 %) and 2 sigma (95 %).
MEDIAN, SIGMA1, SIGMA2 = 0.5, (0.15865, 0.84135), (0.02275, 0.97725)


def _strength(ln_b: float) -> str:
    """The usual reading of a Bayes factor (Trotta 2008, Contemp. Phys. 49, 71)."""
    if ln_b < 0:
        return "the simpler model is favoured"
    for limit, words in ((1.0, "inconclusive"), (2.5, "weak evidence"),
                         (5.0, "moderate evidence")):
        if ln_b < limit:
            return words
    return "strong evidence"


def _fmt(x: float) -> str:
    return f"{x:.4g}" if abs(x) < 1e5 else f"{x:.4e}"


def _sampler_line(s: Mapping[str, Any], post: Posterior) -> str:
    if post.info.get("sampler") == "nautilus":
        return (f"nautilus, {post.info['live']} live points, {s['effective']} effective samples "
                f"({post.info['effective_samples']:.0f} drawn), seed {s['seed']}")
    return (f"dynesty, {post.info['live']} live points, dlogz {s['dlogz']:g}, seed {s['seed']}, "
            f"batch {s['batch']}, {s['method']}")


def bayes_factor(post: Posterior, nested: Posterior) -> tuple[float, float]:
    """ln B of a run against the run of its nested model, and its error (the evidences' errors
    added in quadrature)."""
    return post.logz - nested.logz, math.hypot(post.logzerr, nested.logzerr)


def summary(problem: Problem, post: Posterior, files: Sequence[str], note: str,
            compared: Sequence[tuple[str, Posterior]] = ()) -> str:
    """One screen: the run, each parameter's median and 68 % interval, the evidence (and its
    Bayes factor against each model `compared`, one free parameter fewer) and the cost."""
    s = problem.settings
    q = post.quantiles([MEDIAN, *SIGMA1, *SIGMA2])
    data = problem.data
    out = [
        f"exokern {__version__}: {s['geometry']} retrieval of {data.source} ({len(data)} bins, "
        f"{data.low.min():.3f} .. {data.high.max():.3f} micron)",
        *(f"  data       {n}" for n in data.notes),
        f"  model      {s['layers']} layers, {len(problem.model.wn)} wavenumbers (R = "
        f"{s['resolution']:g})" + ("; fixed: " + ", ".join(f"{k} = {v:g}" for k, v in
                                                           problem.fixed.items())
                                   if problem.fixed else ""),
        f"  sampler    {_sampler_line(s, post)}"
        + ("; resumed from a checkpoint" if post.info.get("resumed") else ""),
        f"  engine     {post.info['engine']}",
        f"  {'parameter':<11}{'median':>12}   {'68 % interval':<26}{'prior':<36}"
        + ("truth" if problem.truths else ""),
    ]
    for k, name in enumerate(post.names):
        interval = f"[{_fmt(q[1, k])}, {_fmt(q[2, k])}]"
        truth = problem.truths.get(name)
        mark = ""
        if truth is not None:
            mark = f"{_fmt(truth)}" + ("" if q[3, k] <= truth <= q[4, k] else
                                       "  (outside 95 %)")
        prior = problem.priors.priors[k]
        bounds = f"{prior.kind} {_fmt(prior.low)} .. {_fmt(prior.high)}"
        out.append(f"  {name:<11}{_fmt(q[0, k]):>12}   {interval:<26}{bounds:<36}{mark}")
    best = int(np.argmax(post.logl))
    residual = (data.value - problem.likelihood.binned(post.samples[best])) / data.error
    out += [
        f"  evidence   ln Z = {post.logz:.3f} +- {post.logzerr:.3f}; best ln L = "
        f"{post.logl[best]:.3f}, chi^2 = {float(np.sum(residual ** 2)):.1f} for {len(data)} "
        "bins",
    ]
    for name, nested in compared:
        ln_b, err = bayes_factor(post, nested)
        out.append(f"  without    {name}: ln Z = {nested.logz:.3f} +- {nested.logzerr:.3f}; "
                   f"ln B = {ln_b:.2f} +- {err:.2f} for {name} ({_strength(ln_b)})")
    out += [
        f"  cost       {post.calls} likelihood calls, {post.iterations} iterations; "
        f"{post.calls_here} calls in {post.seconds:.1f} s = {post.calls_per_second:.0f} "
        "calls/s",
    ]
    out += [f"  wrote      {f}" for f in files]
    if note:
        out.append(f"  note       {note}")
    return "\n".join(out)


def arrays(problem: Problem, post: Posterior, band: Mapping[str, Any],
           compared: Sequence[tuple[str, Posterior]] = ()) -> dict[str, Any]:
    """What retrieval.npz holds: the weighted samples, the evidence, the quantiles, the data,
    the fixed values and priors, the model's bands, and the evidence of each nested model
    compared."""
    s = problem.settings
    found: dict[str, Any] = dict(
        names=np.array(post.names), samples=post.samples, weights=post.weights, logl=post.logl,
        logz=post.logz, logzerr=post.logzerr, calls=post.calls,
        quantiles=post.quantiles([SIGMA2[0], SIGMA1[0], MEDIAN, SIGMA1[1], SIGMA2[1]]),
        data_low=problem.data.low, data_high=problem.data.high, data_value=problem.data.value,
        data_error=problem.data.error, wn=problem.model.wn,
        wavelength=problem.model.wavelength,
        fixed_names=np.array(list(problem.fixed), dtype=str),
        fixed_values=np.array(list(problem.fixed.values()), dtype=float),
        priors=np.array([f"{p.name}: {p}" for p in problem.priors.priors]),
        geometry=s["geometry"], seed=s["seed"], live=post.info["live"],
        sampler=post.info.get("sampler", "dynesty"), version=__version__)
    if problem.truths:
        found["truths"] = np.array([problem.truths.get(n, np.nan) for n in post.names])
    found.update(band)
    if compared:
        found["compared"] = np.array([name for name, _ in compared])
        found["compared_logz"] = np.array([nested.logz for _, nested in compared])
        found["compared_logzerr"] = np.array([nested.logzerr for _, nested in compared])
    return found


# ---- the posterior as an ArviZ InferenceData (netCDF 4) -----------------------------------

# The observed variable's name in the groups that ArviZ matches by name.
OBSERVED = "spectrum"


def _ln_prior(prior: Prior, x: Array) -> Array:
    """ln of the prior density at x (inside its bounds)."""
    if prior.kind == "uniform":
        return np.full(len(x), -math.log(prior.high - prior.low))
    result: Array = -np.log(x) - math.log(math.log(prior.high / prior.low))
    return result


def inference_data(problem: Problem, post: Posterior, drawn: Draws) -> bytes:
    """The retrieval as an ArviZ InferenceData in a netCDF 4 file (h5netcdf): the groups
    `posterior` (the equal-weight draws, a variable per parameter with `units` and
    `long_name` from the registry), `log_likelihood` (each bin's ln L per draw),
    `posterior_predictive` (the binned model per draw), `observed_data` and `constant_data`
    (the data, their bins and errors) and `sample_stats` (each draw's total ln L and ln
    posterior); the evidence, the sampler and its settings in the root's attributes."""
    h5netcdf = require("h5netcdf", "retrieval", "the netCDF posterior (retrieval.nc)")
    like, data = problem.likelihood, problem.data
    n, bins = len(drawn.thetas), len(data)
    observable = OBSERVABLES[problem.settings["geometry"]]
    pointwise = np.array([like.pointwise(model, like.scale_of(theta))
                          for theta, model in zip(drawn.thetas, drawn.binned)])
    total = np.array([math.fsum(row) for row in pointwise])
    lp = total + np.sum([_ln_prior(p, drawn.thetas[:, k])
                         for k, p in enumerate(problem.priors.priors)], axis=0)
    known = dict(problem.model.parameter_set)
    known[ERROR_SCALE] = registry.ERROR_SCALE
    s = problem.settings
    buffer = io.BytesIO()
    with h5netcdf.File(buffer, "w") as f:
        f.attrs.update({
            "created_at": datetime.datetime.now(datetime.timezone.utc).isoformat(),
            "inference_library": post.info.get("sampler", "dynesty"),
            "creator": f"exokern {__version__}",
            "log_evidence": post.logz, "log_evidence_error": post.logzerr,
            "likelihood_calls": post.calls, "live_points": post.info["live"], "seed": s["seed"],
            "data_source": data.source,
            "fixed": json.dumps(problem.fixed, sort_keys=True),
            "priors": json.dumps({p.name: str(p) for p in problem.priors.priors}),
            "model": json.dumps(problem.model.describe(), sort_keys=True)})

        def group(name: str, dims: dict[str, int]) -> Any:
            g = f.create_group(name)
            g.dimensions = dims
            for dim, size in dims.items():
                g.create_variable(dim, (dim,), data=np.arange(size))
            return g

        g = group("posterior", {"chain": 1, "draw": n})
        for k, name in enumerate(post.names):
            v = g.create_variable(name, ("chain", "draw"), data=drawn.thetas[None, :, k])
            v.attrs.update({"units": known[name].unit, "long_name": known[name].description,
                            "prior": str(problem.priors.priors[k])})
        per_bin = {"chain": 1, "draw": n, "bin": bins}
        g = group("log_likelihood", per_bin)
        v = g.create_variable(OBSERVED, ("chain", "draw", "bin"), data=pointwise[None])
        v.attrs.update({"units": "1", "long_name": f"ln L of each bin's {observable}"})
        g = group("posterior_predictive", per_bin)
        v = g.create_variable(OBSERVED, ("chain", "draw", "bin"), data=drawn.binned[None])
        v.attrs.update({"units": "1", "long_name": f"{observable}, the model over the bin"})
        for name in ("observed_data", "constant_data"):
            g = group(name, {"bin": bins})
            for edge, values in (("wavelength_low", data.low), ("wavelength_high", data.high)):
                v = g.create_variable(edge, ("bin",), data=values)
                v.attrs.update({"units": "um", "long_name": f"{edge[11:]} edge of the bin"})
            if name == "observed_data":
                v = g.create_variable(OBSERVED, ("bin",), data=data.value)
                v.attrs.update({"units": "1", "long_name": observable,
                                "coordinates": "wavelength_low wavelength_high"})
            else:
                v = g.create_variable(f"{OBSERVED}_error", ("bin",), data=data.error)
                v.attrs.update({"units": "1", "long_name": f"1-sigma error of the {observable}",
                                "coordinates": "wavelength_low wavelength_high"})
        g = group("sample_stats", {"chain": 1, "draw": n})
        for name, values, text in (("log_likelihood", total, "ln L of the draw"),
                                   ("lp", lp, "ln L + ln prior of the draw")):
            v = g.create_variable(name, ("chain", "draw"), data=values[None])
            v.attrs.update({"units": "1", "long_name": text})
    return buffer.getvalue()
