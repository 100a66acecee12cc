"""Retrievals: the posterior of the forward model's parameters and the Bayesian evidence,
given an observed spectrum, by nested sampling on a pool of any engine.

    >>> from exokern.model import ForwardModel
    >>> from exokern.retrieval import Likelihood, Prior, Priors, pools, read_spectrum, sample
    >>> data = read_spectrum("spectrum.csv")
    >>> model = ForwardModel("transmission", layers=50, resolution=1000.0)
    >>> priors = Priors([Prior("isothermal", "uniform", 700.0, 2500.0),
    ...                  Prior("kappa", "log-uniform", 1e-6, 1e-1)])
    >>> like = Likelihood(model, data, priors.names)
    >>> with pools.processes(2) as pool:
    ...     posterior = sample(like, priors, pool, live=300, seed=1)

- `data`: the observed spectrum (`read_spectrum`, `Observation`) and the model averaged over
  its bins (`Binning`);
- `likelihood`: priors (`Prior`, `Priors`) and the Gaussian likelihood (`Likelihood`);
- `pools`: the engines (`serial`, `processes`, `mpi`, `dask`) behind one ordered `map`;
- `sampler`: nested sampling (`sample`, giving a `Posterior`) and the posterior's spectra
  (`bands`);
- `command`: the program `exokern-retrieve` (`python -m exokern.retrieval`).

It needs the `retrieval` extra (dynesty); MPI needs the `mpi` extra, dask the `grid` extra.
"""

from exokern.retrieval import pools
from exokern.retrieval.data import Binning, DataError, Observation, read_spectrum
from exokern.retrieval.likelihood import ERROR_SCALE, Likelihood, Prior, Priors, inject
from exokern.retrieval.sampler import Posterior, bands, sample

__all__ = ["Binning", "DataError", "ERROR_SCALE", "Likelihood", "Observation", "Posterior",
           "Prior", "Priors", "bands", "inject", "pools", "read_spectrum", "sample"]
