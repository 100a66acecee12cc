"""The registry of parameters and settings, and what is made of it: the model's checks, every
command's options and help, the model's wire format, the README's table; and the direction of
the package's imports."""

import ast
import inspect
import json
import pathlib
import pickle
import shutil
import signal
import subprocess

import numpy as np
import pytest

import exokern
from exokern import engines
from exokern import params as registry
from exokern.cli import grid as grid_cli
from exokern.cli import retrieve, spectrum
from exokern.model import ForwardModel
from exokern.opacity import alkali

PACKAGE = pathlib.Path(exokern.__file__).parent
README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


# ---- the registry and the model agree -------------------------------------------------------

def test_the_model_takes_its_static_choices_and_defaults_from_the_registry():
    signature = inspect.signature(ForwardModel.__init__).parameters
    for setting in registry.MODEL_SETTINGS:
        assert signature[setting.name].default == setting.default, setting.name
    model = ForwardModel()
    assert model.static == registry.model_defaults()
    assert model.defaults == {p.name: p.default for p in registry.MODEL_PARAMETERS.values()}


@pytest.mark.parametrize("parameter", list(registry.MODEL_PARAMETERS.values()),
                         ids=lambda p: p.name)
def test_every_parameter_checks_its_own_default_and_a_value_off_its_range(parameter):
    assert parameter.check(parameter.default) == parameter.default
    b = parameter.bounds
    bad = (b.minimum - 1.0 if b.minimum is not None else
           b.maximum + 1.0 if b.maximum is not None else float("nan"))
    with pytest.raises(ValueError, match=f"^{parameter.name} "):
        parameter.check(bad)
    with pytest.raises(ValueError, match=f"^{parameter.name} "):
        ForwardModel("emission", layers=10, resolution=100.0)(**{parameter.name: bad})


def test_the_alkali_abundances_are_a_family_over_the_atoms():
    one = registry.parameters_for(atoms=(alkali.SODIUM,))
    assert "na" in one and "k" not in one
    assert one["na"].bounds.maximum == alkali.max_dex(alkali.SODIUM)
    with pytest.raises(ValueError, match="unknown parameter 'k'"):
        one.lookup("k")


# ---- every way in is checked by the same code -----------------------------------------------

def _error(main, args, capsys):
    with pytest.raises(SystemExit) as exit_:
        main(args)
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and err.count("\n") == 1, err
    return err


def _command_args(command, name, value, tmp_path):
    """The command and its arguments that set parameter `name` to `value`."""
    if command == "spectrum":
        return spectrum.main, [f"--{name}", value, "--output", str(tmp_path)]
    if command == "grid":
        pytest.importorskip("distributed")
        pytest.importorskip("xarray")
        return grid_cli.main, [str(tmp_path / "g.zarr"), "--axis", "logg1=-1,0", "--set",
                               f"{name}={value}"]
    pytest.importorskip("dynesty")
    return retrieve.main, ["--free", "logg1=uniform:-1:0", "--set", f"{name}={value}",
                           "--output", str(tmp_path / "r")]


@pytest.mark.parametrize("command", ["model", "spectrum", "grid", "retrieve"])
@pytest.mark.parametrize("name, value, message", [
    ("gravity", "-1", "gravity must be positive, got -1"),
    ("tint", "-5", "tint must not be negative, got -5"),
    ("na", "9", "na = 9 dex puts more Na atoms than gas particles"),
    ("pref", "nan", "pref must be finite, got nan"),
])
def test_a_parameter_is_refused_alike_everywhere(command, name, value, message, capsys,
                                                  tmp_path):
    if command == "model":
        with pytest.raises(ValueError, match=message):
            ForwardModel("transmission", layers=10, resolution=100.0)(**{name: float(value)})
        return
    main, args = _command_args(command, name, value, tmp_path)
    assert message in _error(main, args, capsys)
    assert not any(tmp_path.iterdir())  # refused before anything was written


@pytest.mark.parametrize("name, value, message", [
    ("layers", 1, "layers must be at least 2, got 1"),
    ("angles", 201, "angles must be at most 200, got 201"),
    ("resolution", -3.0, "resolution must be positive, got -3"),
])
def test_a_setting_is_refused_alike_in_python_options_and_configuration(
        name, value, message, capsys, tmp_path):
    with pytest.raises(ValueError, match=message):
        ForwardModel(**{name: value})
    assert message in _error(spectrum.main, [f"--{name}", str(value)], capsys)
    pytest.importorskip("dynesty")
    assert message in _error(retrieve.main, [f"--{name}", str(value)], capsys)
    config = tmp_path / "run.toml"
    config.write_text(f"[model]\n{name} = {value}\n")
    assert message in _error(retrieve.main, ["--config", str(config)], capsys)


@pytest.mark.parametrize("main, option, default", [
    (spectrum.build_parser, "--layers", "(default: 100)"),
    (spectrum.build_parser, "--resolution", "(default: 20000)"),
    (spectrum.build_parser, "--gravity", "(default: 2200)"),
    (spectrum.build_parser, "--rplanet-rjup", "(default: 1)"),
    (spectrum.build_parser, "--kappa", "(default: unset, 10^logkappa without tables, 0 with)"),
    (grid_cli.build_parser, "--resolution", "(default: 5000)"),
    (retrieve.build_parser, "--layers", "(default: 50)"),
    (retrieve.build_parser, "--live",
     "(where not given: 100 for nautilus, 60 more a parameter beyond 5, 300 for dynesty)"),
])
def test_help_shows_the_defaults_of_the_registry_or_the_command(main, option, default):
    action = next(a for a in main()._actions if option in a.option_strings)
    assert default in action.help


def test_the_spectrum_command_has_an_option_per_parameter():
    parser = spectrum.build_parser()
    names = {a.dest for a in parser._actions}
    assert set(registry.MODEL_PARAMETERS) <= names
    args = parser.parse_args(["--params", "-1", "-0.5", "-0.5", "0.3", "900", "50", "--tint",
                              "120", "--rstar-rsun", "2"])
    args.molecule_names = []
    assert spectrum._params(args) == dict(logkappa=-1.0, logg1=-0.5, logg2=-0.5, alpha=0.3,
                                          tirr=900.0, tint=120.0, rstar=2 * registry.atm.R_SUN)


def test_the_readme_table_is_the_registry():
    if not README.exists():
        pytest.skip("README.md is not beside the tests")
    assert registry.table() in README.read_text()


# ---- the wire format -------------------------------------------------------------------------

def test_a_description_is_json_and_makes_the_same_model():
    model = ForwardModel("both", layers=20, resolution=500.0, angles=3, wn_min=12000.0)
    model.defaults["na"] = 0.7
    text = json.dumps(model.describe())
    again = ForwardModel.from_description(text)
    assert again == model and again.defaults == model.defaults
    for name, values in model.spectrum(tirr=1500.0).items():
        assert np.array_equal(values, again.spectrum(tirr=1500.0)[name]), name
    assert pickle.loads(pickle.dumps(model)).defaults["na"] == 0.7
    bad = dict(model.describe(), defaults={"na": 99.0})
    with pytest.raises(ValueError, match="more Na atoms"):
        ForwardModel.from_description(bad)


@pytest.mark.parametrize("geometry, missing", [("emission", "transmission"),
                                               ("transmission", "emission")])
def test_a_result_holds_the_parts_of_its_geometry(geometry, missing):
    res = ForwardModel(geometry, layers=10, resolution=100.0)()
    assert list(res.outputs()) == list(ForwardModel(geometry).outputs)
    getattr(res, geometry)
    with pytest.raises(ValueError, match=f"computes no {missing} spectrum"):
        getattr(res, missing)


def test_the_worker_cache_builds_once_and_keeps_the_last_few():
    built = []

    def build(text):
        built.append(text)
        return [text]

    first = engines.cached("test", "a", build)
    assert engines.cached("test", "a", build) is first and built == ["a"]
    for k in range(engines.CACHE_SIZE):
        engines.cached("test", f"b{k}", build)
    engines.cached("test", "a", build)  # pushed out by the others: built again
    assert built.count("a") == 2


@pytest.mark.parametrize("urgent", [False, True])
def test_held_interrupts_wait_for_the_end_of_the_block(urgent):
    reached = []
    with pytest.raises(KeyboardInterrupt):
        with engines.HeldInterrupts(urgent=urgent) as held:
            signal.raise_signal(signal.SIGINT)
            reached.append("after one")
            if urgent:
                signal.raise_signal(signal.SIGINT)  # a second one interrupts at once
            reached.append("after two")
    assert reached == (["after one"] if urgent else ["after one", "after two"])
    assert held.pending


def _file_units():
    entries = (list(registry.parameters_for(molecules=["H2O"]).values())
               + [registry.ERROR_SCALE] + list(registry.QUANTITIES.values())
               + [s for s in registry.MODEL_SETTINGS + registry.RETRIEVAL_SETTINGS if s.unit])
    return sorted({registry.cf_attributes(e)["units"] for e in entries})


@pytest.mark.skipif(shutil.which("udunits2") is None, reason="udunits2 (udunits-bin) is missing")
@pytest.mark.parametrize("unit", _file_units())
def test_every_unit_of_the_files_is_one_udunits_knows(unit):
    # UDUNITS itself, not a list of ours: what a CF reader of the stores and netCDF files reads.
    done = subprocess.run(["udunits2", "-W", ""], input=f"{unit}\n\n", capture_output=True,
                          text=True, timeout=30)
    assert "recognize" not in done.stdout + done.stderr, done.stdout + done.stderr


# ---- the direction of the imports ------------------------------------------------------------

# Each layer may import the layers below it, never one above or beside it.
LAYERS = [
    {"cli"},
    {"grid", "retrieval"},
    {"engines"},
    {"model"},
    {"params", "result"},
    {"opacity"},  # the sources of extinction
    {"lines", "transmission", "chemistry"},  # the physics, over the kernels
    {"radiation"},
    {"atmosphere", "errors"},
]


def _part(name):
    """The top-level part of exokern a module name belongs to (None: outside exokern)."""
    parts = name.split(".")
    return parts[1] if parts[0] == "exokern" and len(parts) > 1 else None


def _imports(path):
    tree = ast.parse(path.read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            yield node.module
            if node.module == "exokern":
                yield from (f"exokern.{alias.name}" for alias in node.names)


def test_imports_go_down_the_layers_only():
    rank = {part: k for k, layer in enumerate(LAYERS) for part in layer}
    for path in PACKAGE.rglob("*.py"):
        if path.name == "__main__.py" or path == PACKAGE / "spectrum.py":
            continue  # the entry points of python -m run the commands
        own = path.relative_to(PACKAGE).parts[0].removesuffix(".py")
        if own not in rank:
            continue
        for name in _imports(path):
            part = _part(name)
            if part is None or part == own or part.startswith("_"):
                continue
            assert rank.get(part, len(LAYERS)) > rank[own], f"{path.name} imports {name}"
