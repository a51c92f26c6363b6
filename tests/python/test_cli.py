import subprocess
import sys

import pyarrow.parquet as pq
import pytest

import corvane


def corvane_command(*args, cwd=None):
    return subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-m", "corvane", *args],
                          capture_output=True, text=True, cwd=cwd)


class TestCommand:
    def test_simulate_writes_tables_chart_and_a_manifest_that_replays(self, tmp_path):
        out = corvane_command("simulate", "--size", "12", "--days", "3", "--ticks", "60", "--minutes", "15",
                              "--seed", "4", "--out", str(tmp_path))
        assert out.returncode == 0, out.stderr
        assert out.stderr == ""  # no progress bar when not on a terminal
        assert "Return by sector" in out.stdout and "Largest daily moves" in out.stdout
        bars = pq.read_table(tmp_path / "bars.parquet")
        assert bars.num_rows == 3 * 4 * 12 and {"ticker", "sector", "close"} <= set(bars.column_names)
        assert pq.read_table(tmp_path / "macro.parquet").num_rows == 3
        assert (tmp_path / "summary.png").read_bytes().startswith(b"\x89PNG")
        engine = corvane.replay(corvane.loads((tmp_path / "manifest.json").read_text()))
        assert engine.seed == 4 and engine.recorded_days == 3
        named = [(u.ticker, u.sector) for u in engine.universe]
        assert [named[i] for i in bars["instrument_id"].to_pylist()] == list(zip(bars["ticker"].to_pylist(), bars["sector"].to_pylist()))

    def test_sweep_presets_and_digest(self, tmp_path):
        out = corvane_command("sweep", "--seeds", "3", "--size", "4", "--days", "1", "--ticks", "20",
                              "--out", str(tmp_path))
        assert out.returncode == 0, out.stderr
        assert (tmp_path / "sweep.csv").read_text().count("\n") == 4
        assert (tmp_path / "sweep.png").exists() and "market_return" in out.stdout
        out = corvane_command("presets")
        assert out.returncode == 0 and out.stdout.count("kx-v") >= 28 and "(default)" in out.stdout
        out = corvane_command("digest", "--size", "5", "--days", "1", "--ticks", "10")
        digest = corvane.fixed_simulation_digest(size=5, universe_seed=0, seed=7, days=1, ticks=10,
                                                 preset="kx-v14")
        assert out.stdout.splitlines()[-1] == f"final-state digest: {digest}", out.stderr

    @pytest.mark.parametrize("args, message", [
        ([], "choose a command"),
        (["simulate", "--days", "0"], "argument --days: 0 is out of range"),
        (["simulate", "--size", "ten"], "argument --size: 'ten' is not a whole number"),
        (["simulate", "--preset", "kx-v99", "--days", "1", "--size", "1"], 'unknown model preset "kx-v99"'),
        (["sweep", "--first-seed", "4294967295", "--seeds", "2"], "past 4294967295"),
        (["simulate", "--seed", "4294967296"], "--seed: 4294967296 is out of range: give a number from 0 to 4294967295"),
        (["fly"], "invalid choice: 'fly'"),
        (["digest", "--size", "1", "--preset", "kx-v99"], 'corvane digest: error: unknown preset "kx-v99"'),
    ])
    def test_bad_arguments_give_one_line_and_status_2(self, args, message, tmp_path):
        out = corvane_command(*args, cwd=tmp_path)
        assert out.returncode == 2 and message in out.stderr
        assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr
