"""Forks, counterfactual comparison, lineage in manifests, verification."""

import copy

import numpy as np
import pyarrow as pa
import pytest

import corvane
from corvane import ValidationError
from corvane.cli import main

UNIVERSE = corvane.random_instruments(6, seed=2)
BOUGHT = 2
BUY = 2e4
FORK_TICK = 150


def mid_session_engine():
    """An engine forked from mid-session, with caller news on its tape."""
    engine = corvane.Engine(seed=11, universe=UNIVERSE)
    engine.run_days(1)
    engine.run_session(ticks=FORK_TICK, news=[corvane.News(sector=UNIVERSE[1].sector, price_impact=0.02)])
    return engine


def finish(engine, flow=None):
    """The fork's tick (with `flow`), the rest of the day, recorded, and a day more."""
    engine.run_session(ticks=1, order_flow=flow)
    engine.run_session(ticks=389 - FORK_TICK, close_at_end=True)
    engine.record(1)
    engine.run_days(1, first_day=2)


@pytest.mark.parametrize("how", [lambda e: e.fork(), copy.copy, copy.deepcopy])
def test_a_fork_continues_as_its_parent_and_as_its_restored_snapshot(how):
    parent = mid_session_engine()
    snapshot = parent.state_snapshot()
    fork = how(parent)
    assert fork.order_log == parent.order_log + [{"op": "fork", "recorded_days": 1, "day_ticks": FORK_TICK}]

    # Independent truth for the first tick: a fresh engine put in the saved state.
    fresh = corvane.Engine(seed=11, universe=UNIVERSE)
    fresh.restore_state(snapshot)
    for engine in (fork, fresh):
        engine.run_session(ticks=1)
    assert fork.session_prices() == fresh.session_prices()
    assert fork.state_digest() == fresh.state_digest()

    parent.run_session(ticks=1)
    for engine in (parent, fork):
        engine.run_session(ticks=389 - FORK_TICK, close_at_end=True)
        engine.record(1)
        engine.run_days(1, first_day=2)
    assert fork.state_digest() == parent.state_digest()
    assert fork.draws_by_stream() == parent.draws_by_stream()
    assert fork.table_digests() == parent.table_digests()
    assert fork.recorded_days == 3


def tables(engine):
    return [pa.table(t).to_pylist() for t in (engine.bars(), engine.truth(), engine.macro_table(), engine.book_table())]


def test_appends_after_a_fork_stay_on_the_side_that_made_them():
    """Each side keeps what it held at the fork plus its own appends alone, over a history long
    enough that much of it is shared in whole chunks."""
    parent = corvane.Engine(seed=5, universe=UNIVERSE)
    parent.run_days(20, ticks_per_day=6)
    booked = sum(parent.snapshot_book(day=19, tick=tick) for tick in range(3))
    parent.run_session(ticks=7)
    at_fork, log, session = tables(parent), parent.order_log, parent.session_prices()
    fork = parent.fork()

    parent.run_session(ticks=3, close_at_end=True)
    parent.record(20)
    booked_after = parent.snapshot_book(day=20)
    parent.delist(0)
    own_session = parent.session_prices()
    assert len(own_session) == 3 * 6 * 8
    assert fork.session_prices() == session and tables(fork) == at_fork and fork.order_log[:-1] == log
    fork.clear_recording()
    fork.list_instrument(corvane.Instrument("NEW", "utilities", initial_price=20.0, shares_outstanding=1e7))
    fork.run_session(ticks=2, order_flow={UNIVERSE[1].ticker: (BUY, 0.0)})
    fork.record(20)

    ops = lambda engine: [entry["op"] for entry in engine.order_log[len(log):]]
    assert parent.order_log[: len(log)] == log and fork.order_log[: len(log)] == log
    assert ops(parent) == ["run_session", "record", "snapshot_book", "delist"]
    assert ops(fork) == ["fork", "clear_recording", "list_instrument", "run_session", "record"]
    assert corvane.compare(parent, fork).summary["fork"]["entry"] == len(log)
    assert parent.session_prices() == own_session and len(fork.session_prices()) == 2 * 7 * 8
    # Both record day 20 from the seven ticks before the fork on; the parent's older days stand.
    mine, theirs = tables(parent), tables(fork)
    assert [t[: len(before)] for t, before in zip(mine, at_fork)] == at_fork
    assert [len(t) for t in at_fork] == [20 * 36] * 2 + [20, booked]
    assert [len(t) for t in mine] == [21 * 36 + 24] * 2 + [21, booked + booked_after]
    assert [len(t) for t in theirs] == [7 * 6 + 2 * 7] * 2 + [1, 0]
    pre = np.frombuffer(session, dtype="<f8").tolist()
    assert [row["close"] for row in mine[0][720:762]] == pre == [row["close"] for row in theirs[0][:42]]


def test_an_extra_buy_is_order_flow_impact_first_and_the_drivers_add_up_after():
    parent = mid_session_engine()
    fork = parent.fork()
    finish(parent)
    finish(fork, {UNIVERSE[BOUGHT].ticker: (BUY, 0.0)})
    comparison = corvane.compare(parent, fork)
    table = pa.table(comparison)
    cols = {name: table.column(name).to_numpy() for name in table.column_names}
    n = len(UNIVERSE)
    assert list(cols["day"][:n]) == [1] * n and list(cols["tick"][:n]) == [FORK_TICK] * n

    # The first tick: the buy's push on s, from the documented formula, and nothing else.
    avg, shares = UNIVERSE[BOUGHT].avg_volume, UNIVERSE[BOUGHT].shares_outstanding
    intensity = min(max(0.15 * BUY / (avg / 390), 0.2), 1.5)
    push = 0.35 * 50 * intensity / (max(avg, 0.005 * shares) / 390) / 390
    first = cols["order_flow_impact"][:n]
    assert first[BOUGHT] == pytest.approx(push, rel=1e-12)
    # The difference in s is the push as the addition to s (|s| < 1) rounded it.
    assert abs(cols["mispricing_s"][BOUGHT] - first[BOUGHT]) <= 2.0**-53
    others = np.arange(n) != BOUGHT
    assert not cols["mispricing_s"][:n][others].any() and not first[others].any()
    for name in corvane.Engine.FACTORS:
        if name != "order_flow_impact":
            assert not cols[name][:n].any(), name

    # Later: the drivers, summed from the fork, make up the difference in s.
    # Each tick rounds s (|s| < 1) once, to half an ulp of 1 at most, in
    # each run: after k ticks the sums may be off by 2k such roundings.
    ticks_since = np.arange(len(cols["day"])) // n + 1
    drivers = sum(cols[name] for name in corvane.Engine.FACTORS)
    assert np.all(np.abs(drivers - cols["mispricing_s"]) <= 2 * ticks_since * 2.0**-53)
    assert np.abs(cols["mispricing_s"]).max() > push

    summary = comparison.summary
    entry = [e["op"] for e in fork.order_log].index("fork")
    assert summary["fork"] == {"entry": entry, "recorded_days": 1, "day_ticks": FORK_TICK}
    top = summary["instruments"][0]
    assert (top["ticker"], top["instrument_id"]) == (UNIVERSE[BOUGHT].ticker, BOUGHT)
    rows = cols["instrument_id"] == BOUGHT
    assert (top["peak"], top["last"]) == (np.abs(cols["mispricing_s"][rows]).max(), cols["mispricing_s"][rows][-1])
    assert top["drivers"] == {name: cols[name][rows][-1] for name in corvane.Engine.FACTORS}
    at = int(np.argmax(np.abs(cols["mispricing_s"][rows])))  # where the peak came
    assert (top["peak_day"], top["peak_tick"]) == (cols["day"][rows][at], cols["tick"][rows][at])

    with pytest.raises(ValidationError, match="share no fork point"):
        corvane.compare(parent, corvane.Engine(seed=11, universe=UNIVERSE))


def lineage_run():
    engine = mid_session_engine()
    saved = engine.state_snapshot()
    fork = engine.fork()
    fork.run_session(ticks=10, order_flow={UNIVERSE[0].ticker: (BUY, 0.0)})
    fork.restore_state(saved)
    finish(fork)
    return corvane.loads(corvane.dumps(corvane.manifest(fork))), fork


class TestManifests:
    def test_a_fork_with_a_restore_replays_exactly_and_an_edit_is_refused_by_name(self):
        written, fork = lineage_run()
        fork_entry = next(i for i, e in enumerate(written["order_log"]) if e["op"] == "fork")
        assert written["lineage"][0]["entry"] == fork_entry
        assert len(written["restored_states"]) == 1
        replayed = corvane.replay(written)
        assert replayed.state_digest() == fork.state_digest()
        assert replayed.table_digests() == fork.table_digests()
        assert replayed.order_log == fork.order_log
        for edit, named in [
            (lambda m: m["restored_states"][0]["columns"].update(price=bytes(48)), r"entry \d+ \(restore_state\)"),
            (lambda m: m["lineage"][0].update(parent_order_log="0" * 64), r"'lineage'\[0\]"),
            (lambda m: m["order_log"][fork_entry].update(day_ticks=3), r"entry \d+ \(fork\)"),
        ]:
            edited = copy.deepcopy(written)
            edit(edited)
            with pytest.raises(ValidationError, match=named):
                corvane.replay(edited)


def test_whatif_forks_the_logged_run_and_adds_its_flow_to_the_logged_flow():
    traded, untraded = UNIVERSE[0].ticker, UNIVERSE[1].ticker
    logged = {traded: (300.0, 100.0)}
    run = corvane.Engine(seed=4, universe=UNIVERSE)
    run.open_market()
    run.run_session(9, 30, 2, 40, order_flow=logged, close_at_end=True)
    parent, fork, _ = corvane.whatif(corvane.manifest(run), day=0, tick=12, ticks=3,
                                     flow={traded: (5000.0, 0.0), untraded: (0.0, 2000.0)})
    # The same minutes driven by hand: three ticks from tick 12 take the logged flow plus the extra.
    by_hand = corvane.Engine(seed=4, universe=UNIVERSE)
    by_hand.open_market()
    by_hand.run_session(9, 30, 2, 12, order_flow=logged)
    by_hand.run_session(9, 42, 2, 3, order_flow={traded: (5300.0, 100.0), untraded: (0.0, 2000.0)})
    by_hand.run_session(9, 45, 2, 25, order_flow=logged, close_at_end=True)
    assert fork.state_digest() == by_hand.state_digest() != run.state_digest() == parent.state_digest()


def test_verify_passes_the_commands_own_manifest_and_names_an_edit(tmp_path, capsys):
    run = tmp_path / "run"
    assert main(["simulate", "--size", "4", "--days", "2", "--ticks", "30", "--out", str(run), "--csv"]) == 0
    path = run / "manifest.json"
    assert main(["verify", str(path)]) == 0
    assert "PASS" in capsys.readouterr().out

    written = corvane.loads(path.read_text())
    written["table_digests"]["truth"] = "0" * 64
    receipt = corvane.verify(written)
    assert not receipt["passed"] and "'truth' table" in receipt["failure"]
    written = corvane.loads(path.read_text())
    written["state_digest"] = "1" * 64
    path.write_text(corvane.dumps(written))
    assert main(["verify", str(path)]) == 1
    assert "FAIL: replay reached state digest" in capsys.readouterr().out

    out = tmp_path / "whatif"
    ticker = written["universe"][0]["ticker"]
    assert main(["whatif", "--manifest", str(run / "manifest.json"), "--at", "1:10", "--flow", f"{ticker}=20000,0",
                 "--out", str(out)]) == 0
    assert (out / "comparison.png").exists()
    assert (out / "comparison.csv").read_text().splitlines()[1].startswith("1,10,0,")


def test_a_sweeps_manifest_holds_every_seeds_digest_and_verify_names_the_run_that_differs(tmp_path, capsys):
    out = tmp_path / "not" / "yet" / "there"
    assert main(["sweep", "--seeds", "3", "--first-seed", "5", "--size", "3", "--days", "1", "--ticks", "20",
                 "--out", str(out)]) == 0
    assert (out / "sweep.csv").read_text().count("\n") == 4 and (out / "sweep.png").exists()
    assert "market_return" in capsys.readouterr().out
    written = corvane.loads((out / "manifest.json").read_text())
    universe = corvane.random_instruments(3, seed=0)
    for seed, run in zip(range(5, 8), written["runs"]):
        engine = corvane.Engine(seed=seed, universe=universe)
        engine.run_days(1, ticks_per_day=20, record=False)
        # Sweeps record nothing: the tables are a fresh engine's (alike for all, so shared).
        run = {**written["shared"], **run}
        assert (run["seed"], run["state_digest"], run["table_digests"]) == (
            seed, engine.state_digest(), engine.table_digests())
    assert [i["ticker"] for i in written["shared"]["universe"]] == [i.ticker for i in universe]
    assert main(["verify", str(out / "manifest.json")]) == 0
    assert capsys.readouterr().out.count("pass") == 3

    written["runs"][1]["state_digest"] = "2" * 64
    receipt = corvane.verify(written)
    assert not receipt["passed"] and receipt["failure"].startswith("run 1 (seed 6) of 3: replay reached")
    assert [run["passed"] for run in receipt["runs"]] == [True, False, True]
    # A sweep manifest of the wrong shape fails its receipt; verify never raises for it.
    for broken in ({"runs": {"0": {}}}, {"shared": []}, {"runs": [[]]}):
        receipt = corvane.verify({**written, **broken})
        assert not receipt["passed"] and "holds a 'shared' object and a list of 'runs'" in receipt["failure"]
