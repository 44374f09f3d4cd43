"""karvo plot: the figures it builds (panels, lines, labels with units,
legends, the data drawn), the files it writes, its errors, and the
command without matplotlib or without a display."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import karvo
from karvo import read_psf
from karvo.cli import main
from karvo.testing import resultbuilder as rb

mpl = pytest.importorskip("matplotlib")

from karvo.cli import plot  # noqa: E402
from karvo.cli.drawing import draw  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
CORPUS = ROOT.parent / "shared" / "corpus"
STUDY = str(EXAMPLES / "rc_study")


def example(name: str) -> str:
    return str(EXAMPLES / name)


def corpus_path(*parts: str) -> str:
    path = CORPUS.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"{path} is absent")
    return str(path)


def figure_of(path, signals, analysis=None, **options):
    return draw(plot.load(path, signals, analysis), **options)


def legend_texts(figure) -> list[str]:
    legends = [ax.get_legend() for ax in figure.axes if ax.get_legend() is not None]
    return [t.get_text() for legend in legends for t in legend.get_texts()]


def unwrapped_degrees(x):
    return np.degrees(np.unwrap(np.angle(x)))


# ---------------------------------------------------------------- files


def column(psf, name: str):
    """A signal's samples; NAME.FIELD a struct trace's field."""
    if name in psf:
        return psf[name].data
    struct, field = name.rsplit(".", 1)
    return psf[struct].data[field]


@pytest.mark.parametrize(
    "name, signals, options, drawn, ylabels, xlabel, legend",
    [
        ("rc_tran.psf", ["in", "out"], {}, ["in", "out"], ["in, out [V]"], "time [µs]", ["in", "out"]),
        ("rc_tran.psf", ["out"], {"scale": "db"}, ["out"], ["|out| [dB]"], "time [µs]", []),
        ("rc_ac.psf", ["out"], {}, ["out"], ["|out| [dB]", "phase(out) [deg]"], "freq [Hz]", []),
        ("rc_ac.psf", ["in", "out"], {"scale": "linear"}, ["in", "out"],
         ["|in|, |out| [V]", "phase(in), phase(out) [deg]"], "freq [Hz]", ["in", "out"]),
        ("rc_noise.psf", ["out"], {}, ["out.total", "out.R1", "out.R2"], ["out.total, out.R1, out.R2 [V^2/Hz]"],
         "freq [Hz]", ["out.total", "out.R1", "out.R2"]),
        ("rc_noise.psf", ["out.R2"], {}, ["out.R2"], ["out.R2 [V^2/Hz]"], "freq [Hz]", []),
    ],
    ids=["tran", "tran-db", "ac", "ac-linear", "noise-struct", "noise-member"],
)
def test_file_figure(name, signals, options, drawn, ylabels, xlabel, legend):
    """Panels, labels with units (dB and deg for what karvo derives), the
    legend, and the samples drawn: the file's, converted."""
    path = example(name)
    psf = read_psf(path)
    fig = figure_of(path, signals, **options)
    assert [ax.get_ylabel() for ax in fig.axes] == ylabels
    assert fig.axes[-1].get_xlabel() == xlabel
    assert fig.axes[-1].get_xscale() == ("log" if xlabel.startswith("freq") else "linear")
    assert legend_texts(fig) == legend
    x = psf.sweeps[0].data
    scale = options.get("scale", "auto")
    lines = fig.axes[0].get_lines()
    assert len(lines) == len(drawn)
    for line, name in zip(lines, drawn):
        data = column(psf, name)
        assert np.array_equal(line.get_xdata(), x)
        if scale == "linear":
            expected = np.abs(data)
        elif np.iscomplexobj(data) or scale == "db":
            with np.errstate(divide="ignore"):
                expected = 20 * np.log10(np.abs(data))
        else:
            expected = data
        np.testing.assert_allclose(line.get_ydata(), expected, rtol=1e-12)
    if len(fig.axes) == 2:
        for line, name in zip(fig.axes[1].get_lines(), drawn):
            np.testing.assert_allclose(line.get_ydata(), unwrapped_degrees(column(psf, name)), rtol=1e-12, atol=1e-12)


def test_signals_of_other_units_get_panels_of_their_own():
    """A current beside voltages would be flat on their axis; a current in
    µA is ticked in µA."""
    path = corpus_path("long", "dc.dc")
    fig = figure_of(path, ["vo1", "V0:p", "vo2"])
    assert [ax.get_ylabel() for ax in fig.axes] == ["vo1, vo2 [mV]", "V0:p [µA]"]
    current = read_psf(path)["V0:p"].data
    (line,) = fig.axes[1].get_lines()
    assert np.array_equal(line.get_ydata(), current)
    fig.canvas.draw()
    assert fig.axes[1].yaxis.get_major_formatter()(-2e-4, 0) == "\N{MINUS SIGN}200"


def test_xlim_fits_the_y_axis_to_what_it_shows():
    fig = figure_of(example("rc_tran.psf"), ["out"], xlim=(5e-6, 1e-5))
    (ax,) = fig.axes
    assert ax.get_xlim() == (5e-6, 1e-5)
    low, high = ax.get_ylim()
    assert 0.9 < low < 0.995 and 1.0 < high < 1.01  # out rises from 0, but is above 0.99 after 5 µs
    assert ax.get_xlabel() == "time [µs]"


# ---------------------------------------------------------------- families


def cells_in_grid_order(results, analysis):
    """The runs, in the order the plot draws them: sorted cap, then res."""
    return sorted(results.runs, key=lambda run: (run.parameters["cap"], run.parameters["res"]))


@pytest.mark.parametrize("analysis", ["ac", "tran"])
def test_family_one_line_per_run_on_its_own_points(analysis):
    """Each run is drawn from its own file, transients of different lengths
    included; over cap x res, a color per cap and a line style per res."""
    results = karvo.open_results(STUDY)
    fig = figure_of(STUDY, ["out"], analysis)
    runs = cells_in_grid_order(results, analysis)
    lines = fig.axes[0].get_lines()
    assert len(lines) == len(runs) == 6
    for line, run in zip(lines, runs):
        psf = run.analyses[f"{analysis}-{analysis}"].read()
        assert np.array_equal(line.get_xdata(), psf.sweeps[0].data)
        out = psf["out"].data
        expected = 20 * np.log10(np.abs(out)) if analysis == "ac" else out
        np.testing.assert_allclose(line.get_ydata(), expected, rtol=1e-12)
    if analysis == "tran":
        assert len({len(line.get_xdata()) for line in lines}) == 6
    caps = sorted({run.parameters["cap"] for run in runs})
    assert legend_texts(fig) == [f"cap={c:g}" for c in caps] + ["res=500", "res=1000", "res=2000"]
    assert [line.get_color() for line in lines] == ["C0"] * 3 + ["C1"] * 3
    assert [line.get_linestyle() for line in lines] == ["-", "--", ":"] * 2
    assert fig.axes[0].get_title() == f"rc_study: {analysis}-{analysis}"


def test_family_of_two_signals_tells_runs_by_color_and_signals_by_style():
    fig = figure_of(STUDY, ["in", "out"], "tran")
    (ax,) = fig.axes
    assert len(ax.get_lines()) == 12
    texts = legend_texts(fig)
    assert texts[:6] == [f"cap={c:g}, res={r:g}" for c in (1e-10, 1e-9) for r in (500, 1000, 2000)]
    assert texts[6:] == ["in", "out"]
    assert ax.get_ylabel() == "in, out [V]"
    fig.canvas.draw()
    assert ax.get_legend().get_window_extent().x0 > ax.get_window_extent().x1  # beside the data, not over it


def test_an_analysis_without_a_sweep_is_drawn_against_the_innermost_parameter(tmp_path, capsys):
    fig = figure_of(STUDY, ["out"], "dcOp")
    (ax,) = fig.axes
    assert [line.get_xdata().tolist() for line in ax.get_lines()] == [[500.0, 1000.0, 2000.0]] * 2
    assert [line.get_ydata().tolist() for line in ax.get_lines()] == [[0.5] * 3] * 2
    assert (ax.get_xlabel(), legend_texts(fig)) == ("res", ["cap=1e-10", "cap=1e-09"])
    run = rb.single_run(tmp_path / "run")  # one run: nothing to draw against
    assert main(["plot", str(run), "--analysis", "dcOp", "out", "-o", str(tmp_path / "x.png")]) == 1
    message = "'dcOp-dc' holds no sweep: nothing to draw its values against (karvo export writes them)"
    assert capsys.readouterr().err == f"{run}: {message}\n"


def test_corpus_study(corpus):
    """9 runs of cap x res, unequal transients: every run drawn to its end."""
    path = corpus_path("runs", "tran_dc_ac_param")
    ac = figure_of(path, ["vo2"], "ac")
    assert [len(ax.get_lines()) for ax in ac.axes] == [9, 9]
    assert [ax.get_ylabel() for ax in ac.axes] == ["|vo2| [dB]", "phase(vo2) [deg]"]
    assert ac.axes[1].get_xscale() == "log"
    assert legend_texts(ac) == ["cap=1e-12", "cap=1e-11", "cap=2e-11", "res=500", "res=1000", "res=2000"]
    tran = figure_of(path, ["vo2"], "tran")
    lengths = sorted(len(line.get_xdata()) for line in tran.axes[0].get_lines())
    long = karvo.open_results(path).long_form("tran")
    cells = dict(long.columns)
    expected = sorted(np.unique(np.stack([cells["cap"], cells["res"]]), axis=1, return_counts=True)[1])
    assert lengths == expected and lengths[0] != lengths[-1]
    assert tran.axes[0].get_xlabel() == "time [ns]"


def test_sweep_tree_of_many_leaves_caps_its_legend(corpus):
    """15 harmonics of a periodic ac analysis: a line each, in a sequential
    color map, and a legend of the first and last ones beside the panels."""
    fig = figure_of(corpus_path("runs", "pss_run"), ["vout_1"], "pac")
    assert [len(ax.get_lines()) for ax in fig.axes] == [15, 15]
    first, last = [f"harmonic={h}" for h in range(-7, -2)], [f"harmonic={h}" for h in range(2, 8)]
    assert legend_texts(fig) == first + ["⋮ 4 more"] + last
    colors = {tuple(mpl.colors.to_rgba(line.get_color())) for line in fig.axes[0].get_lines()}
    assert len(colors) == 15


def test_runs_without_data_are_left_out_and_named(tmp_path, capsys):
    top, built = rb.study(tmp_path / "s", "numbered", [1e-11, 1e-12], [2000.0, 500.0, 1000.0], failed=1, damaged=4)
    out = tmp_path / "ac.png"
    assert main(["plot", str(top), "--analysis", "ac", "out", "-o", str(out)]) == 0
    err = capsys.readouterr().err
    broken = [b.parameters for b in built if b.broken]
    assert err.startswith(f"{top}: no data, left out: ")
    for p in broken:
        assert f"cap={p['cap']:g}, res={p['res']:g}" in err
    fig = figure_of(str(top), ["out"], "ac")
    assert len(fig.axes[0].get_lines()) == len(built) - len(broken)


# ---------------------------------------------------------------- the command


@pytest.mark.parametrize(
    "suffix, magic",
    [(".png", b"\x89PNG\r\n\x1a\n"), (".svg", b"<?xml"), (".pdf", b"%PDF-")],
)
def test_output_format_follows_the_suffix(tmp_path, suffix, magic):
    """Written whole under a temporary name, then renamed over what was there."""
    target = tmp_path / f"plot{suffix.upper() if suffix == '.pdf' else suffix}"
    target.write_bytes(b"old")
    assert main(["plot", example("rc_ac.psf"), "out", "-o", str(target), "--title", "RC low-pass"]) == 0
    data = target.read_bytes()
    assert data.startswith(magic)
    assert os.listdir(tmp_path) == [target.name]
    if suffix == ".png":
        size = figure_of(example("rc_ac.psf"), ["out"]).get_size_inches() * plot.DPI
        assert [int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")] == [round(v) for v in size]
    if suffix == ".svg":
        assert b"<!-- RC low-pass -->" in data and data.rstrip().endswith(b"</svg>")


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["{ac}", "ou"], 1, "{ac}: no signal 'ou' (close matches: 'out')\n"),
        (["{ac}", "freq"], 1, "{ac}: 'freq' is the sweep, which the signals are drawn against\n"),
        (["{noise}", "out.R3"], 1, "{noise}: no signal 'out.R3' (close matches: 'out.R2', 'out.R1')\n"),
        (["{dcop}", "out"], 1,
         "{dcop}: not swept: the file holds 4 values, nothing to draw against a sweep (karvo info lists them)\n"),
        (["{study}", "--analysis", "ac", "outt"], 1, "{study}: 'ac-ac' has no signal 'outt' (close matches: 'out')\n"),
        (["{study}", "--analysis", "acc", "out"], 1, "{study}: no analysis 'acc' in "),
        (["{study}", "out"], 2, "karvo: {study} is a result folder: name the analysis to plot with --analysis NAME\n"),
        (["{ac}", "--analysis", "ac", "out"], 2, "karvo: --analysis is for result folders, and {ac} is not one\n"),
        (["{ac}", "out", "-o", "{tmp}/x.jpg"], 2, "karvo: {tmp}/x.jpg: name a .png, .svg or .pdf file\n"),
        (["{ac}", "out", "--xlim", "5", "1"], 2, "karvo: --xlim 5 1: MIN must be less than MAX\n"),
        (["{ac}", "out", "-o", "{tmp}/no/x.png"], 1, "karvo: cannot write {tmp}/no/x.png: No such file or directory\n"),
        (["{tmp}/none.psf", "out"], 1, "{tmp}/none.psf: cannot open {tmp}/none.psf: No such file or directory"),
    ],
    ids=["unknown", "the-sweep", "member", "non-swept", "analysis-without-signal", "unknown-analysis",
         "folder-without-analysis", "analysis-of-a-file", "format", "xlim", "unwritable", "missing-file"],
)
def test_errors(tmp_path, capsys, args, status, message):
    names = {"ac": example("rc_ac.psf"), "noise": example("rc_noise.psf"), "dcop": example("rc_dcop.psf"),
             "study": STUDY, "tmp": str(tmp_path)}
    argv = [a.format(**names) for a in args]
    if "-o" not in argv:
        argv += ["-o", str(tmp_path / "x.png")]
    assert main(["plot", *argv]) == status
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith(message.format(**names))
    assert not list(tmp_path.glob("*.png")) and not list(tmp_path.glob(".karvo-*"))


def test_without_matplotlib_the_command_says_how_to_install_it(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes `import matplotlib` fail
    assert main(["plot", example("rc_ac.psf"), "out", "-o", str(tmp_path / "x.png")]) == 1
    assert capsys.readouterr() == ("", "karvo: karvo plot needs matplotlib: pip install 'karvo[plot]'\n")
    assert list(tmp_path.iterdir()) == []


def test_other_commands_do_not_import_matplotlib(tmp_path):
    code = textwrap.dedent(f"""
        import sys
        from karvo.cli import main
        main(["info", {example("rc_ac.psf")!r}])
        main(["export", {example("rc_ac.psf")!r}, "-o", {str(tmp_path / "x.csv")!r}])
        print("matplotlib" in sys.modules, file=sys.stderr)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.stderr == "False\n"


FAKE_BACKEND = '''
from matplotlib.backend_bases import FigureManagerBase
from matplotlib.backends.backend_agg import FigureCanvasAgg

FigureCanvas = FigureCanvasAgg
FigureManager = FigureManagerBase


def show(*args, **kwargs):
    import sys
    from matplotlib import pyplot

    fig = pyplot.gcf()
    print("shown", len(fig.axes), [ax.get_ylabel() for ax in fig.axes], file=sys.stderr)
'''


@pytest.mark.parametrize("backend", ["agg", "module://fake_window"])
def test_without_o_a_window_opens_where_one_can(tmp_path, backend):
    """A file backend means no display: say so and point at -o. Any other
    backend is shown the figure."""
    (tmp_path / "fake_window.py").write_text(FAKE_BACKEND)
    env = {**os.environ, "MPLBACKEND": backend, "PYTHONPATH": str(tmp_path)}
    result = subprocess.run(
        [sys.executable, "-m", "karvo", "plot", example("rc_ac.psf"), "out"],
        cwd=tmp_path, env=env, capture_output=True, text=True,
    )
    if backend == "agg":
        assert (result.returncode, result.stderr) == (
            1, "karvo: no display to open a window on; write the plot to a file with -o OUT.png\n"
        )
    else:
        assert (result.returncode, result.stderr) == (0, "shown 2 ['|out| [dB]', 'phase(out) [deg]']\n")
