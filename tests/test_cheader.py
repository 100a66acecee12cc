"""The public C header, used as a native caller uses it.

A small C program (and the same source as C++) is compiled against the installed header
(-I exokern.get_include()), loads the installed module files with dlopen, looks the exported
functions up by the names the header declares, calls them through pointers of the declared
types and prints the results; they must be what the same calls give through ctypes.
"""

import ctypes
import math
import os
import shutil
import subprocess
import sysconfig

import pytest

import exokern
from exokern import _kelvo, _quadra
from helpers import flush_c_stdout

SOURCE = r"""
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <exokern/exokern.h>

/* Looks up `name` in `lib` into a pointer of the type the header declares for it. */
#define LOOKUP(lib, name, ptr)                                                 \
    do {                                                                       \
        *(void **)(&(ptr)) = dlsym((lib), #name);                              \
        if ((ptr) == NULL) {                                                   \
            fprintf(stderr, "no symbol %s: %s\n", #name, dlerror());           \
            return 2;                                                          \
        }                                                                      \
    } while (0)

static void *load(const char *path, int flags) {
    void *lib = dlopen(path, flags);
    if (lib == NULL) fprintf(stderr, "dlopen %s: %s\n", path, dlerror());
    return lib;
}

/* argv: libpython (its symbols satisfy the modules' references; "" when not needed), the
 * module file of _kelvo, that of _quadra, then pairs gamma tau for xi. */
int main(int argc, char **argv) {
    __typeof__(xi) *xi_fn;
    __typeof__(msg) *msg_fn;
    void *kelvo, *quadra;
    char buffer[64] = "ab";
    int k;

    if (argc < 4) return 2;
    if (argv[1][0] != '\0' && load(argv[1], RTLD_NOW | RTLD_GLOBAL) == NULL) return 2;
    if ((kelvo = load(argv[2], RTLD_NOW | RTLD_LOCAL)) == NULL) return 2;
    if ((quadra = load(argv[3], RTLD_NOW | RTLD_LOCAL)) == NULL) return 2;
    LOOKUP(kelvo, xi, xi_fn);
    LOOKUP(quadra, msg, msg_fn);

    for (k = 4; k + 1 < argc; k += 2) {
        double gamma = strtod(argv[k], NULL), tau = strtod(argv[k + 1], NULL);
        printf("xi %a\n", xi_fn(gamma, tau));
    }
    printf("msg %d\n", msg_fn(-1, buffer, "silent %d", 1));
    printf("msg %d\n", msg_fn(0, buffer, "[%d %s %.3f]", 42, "ok", 0.5));
    printf("buffer %s\n", buffer);
    return 0;
}
"""

# (gamma, tau): the series, the continued fraction, E2 = 1 at x = 0, E2 = 0 above its limit, a
# domain error (printed, +infinity) and gamma = 0 (NaN).
XI_ARGS = [(1.0, 0.0), (0.5, 1.0), (10**-0.8, 3.0), (2.0, 1e-20), (1.0, 100.0), (1.0, -1.0),
           (0.0, 1.0), (10**0.7, 0.31)]


def compilers():
    found = []
    for lang, names in (("c", ("cc", "gcc", "clang")), ("c++", ("c++", "g++", "clang++"))):
        path = next((shutil.which(n) for n in names if shutil.which(n)), None)
        if path:
            found.append(pytest.param(lang, path, id=lang))
    return found or [pytest.param("c", None, marks=pytest.mark.skip(reason="no C compiler"))]


def libpython():
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("the interpreter has no shared libpython whose symbols the modules can use")
    path = os.path.join(sysconfig.get_config_var("LIBDIR"),
                        sysconfig.get_config_var("LDLIBRARY"))
    if not os.path.exists(path):
        pytest.skip(f"{path} not found")
    return path


def via_ctypes(capfd):
    lib = ctypes.CDLL(_kelvo.__file__)
    lib.xi.argtypes = [ctypes.c_double, ctypes.c_double]
    lib.xi.restype = ctypes.c_double
    values = [lib.xi(g, t) for g, t in XI_ARGS]
    flush_c_stdout()
    capfd.readouterr()
    return values


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) ==
                                                  math.copysign(1, b))


@pytest.mark.parametrize("lang, compiler", compilers())
def test_program_calls_exported_functions_through_the_header(tmp_path, capfd, lang, compiler):
    header = os.path.join(exokern.get_include(), "exokern", "exokern.h")
    assert os.path.isfile(header)
    src = tmp_path / "caller.c"
    src.write_text(SOURCE)
    exe = tmp_path / "caller"
    std = "-std=c99" if lang == "c" else "-std=c++11"
    subprocess.run([compiler, "-x", lang, std, "-Wall", "-Wextra", "-Werror", "-pedantic",
                    "-I", exokern.get_include(), str(src), "-o", str(exe), "-ldl"],
                   check=True, capture_output=True, text=True)
    args = [libpython(), _kelvo.__file__, _quadra.__file__]
    args += [repr(v) for pair in XI_ARGS for v in pair]
    run = subprocess.run([str(exe)] + args, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()

    got = [float.fromhex(line.split()[1]) for line in lines if line.startswith("xi ")]
    want = via_ctypes(capfd)
    assert len(got) == len(want)
    assert all(same(g, w) for g, w in zip(got, want)), (got, want)
    assert got[0] == 4.0 / 3.0

    # The domain error is printed by the module, once, before the result of that call.
    domain = lines.index("Domain error, x (-1) must be >= 0.")
    assert lines[domain + 1] == "xi inf"
    assert sum(line.startswith("Domain error") for line in lines) == 1

    # msg: a negative level is silent; level 0 appends to the buffer and prints the same text.
    assert lines[-3:] == ["msg 0", "[42 ok 0.500]msg 0", "buffer ab[42 ok 0.500]"]
