"""Writers of psfbin files, PSF ASCII texts and result folders, for karvo's
tests, benchmarks, fuzz seeds and examples (and for tests of code that uses
karvo). Not part of the reading API; nothing here is imported by
``import karvo``.

- `psfbuilder`: psfbin files, well-formed or deliberately broken, chunk by chunk;
- `resultbuilder`: result folders with their index files (single runs,
  netlist sweeps, parametric studies);
- `shapes`: the benchmarks' large files, bodies laid out with NumPy;
- `seeds`: one small file per layout and feature (the fuzz targets' seeds).
"""
