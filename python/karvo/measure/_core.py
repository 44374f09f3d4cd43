"""What every measurement shares: taking a signal apart and putting a result
together.

A measurement reduces a signal along its sweep. `prepare` moves the sweep
axis last, finds the sweep values (a DataArray's coordinate along that
dimension, the sweep coordinate of a padded family, or the `x` given) and
broadcasts the per-cell arguments (levels, windows, reference values) against
the other dimensions: the result's cells. `Signal.finish` puts the cells'
values back into a DataArray over those dimensions (or a NumPy array), with
units, and reports the cells that have no value: NaN and one warning, or the
first of them as a `ValueError` under `strict`.

Samples are never written in place: `Signal.y` may be a broadcast view of the
caller's array.
"""

from __future__ import annotations

import sys
import warnings
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Dict, Hashable, Optional, Tuple, TypeVar, Union, cast

import numpy as np
import numpy.typing as npt

from .._errors import caller_level

if TYPE_CHECKING:
    from xarray import DataArray

#: A measured signal and what a measurement gives back: a DataArray gives a
#: DataArray, a NumPy array a NumPy array.
Data = TypeVar("Data", "DataArray", "npt.NDArray[Any]")
Float = npt.NDArray[np.float64]
#: A per-cell argument: a number, or an array (a DataArray aligned by its
#: coordinates) over some of the signal's other dimensions.
PerCell = Union[float, npt.ArrayLike]
#: The sweep values: a coordinate name (DataArray), or an array.
Sweep = Union[str, npt.ArrayLike, None]


@dataclass(frozen=True)
class Frame:
    """How a DataArray's cells are labelled: the result's dimensions, its
    coordinates (those of the signal not along the sweep) and its name."""

    dims: Tuple[Hashable, ...]
    coords: Dict[Hashable, Any]
    name: Optional[Hashable]


@dataclass(frozen=True)
class Signal:
    """A signal ready for measuring.

    `y`: the samples, shape cells + (n,), sweep last. `x`: the sweep values,
    (n,) for a sweep shared by every cell or cells + (n,), ascending, NaN
    where a run is padded (padding comes last); None where none is known.
    `params`: the per-cell arguments, each broadcastable to the cells.
    """

    function: str
    y: npt.NDArray[Any]
    x: Optional[Float]
    params: Dict[str, Float]
    units: Optional[str]
    x_units: Optional[str]
    frame: Optional[Frame]

    @property
    def sweep(self) -> Float:
        """`x`, which this measurement needs."""
        if self.x is None:
            raise ValueError(f"{self.function}: the signal has no sweep values along its dimension; pass x=")
        return self.x

    def real(self) -> Float:
        """`y` as real numbers: complex signals are refused (a crossing of a complex value means nothing)."""
        if np.iscomplexobj(self.y):
            raise TypeError(
                f"{self.function}: the signal is complex; measure mag(), db20(), phase(), real() or imag() of it"
            )
        return self.y

    def with_samples(self, y: npt.NDArray[Any], x: Float) -> Signal:
        """The same cells with other samples and sweep values (a window)."""
        return replace(self, y=y, x=x)

    def finish(
        self, like: Data, values: npt.NDArray[Any], *, units: Optional[str], long_name: str, what: str, strict: bool
    ) -> Data:
        """`values` (shape `cells`) as the result of measuring `like`; NaN cells have no `what`."""
        result = self.wrap(values, units=units, long_name=long_name)
        report(result, self.function, what, strict, self.empty_cells)
        return cast(Data, result)

    def wrap(self, values: npt.NDArray[Any], *, units: Optional[str], long_name: str) -> Any:
        """`values` over the cells: a DataArray for a DataArray, else an array."""
        values = np.asarray(values)
        if self.frame is None:
            return values
        import xarray as xr

        attrs = {"long_name": long_name}
        if units:
            attrs["units"] = units
        return xr.DataArray(values, dims=self.frame.dims, coords=self.frame.coords, name=self.frame.name, attrs=attrs)

    def empty_cells(self) -> npt.NDArray[np.bool_]:
        """Cells that hold no sample at all (a run that could not be read)."""
        return np.asarray(np.isnan(self.y).all(axis=-1))


# --------------------------------------------------------------- preparing


def prepare(
    function: str,
    data: Any,
    *,
    x: Sweep = None,
    dim: Union[Hashable, int, None] = None,
    **params: Optional[PerCell],
) -> Signal:
    """Takes `data` apart (see the module's docstring); `params` of None stay out."""
    given = {k: v for k, v in params.items() if v is not None}
    xr = sys.modules.get("xarray")
    if xr is not None and isinstance(data, xr.Dataset):
        raise TypeError(f"{function}: measure one variable of the Dataset (ds['name']), not the Dataset")
    if xr is not None and isinstance(data, xr.DataArray):
        signal = _from_dataarray(function, data, x, dim, given)
    else:
        signal = _from_array(function, data, x, dim, given)
    if signal.x is not None:
        _check_ascending(function, signal.x)
    return signal


def _samples(function: str, values: Any) -> npt.NDArray[Any]:
    y = np.asarray(values)
    if y.dtype.kind in "biu":
        return y.astype(np.float64)
    if y.dtype.kind not in "fc":
        raise TypeError(f"{function}: cannot measure samples of dtype {y.dtype} (numbers are needed)")
    return y


def _from_array(
    function: str, data: Any, x: Sweep, dim: Union[Hashable, int, None], params: Dict[str, PerCell]
) -> Signal:
    y = _samples(function, data)
    if y.ndim == 0:
        raise ValueError(f"{function}: the signal is a single number; a sweep of samples is needed")
    if dim is None:
        axis = -1
    elif isinstance(dim, int) and not isinstance(dim, bool):
        axis = dim
    else:
        raise TypeError(f"{function}: dim= of a NumPy array is an axis number, not {dim!r}")
    if not -y.ndim <= axis < y.ndim:
        raise ValueError(f"{function}: axis {axis} is out of range for an array of {y.ndim} dimensions")
    y = np.moveaxis(y, axis, -1)
    n = y.shape[-1]
    xs: Optional[Float] = None
    if isinstance(x, str):
        raise TypeError(f"{function}: x={x!r} names a coordinate, which only a DataArray has; pass the values")
    if x is not None:
        xs = np.asarray(x, dtype=np.float64)
        if xs.ndim > 1:
            if xs.ndim != y.ndim:
                raise ValueError(f"{function}: x has {xs.ndim} dimensions, the signal {y.ndim}")
            xs = np.moveaxis(xs, axis, -1)
        if xs.ndim == 0 or xs.shape[-1] != n:
            raise ValueError(f"{function}: x holds {xs.shape[-1] if xs.ndim else 1} values, the sweep {n}")
    arrays = {k: np.asarray(v, dtype=np.float64) for k, v in params.items()}
    shapes = [y.shape[:-1], *(a.shape for a in arrays.values())]
    if xs is not None and xs.ndim > 1:
        shapes.append(xs.shape[:-1])
    try:
        cells: Tuple[int, ...] = tuple(np.broadcast_shapes(*shapes))
    except ValueError:
        listed = ", ".join(f"{k} {a.shape}" for k, a in arrays.items())
        raise ValueError(
            f"{function}: the arguments' shapes ({listed}) do not fit the signal's {y.shape[:-1]}"
        ) from None
    y = np.broadcast_to(y, cells + (n,))
    if xs is not None and xs.ndim > 1:
        xs = np.broadcast_to(xs, cells + (n,))
    return Signal(function, y, xs, arrays, None, None, None)


def _from_dataarray(
    function: str, data: DataArray, x: Sweep, dim: Union[Hashable, int, None], params: Dict[str, PerCell]
) -> Signal:
    import xarray as xr

    if data.ndim == 0:
        raise ValueError(f"{function}: the signal is a single number; a sweep of samples is needed")
    if dim is None:
        dim = data.dims[-1]
    if dim not in data.dims:
        known = ", ".join(map(str, data.dims))
        raise ValueError(f"{function}: {data.name!r} has no dimension {dim!r} (it has {known})")
    xda = _sweep_coordinate(function, data, x, dim)
    labelled = {k: v for k, v in params.items() if isinstance(v, xr.DataArray)}
    for k, v in labelled.items():
        if dim in v.dims:
            raise ValueError(f"{function}: {k} runs along the sweep {dim!r}; it takes one value per cell")
    if labelled:
        # the signal's coordinates decide; an argument missing a cell is NaN there
        data, *aligned = xr.align(data, *labelled.values(), join="left")
        data, *aligned = xr.broadcast(data, *aligned, exclude=[dim])
        labelled = dict(zip(labelled, aligned))
    dims = tuple(d for d in data.dims if d != dim)
    data = data.transpose(*dims, dim)
    y = _samples(function, data.values)
    arrays = {k: np.asarray(v, dtype=np.float64) for k, v in params.items() if k not in labelled}
    for k, v in labelled.items():
        arrays[k] = np.asarray(v.transpose(*dims).values, dtype=np.float64)
    cells = y.shape[:-1]
    for k, a in arrays.items():
        try:
            fits = a.ndim <= len(cells) and np.broadcast_shapes(a.shape, cells) == cells
        except ValueError:
            fits = False
        if not fits:
            raise ValueError(f"{function}: {k} of shape {a.shape} does not fit the cells {dict(zip(dims, cells))}")
    xs: Optional[Float] = None
    x_units: Optional[str] = None
    if xda is not None:
        x_units = _units(xda.attrs)
        if xda.dims == (dim,):
            xs = np.asarray(xda.values, dtype=np.float64)
        else:
            xs = np.asarray(xda.broadcast_like(data).transpose(*dims, dim).values, dtype=np.float64)
    coords = {k: c.variable for k, c in data.coords.items() if dim not in c.dims}
    frame = Frame(dims, coords, data.name)
    return Signal(function, y, xs, arrays, _units(data.attrs), x_units, frame)


def _sweep_coordinate(function: str, data: DataArray, x: Sweep, dim: Hashable) -> Optional[DataArray]:
    """The sweep values along `dim`: `x`, the coordinate named `dim`, or the
    one coordinate along it (a padded family's sweep over its 'point' dimension)."""
    import xarray as xr

    if isinstance(x, xr.DataArray):
        if dim not in x.dims:
            raise ValueError(f"{function}: x does not run along {dim!r}")
        return x
    if isinstance(x, str):
        if x not in data.coords or dim not in data.coords[x].dims:
            names = [str(k) for k, c in data.coords.items() if dim in c.dims]
            raise ValueError(f"{function}: no coordinate {x!r} along {dim!r} (there: {', '.join(names) or 'none'})")
        named: DataArray = data.coords[x]
        return named
    if x is not None:
        values = np.asarray(x, dtype=np.float64)
        if values.ndim == 1:
            return xr.DataArray(values, dims=(dim,))
        if values.shape == data.shape:
            return xr.DataArray(values, dims=data.dims)
        raise ValueError(
            f"{function}: x of shape {values.shape} is neither the sweep's ({data.sizes[dim]},) "
            f"nor the signal's {data.shape}"
        )
    along = [dim] if dim in data.coords else [k for k, c in data.coords.items() if dim in c.dims]
    if len(along) > 1:
        listed = ", ".join(map(str, along))
        raise ValueError(f"{function}: coordinates {listed} all run along {dim!r}; say which with x=")
    if not along:
        return None
    found: DataArray = data.coords[along[0]]
    return found


def _units(attrs: Dict[Any, Any]) -> Optional[str]:
    units = attrs.get("units")
    return units if isinstance(units, str) and units else None


def _check_ascending(function: str, x: Float) -> None:
    if (x[..., 1:] < x[..., :-1]).any():
        raise ValueError(
            f"{function}: the sweep values must ascend; reverse a descending sweep first "
            "(e.g. .isel(dim=slice(None, None, -1)))"
        )


# --------------------------------------------------------------- reporting


def report(result: Any, function: str, what: str, strict: bool, empty: Any = None) -> None:
    """Warns once about the NaN cells of `result`, or raises for the first of them.

    `empty`, a callable giving the cells that hold no samples, tells those
    apart in the message."""
    values = np.asarray(result)
    missing = np.isnan(values)
    count = int(np.count_nonzero(missing))
    if count == 0:
        return
    if strict:
        first = tuple(int(i) for i in np.argwhere(missing)[0]) if values.ndim else ()
        where = _cell_name(result, first)
        if empty is not None and np.asarray(empty())[first]:
            raise ValueError(f"{function}: no samples {where}")
        raise ValueError(f"{function}: {what} {where}")
    blank = int(np.count_nonzero(np.asarray(empty()) & missing)) if empty is not None else 0
    if values.size == 1:
        message = f"{function}: {'the signal holds no samples' if blank else what}; the result is NaN"
    else:
        verb, pronoun = ("has", "it is") if count == 1 else ("have", "they are")
        message = f"{function}: {count} of {values.size} cells {verb} {what}"
        if blank:
            message += f" ({blank} of them hold no samples)"
        message += f"; {pronoun} NaN"
    message += " (strict=True raises instead)"
    warnings.warn(message, UserWarning, stacklevel=caller_level())


def _cell_name(result: Any, index: Tuple[int, ...]) -> str:
    if not index:
        return "in the signal"
    dims = getattr(result, "dims", None)
    if dims is None:
        return f"at index {index}"
    parts = []
    for d, i in zip(dims, index):
        if d in result.coords:
            value = result.coords[d].values[i]
            parts.append(f"{d}={value.item() if hasattr(value, 'item') else value!r}")
        else:
            parts.append(f"{d}[{i}]")
    return "at " + ", ".join(parts)


def ratio_units(top: Optional[str], bottom: Optional[str]) -> Optional[str]:
    """Units of a quotient ('V/s'); None when either is unknown."""
    return f"{top}/{bottom}" if top and bottom else None


def product_units(a: Optional[str], b: Optional[str]) -> Optional[str]:
    """Units of a product ('V*s'); None when either is unknown."""
    return f"{a}*{b}" if a and b else None
