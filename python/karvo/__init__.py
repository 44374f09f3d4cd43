"""karvo: fast, exact reader for psfbin and PSF ASCII circuit-simulation result files.

``read_psf(path)`` returns a :class:`Psf` whose sweeps and traces carry NumPy
arrays and whose values carry Python scalars or dicts. Malformed files raise
``ValueError``; files that cannot be opened raise ``OSError``.

``open(path)`` gives a :class:`PsfFile` that knows the header and the catalog
at once and reads the samples of chosen signals on request.

``to_dataframe(psf)`` and ``to_xarray(psf)`` turn a result into a pandas
DataFrame or an xarray Dataset (optional dependencies, imported on call).

``read_raw(path)`` reads the SPICE raw files of ngspice, Xyce and LTspice:
one :class:`Psf` per plot (``read_raw_plots`` adds the runs of stepped plots).

``open_results(folder)`` gives the :class:`Results` of a result folder: its
analyses, its runs and their parameters, and each analysis over every run as
one Dataset (``to_xarray``) or one long DataFrame (``to_dataframe``). A raw
file, or a folder of them, opens too: its plots are the analyses, the steps
of an LTspice ``.step`` and the passes of a loop the runs.

``karvo.measure`` measures whole families at once (bandwidth, crossings, rise
time, ...); it is imported on first use, with NumPy.
"""

from typing import TYPE_CHECKING

from . import _karvo
from ._karvo import Psf, Sweep, Trace, Value, __version__, read_psf
from .adapters import to_dataframe, to_xarray
from .files import PsfFile, SignalInfo
from .files import open as open  # re-exported for type checkers, outside __all__
from .raw import RawPlot, RawRun, read_raw, read_raw_plots
from .results import Analysis, Results, Run, open_results

if TYPE_CHECKING:
    from . import measure

__all__ = [
    "__version__",
    "Psf",
    "Sweep",
    "Trace",
    "Value",
    "read_psf",
    # karvo.open, not a star import's: it would replace the builtin open.
    "PsfFile",
    "SignalInfo",
    "to_dataframe",
    "to_xarray",
    "read_raw",
    "read_raw_plots",
    "RawPlot",
    "RawRun",
    "open_results",
    "Results",
    "Analysis",
    "Run",
    "set_num_threads",
    "get_num_threads",
]


def set_num_threads(n: int) -> None:
    """Sets how many threads may decode one large file at once (1 to 1024).

    The number bounds the threads of all reads together: a read's own thread
    counts, so two reads on two threads share the cores. Files below a few
    megabytes are always read on the calling thread. Other libraries'
    thread settings are left as they are.
    """
    _karvo._set_num_threads(n)


def get_num_threads() -> int:
    """How many threads may decode one large file at once.

    By default the number of cores this process may run on (its CPU
    affinity), or ``KARVO_NUM_THREADS`` when it is set to a positive integer.
    """
    return _karvo._get_num_threads()


def __getattr__(name: str) -> object:
    # karvo.measure imports NumPy: only on first use, not with karvo
    if name == "measure":
        import importlib

        return importlib.import_module(".measure", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
