"""What tools see of the package: signatures of the C methods, their stubs, the version."""

import ast
import importlib
import importlib.metadata
import inspect
import os

import pytest

import exokern

MODULES = ["_quadra", "_alkali", "_simpson", "_kelvo", "_opacity", "_forward"]


def stub_functions(module):
    path = os.path.join(os.path.dirname(exokern.__file__), f"{module}.pyi")
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("module", MODULES)
def test_every_method_has_the_signature_of_its_stub(module):
    mod = importlib.import_module(f"exokern.{module}")
    stubs = stub_functions(module)
    methods = {n for n in dir(mod) if callable(getattr(mod, n)) and not n.startswith("__")}
    assert methods == set(stubs)
    for name, stub in stubs.items():
        params = list(inspect.signature(getattr(mod, name)).parameters.values())
        assert [p.name for p in params] == [a.arg for a in stub.args.posonlyargs], name
        assert all(p.kind is inspect.Parameter.POSITIONAL_ONLY for p in params), name
        # A parameter with a default in the stub may be left out in a call, and only those.
        optional = len(stub.args.defaults)
        assert [p.default is not inspect.Parameter.empty for p in params] == \
            [False] * (len(params) - optional) + [True] * optional, name
        # The signature line is not part of the docstring users read.
        assert not getattr(mod, name).__doc__.startswith(f"{name}(")


def test_one_version():
    assert exokern.__version__ == importlib.metadata.version("exokern")
