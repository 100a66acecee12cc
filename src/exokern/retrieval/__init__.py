"""Retrievals: the posterior of the forward model's parameters and the Bayesian evidence,
given an observed spectrum, by nested sampling on a pool of any engine.

    >>> from exokern import engines
    >>> from exokern.model import ForwardModel
    >>> from exokern.retrieval import Likelihood, Prior, Priors, read_spectrum, sample
    >>> data = read_spectrum("spectrum.csv")
    >>> model = ForwardModel("transmission", layers=50, resolution=1000.0)
    >>> priors = Priors([Prior("isothermal", "uniform", 700.0, 2500.0),
    ...                  Prior("kappa", "log-uniform", 1e-6, 1e-1)])
    >>> like = Likelihood(model, data, priors.names)
    >>> with engines.processes(2) as pool:
    ...     posterior = sample(like, priors, pool, live=300, seed=1)

- `data`: the observed spectrum (`read_spectrum`, `Observation`) and the model averaged over
  its bins (`Binning`);
- `priors`: the free parameters' priors (`Prior`, `Priors`) and the checks of the parameters;
- `likelihood`: the Gaussian likelihood (`Likelihood`) and synthetic data (`inject`);
- `problem`: a whole problem made from a retrieval's settings (`make_problem`), and the
  default injection-recovery problem (`default_problem`);
- `sampler`: nested sampling (`sample`, giving a `Posterior`) and the posterior's spectra
  (`bands`);
- `results`: the archive's arrays and the summary of a run.

The engines (`exokern.engines`: `serial`, `processes`, `mpi`, `dask`) give the pools. The
command is `exokern-retrieve` (`python -m exokern.retrieval`). It needs the `retrieval` extra
(nautilus, dynesty); MPI needs the `mpi` extra, dask the `grid` extra.
"""

from exokern.retrieval.binning import Binning
from exokern.retrieval.columns import DataError
from exokern.retrieval.data import Observation, read_spectrum
from exokern.retrieval.likelihood import Likelihood, inject
from exokern.retrieval.priors import ERROR_SCALE, Prior, Priors
from exokern.retrieval.problem import Problem, default_problem, make_problem
from exokern.retrieval.sampler import Posterior, bands, sample

__all__ = ["Binning", "DataError", "ERROR_SCALE", "Likelihood", "Observation", "Posterior",
           "Prior", "Priors", "Problem", "bands", "default_problem", "inject", "make_problem",
           "read_spectrum", "sample"]
