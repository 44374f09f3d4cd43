"""Unit conversions: the same shape as the signal, with its units.

A DataArray keeps its dimensions, coordinates and name (and stays lazy when it
holds Dask arrays); its `attrs` become the new units and a long name, since
the others (a node's tolerance, say) no longer describe the values.
"""

from __future__ import annotations

import sys
from typing import Any, Callable, Hashable, Optional, Union, cast

import numpy as np
import numpy.typing as npt

from ._core import Data

Convert = Callable[[npt.NDArray[Any]], npt.NDArray[Any]]


def _convert(
    data: Any, how: Convert, units: Optional[str], long_name: str, along: bool = False,
    dim: Union[Hashable, int, None] = None,
) -> Any:
    """`how` applied to the samples; with `along`, to whole sweeps along `dim` (default the last)."""
    xr = sys.modules.get("xarray")
    if xr is not None and isinstance(data, xr.DataArray):
        core = []
        if along:
            if data.ndim == 0:
                raise ValueError(f"{long_name}: the signal is a single number; a sweep of samples is needed")
            core = [data.dims[-1] if dim is None else dim]
            if core[0] not in data.dims:
                raise ValueError(f"{long_name}: {data.name!r} has no dimension {core[0]!r}")
        # Dask arrays stay lazy; `meta` says the result is float64 (without calling `how` on a complex stand-in)
        meta = np.empty((0,) * data.ndim, dtype=np.float64)
        out = xr.apply_ufunc(
            how, data, input_core_dims=[core], output_core_dims=[core], dask="parallelized",
            dask_gufunc_kwargs={"meta": meta},
        ).transpose(*data.dims)
        out.attrs = {"long_name": long_name}
        if units:
            out.attrs["units"] = units
        return out
    values = np.asarray(data)
    if not along:
        return how(values)
    axis = -1 if dim is None else dim
    if isinstance(axis, bool) or not isinstance(axis, int):
        raise TypeError(f"{long_name}: dim= of a NumPy array is an axis number, not {dim!r}")
    if values.ndim == 0:
        raise ValueError(f"{long_name}: the signal is a single number; a sweep of samples is needed")
    return np.moveaxis(how(np.moveaxis(values, axis, -1)), -1, axis)


def _units(data: Any) -> Optional[str]:
    units = getattr(data, "attrs", {}).get("units")
    return units if isinstance(units, str) and units else None


def _db20(values: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    with np.errstate(divide="ignore"):
        return np.asarray(20 * np.log10(np.abs(values)), dtype=np.float64)


def _db10(values: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    with np.errstate(divide="ignore"):
        return np.asarray(10 * np.log10(np.abs(values)), dtype=np.float64)


def _abs(values: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    return np.asarray(np.abs(values), dtype=np.float64)


def _real(values: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    return np.asarray(np.real(values), dtype=np.float64)


def _imag(values: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    return np.asarray(np.imag(values), dtype=np.float64)


def unwrapped_degrees(values: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    """The angle in degrees along the last axis, unwrapped: each step between
    neighbours is taken as the one of the smallest size (jumps of 360 removed).
    The first sample keeps its principal value in (-180, 180]; a NaN sample
    (padding) adds no jump."""
    angle = np.degrees(np.angle(values))
    if angle.shape[-1] < 2:
        return np.asarray(angle, dtype=np.float64)
    step = np.diff(angle, axis=-1)
    # the same step less whole turns, in [-180, 180]; a half turn keeps its sign (as np.unwrap)
    short = np.mod(step + 180.0, 360.0) - 180.0
    short = np.where((short == -180.0) & (step > 0), 180.0, short)
    turns = np.where(np.abs(step) < 180.0, 0.0, np.nan_to_num(short - step))
    shift = np.concatenate([np.zeros(angle.shape[:-1] + (1,)), np.cumsum(turns, axis=-1)], axis=-1)
    return np.asarray(angle + shift, dtype=np.float64)


def db20(data: Data) -> Data:
    """20·log10|data|, in dB: the level of a voltage or current (-inf at 0)."""
    return cast(Data, _convert(data, _db20, "dB", "magnitude"))


def db10(data: Data) -> Data:
    """10·log10|data|, in dB: the level of a power (-inf at 0)."""
    return cast(Data, _convert(data, _db10, "dB", "magnitude"))


def mag(data: Data) -> Data:
    """|data|, in the signal's units."""
    return cast(Data, _convert(data, _abs, _units(data), "magnitude"))


def phase(data: Data, *, dim: Union[Hashable, int, None] = None) -> Data:
    """The angle of complex data in degrees, unwrapped along the sweep `dim`
    (default the last): no jumps of 360 between neighbouring points, the first
    point in (-180, 180]. Real data is 0 or 180."""
    return cast(Data, _convert(data, unwrapped_degrees, "deg", "phase", along=True, dim=dim))


def real(data: Data) -> Data:
    """The real part, in the signal's units."""
    return cast(Data, _convert(data, _real, _units(data), "real part"))


def imag(data: Data) -> Data:
    """The imaginary part, in the signal's units."""
    return cast(Data, _convert(data, _imag, _units(data), "imaginary part"))
