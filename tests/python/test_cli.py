import json
import re
import signal
import subprocess
import sys
import time

import pyarrow as pa
import pyarrow.compute  # noqa: F401
import pyarrow.parquet as pq
import pytest

import corvane
from corvane import cli


def corvane_command(*args, cwd=None):
    # The timeout only ends a run that should have been refused before it began.
    return subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-m", "corvane", *args],
                          capture_output=True, text=True, cwd=cwd, timeout=600)


def assert_files_replay(out, ticks, minutes, truth=True):
    """The files hold every day of the run the manifest replays to, and the replayed engine the last."""
    manifest = corvane.loads((out / "manifest.json").read_text())
    replayed = corvane.replay(manifest)
    files = {name: pq.read_table(out / f"{name}.parquet") for name in ("bars", "macro", "truth")[:2 + truth]}
    assert (out / "truth.parquet").exists() == truth
    days = files["macro"].num_rows
    whole = corvane.Engine(seed=manifest["seed"], universe=replayed.universe, model=replayed.model)
    whole.run_days(days, ticks_per_day=ticks)
    assert whole.state_digest() == manifest["state_digest"] and replayed.recorded_days == 1
    bars = files.pop("bars")
    ids = bars.column("instrument_id").to_pylist()
    assert bars.column("ticker").to_pylist() == [whole.tickers[i] for i in ids]
    assert bars.column("sector").to_pylist() == [whole.universe[i].sector for i in ids]
    files["bars"] = bars.drop_columns(["ticker", "sector"])
    for name, table in files.items():
        read = {"bars": lambda e: e.bars(minutes=minutes), "macro": corvane.Engine.macro_table,
                "truth": corvane.Engine.truth}[name]
        assert table.equals(pa.table(read(whole))), name
        last = table.filter(pa.compute.equal(table.column("day"), days - 1))
        assert last.equals(pa.table(read(replayed))), name
    return days


class TestCommand:
    def test_simulate_with_a_model_file_writes_tables_the_manifest_replays(self, tmp_path):
        model = corvane.ModelParams.from_preset("kx-v3")
        (tmp_path / "model.json").write_text(json.dumps(model.to_dict()))
        out = corvane_command("simulate", "--size", "12", "--days", "3", "--ticks", "60", "--minutes", "15",
                              "--seed", "4", "--model", str(tmp_path / "model.json"), "--no-truth",
                              "--out", str(tmp_path / "run"))
        assert out.returncode == 0, out.stderr
        assert out.stderr == ""  # no progress bar when not on a terminal
        assert "Return by sector" in out.stdout and "Largest daily moves" in out.stdout
        assert assert_files_replay(tmp_path / "run", 60, 15, truth=False) == 3
        manifest = corvane.loads((tmp_path / "run" / "manifest.json").read_text())
        assert manifest["seed"] == 4 and corvane.ModelParams.from_dict(manifest["model"]) == model
        assert (tmp_path / "run" / "summary.png").read_bytes().startswith(b"\x89PNG")

    def test_ctrl_c_keeps_the_finished_days_and_a_manifest_that_replays_to_them(self, tmp_path):
        run = subprocess.Popen([sys.executable, "-X", "dev", "-W", "error", "-m", "corvane", "simulate", "--size",
                                "6", "--days", "100000", "--ticks", "30", "--minutes", "7", "--out", str(tmp_path)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        manifest = tmp_path / "manifest.json"
        while run.poll() is None and (not manifest.exists() or manifest.read_text().count('"op": "record"') < 3):
            time.sleep(0.05)
        run.send_signal(signal.SIGINT)
        _, err = run.communicate(timeout=600)
        assert run.returncode == 130 and "interrupted after" in err, err
        assert assert_files_replay(tmp_path, 30, 7) >= 3

    def test_ctrl_c_waits_only_while_a_day_is_being_written(self):
        guard, written = cli._DayByDay(), []
        with guard.handling_interrupts():
            with pytest.raises(KeyboardInterrupt):  # before any day: at once
                signal.raise_signal(signal.SIGINT)
            with pytest.raises(KeyboardInterrupt):  # inside a day's writing: once it is out
                with guard.writing_a_day():
                    signal.raise_signal(signal.SIGINT)
                    written.append("day 1")
            assert written == ["day 1"]
            after = cli._DayByDay()
            with after.handling_interrupts():
                with after.writing_a_day():
                    written.append("day 2")
                with pytest.raises(KeyboardInterrupt):  # between days: at once again
                    signal.raise_signal(signal.SIGINT)

    def test_presets_and_digest(self, capsys):
        # The sweep command's files are test_fork's.
        out = corvane_command("digest", "--size", "5", "--days", "1", "--ticks", "10")
        digest = corvane.fixed_simulation_digest(size=5, universe_seed=0, seed=7, days=1, ticks=10,
                                                 preset="kx-v14")
        assert out.stdout.splitlines()[-1] == f"final-state digest: {digest}", out.stderr

        # Each preset's line names exactly the values that differ from the preset before it.
        assert cli.main(["presets"]) == 0
        lines = capsys.readouterr().out.splitlines()[1:]
        names = [f"kx-v{k}" for k in range(1, len(lines) + 1)]
        assert [line.split()[0] for line in lines] == names and len(names) > 2
        with pytest.raises(corvane.ValidationError):
            corvane.ModelParams.from_preset(f"kx-v{len(names) + 1}")
        assert "(default)" in lines[names.index(corvane.ModelParams.from_preset().fingerprint)]
        for older, newer, line in zip(names, names[1:], lines[1:]):
            before = corvane.ModelParams.from_preset(older).to_dict()
            after = corvane.ModelParams.from_preset(newer).to_dict()
            changed = {k for k in after if k != "name" and repr(before.get(k)) != repr(after[k])}
            assert set(re.findall(r"([a-z_0-9]+) \S+ -> ", line)) == changed, line

    @pytest.mark.parametrize("args, message", [
        ([], "choose a command"),
        (["simulate", "--days", "0"], "argument --days: 0 is out of range"),
        (["simulate", "--size", "ten"], "argument --size: 'ten' is not a whole number"),
        (["simulate", "--preset", "kx-v99"], "unknown model preset 'kx-v99'; choose one of kx-v1, kx-v2,"),
        (["digest", "--preset", "nope"], "unknown model preset 'nope'; choose one of kx-v1, kx-v2,"),
        (["sweep", "--first-seed", "4294967295", "--seeds", "2"], "past 4294967295"),
        (["simulate", "--seed", "4294967296"], "--seed: 4294967296 is out of range: give a number from 0 to 4294967295"),
        (["fly"], "invalid choice: 'fly'"),
        (["simulate", "--model", "absent.json"], "cannot use absent.json as a model: No such file"),
        (["simulate", "--model", "manifest.json"], "cannot use manifest.json as a model: "),
        (["sweep", "--model", "model.json", "--preset", "kx-v2"], "argument --preset: not allowed with argument --model"),
    ])
    def test_bad_arguments_give_one_line_and_status_2(self, args, message, tmp_path):
        (tmp_path / "manifest.json").write_text('{"seed": 1}')
        (tmp_path / "model.json").write_text(json.dumps(corvane.ModelParams.from_preset().to_dict()))
        out = corvane_command(*args, cwd=tmp_path)
        assert out.returncode == 2 and message in out.stderr, out.stderr
        assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr
        assert not re.search(r"\w\.\w+\(", out.stderr)  # nothing to call from Python

    @pytest.mark.parametrize("command", ["simulate", "sweep"])
    def test_out_is_refused_before_any_work(self, command, tmp_path):
        (tmp_path / "file").write_text("")
        for out in (tmp_path / "file", tmp_path / "file" / "below"):
            # Days enough to run for hours if the check came after them.
            result = corvane_command(command, "--days", "100000", "--size", "17576", "--out", str(out))
            assert result.returncode == 2 and f"corvane {command}: error: --out {out}" in result.stderr
            assert result.stderr.count("\n") == 1


def test_every_help_shows_the_default_the_parser_uses(monkeypatch):
    monkeypatch.setenv("COLUMNS", "400")  # one line an option
    top = cli.parser()
    (commands,) = [a for a in top._actions if a.choices and "simulate" in a.choices]
    for name, sub in commands.choices.items():
        assert sub.description, name
        help_lines = sub.format_help().splitlines()
        for action in sub._actions:
            if not action.option_strings or action.dest == "help":
                continue
            (line,) = [x for x in help_lines if x.lstrip().startswith(action.option_strings[0] + " ")
                       or x.strip() == action.option_strings[0]]
            shown = re.findall(r"\(default ([^;)]*)", line)
            value = action.default
            assert shown == ([] if value in (None, False) else [str(value)]), (name, line)


def test_charts_keep_legends_off_the_data_with_whole_days_and_tellable_lines():
    np = pytest.importorskip("numpy")
    charts = pytest.importorskip("corvane._charts")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.colors import to_hex

    rng = np.random.default_rng(5)
    sectors = corvane.sectors()
    macro_names = ("vix", "fear_greed_index", "federal_funds_rate", "corporate_bond_yield", "inflation_rate",
                   "unemployment_rate", "gdp_growth")
    figures = [charts.run_figure(
        title="run", sector_index={s: 100 + rng.normal(size=days + 1) for s in sectors},
        drivers=rng.normal(size=(5, 9)), driver_labels=list("abcde"), factors=corvane.Engine.FACTORS,
        macro_days=np.arange(days), macro={m: rng.random(days) for m in macro_names}) for days in (1, 7)]
    swept = {"market_return": rng.normal(size=9), "vix": 20 + rng.random(9)}
    figures.append(charts.sweep_figure(swept,
                                       definitions={"market_return": "mean return", "vix": "final VIX"},
                                       preset="kx-v9", days=3, seeds=9))
    pnl = rng.normal(size=20)
    figures.append(charts.pnl_figure(list(pnl), policy="hold"))
    for figure in figures:
        FigureCanvasAgg(figure).draw()
        data = [a for ax in figure.axes for a in ax.lines + ax.patches]
        for legend in filter(None, (ax.get_legend() for ax in figure.axes)):
            box = legend.get_window_extent()
            assert not any(box.overlaps(artist.get_window_extent()) for artist in data)
        for ax in figure.axes:
            if ax.get_xlabel() == "day":
                low, high = ax.get_xlim()
                assert all(t == int(t) for t in ax.get_xticks() if low <= t <= high)
    one_day = figures[0].axes
    series = [line for ax in one_day for line in ax.lines if not line.get_label().startswith("_")]
    assert all(line.get_marker() not in ("None", None, "") for line in series if len(line.get_xdata()) < 3)
    styles = {(to_hex(line.get_color()), line.get_linestyle()) for line in series if line.get_label() in sectors}
    assert len(sectors) == 12 and len(styles) == 12
    sweep, (pnl_axes,) = figures[2], figures[3].axes
    assert "kx-v9" in sweep.get_suptitle() and "market_return: mean return" in sweep.get_supxlabel()
    # Each measure's mean line sits at its mean: returns in percent, the VIX in points.
    means = [[line.get_xdata()[0] for line in ax.lines if line.get_label().startswith("mean")] for ax in sweep.axes[:2]]
    assert means == [[pytest.approx(100 * swept["market_return"].mean())], [pytest.approx(swept["vix"].mean())]]
    (mean,) = [line for line in pnl_axes.lines if line.get_label().startswith("mean")]
    assert "hold" in pnl_axes.get_title() and list(mean.get_xdata()) == pytest.approx([pnl.mean()] * 2)
