"""Measurements over whole families of runs at once: the calculator's
functions, each reducing every sweep of an array in one call.

Each takes a signal, an xarray ``DataArray`` (a variable of
``karvo.to_xarray`` or of ``Results.to_xarray``) or a NumPy array with its
sweep values ``x=``, and reduces it along its sweep dimension ``dim`` (the
last by default, the sweep in karvo's layouts; an axis number for a NumPy
array). The result holds one value per cell, a cell being a point of every
other dimension: a DataArray over those dimensions with their coordinates
(``bw.sel(cap=1e-12)``, ``bw.plot()``) and ``attrs["units"]``, or a NumPy
array (0-d for a single sweep).

- Sweep values: a DataArray's coordinate along ``dim``; in a padded family
  (``to_xarray(..., pad=True)``) the sweep coordinate over its ``point``
  dimension, so each run is measured on its own points (its NaN padding is
  never a point). ``x=`` names another coordinate or gives the values.
  Sweeps must ascend.
- Per-cell arguments (levels, sweep values, reference values, windows):
  a number, or an array over some of the other dimensions (a DataArray is
  aligned by its coordinates), so the level may differ from run to run.
- ``start``/``stop`` restrict a measurement to part of the sweep.
- A cell where the quantity does not exist (no crossing, say) is NaN, and
  one ``UserWarning`` says how many cells are; ``strict=True`` raises a
  ``ValueError`` naming the first such cell by its coordinates instead.
- The computation runs on whole arrays: no Python loop over runs. Dask-backed
  DataArrays are computed first (the unit conversions stay lazy).
"""

from ._conversions import db10, db20, imag, mag, phase, real
from ._crossings import cross, delay, duty_cycle, frequency, period
from ._frequency import bandwidth, gain_at, gain_margin, phase_margin, unity_gain_frequency
from ._points import average, integral, max, min, peak_to_peak, rms, value_at
from ._transient import fall_time, overshoot, rise_time, settling_time, slew_rate, undershoot

__all__ = [
    "db20",
    "db10",
    "mag",
    "phase",
    "real",
    "imag",
    "value_at",
    "min",
    "max",
    "peak_to_peak",
    "average",
    "rms",
    "integral",
    "cross",
    "delay",
    "frequency",
    "period",
    "duty_cycle",
    "rise_time",
    "fall_time",
    "overshoot",
    "undershoot",
    "settling_time",
    "slew_rate",
    "bandwidth",
    "unity_gain_frequency",
    "phase_margin",
    "gain_margin",
    "gain_at",
]
