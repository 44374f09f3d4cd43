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
one Dataset (``to_xarray``) or one long DataFrame (``to_dataframe``).

``karvo.measure`` measures whole families at once (bandwidth, crossings, rise
time, ...); it is imported on first use, with NumPy.
"""

from typing import TYPE_CHECKING

from ._karvo import Psf, Sweep, Trace, Value, __version__, read_psf
from .adapters import to_dataframe, to_xarray
from .files import PsfFile, SignalInfo, open
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
]


def __getattr__(name: str) -> object:
    # karvo.measure imports NumPy: only on first use, not with karvo
    if name == "measure":
        import importlib

        return importlib.import_module(".measure", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
