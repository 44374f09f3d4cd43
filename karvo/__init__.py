"""karvo: fast, exact reader for psfbin circuit-simulation result files.

``read_psf(path)`` returns a :class:`Psf` whose sweeps and traces carry NumPy
arrays and whose values carry Python scalars or dicts. Malformed files raise
``ValueError``; files that cannot be opened raise ``OSError``.
"""

from ._karvo import Psf, Sweep, Trace, Value, __version__, read_psf

__all__ = ["__version__", "Psf", "Sweep", "Trace", "Value", "read_psf"]
