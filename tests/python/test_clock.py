"""The engine's clock, runs that carry on from it, and record()'s warning about tick() days."""

import warnings

import pyarrow
import pytest

import corvane
from corvane import Engine, ValidationError

UNIVERSE = corvane.random_instruments(5, seed=2)
NEVER = {"ticker": UNIVERSE[0].ticker, "above": 1e12}


def engine(seed=11):
    return Engine(seed=seed, universe=UNIVERSE)


def test_a_day_driven_from_the_clock_records_390_ticks_in_order_and_logs_the_times_used():
    implicit, explicit = engine(), engine()
    implicit.open_market()
    # The open sets the clock; refused clock arguments change nothing.
    with pytest.raises(ValidationError, match="needs ticks"):
        implicit.run_session()
    with pytest.raises(ValidationError, match="hour, minute and day_of_week together"):
        implicit.run_session(10, 0, ticks=5)
    assert (implicit.order_log, implicit.clock, implicit.draws_consumed) == (
        [{"op": "open_market"}], (9, 30, 3), 0)
    assert implicit.run_session(ticks=100) == 100
    assert implicit.clock == (11, 10, 3)                     # 9:30 + 100 minutes
    assert implicit.run_until(**NEVER, max_ticks=290) is None
    assert implicit.clock == (16, 0, 3)
    implicit.record(0)
    ticks = pyarrow.table(implicit.bars()).column("tick").to_pylist()
    assert ticks == [t for t in range(390) for _ in UNIVERSE]

    explicit.open_market()
    explicit.run_session(9, 30, 3, 100)
    explicit.run_until(**NEVER, max_ticks=290, hour=11, minute=10, day_of_week=3)
    explicit.record(0)
    assert implicit.order_log == explicit.order_log
    assert [(e["hour"], e["minute"]) for e in implicit.order_log if "hour" in e] == [(9, 30), (11, 10)]
    assert implicit.state_digest() == explicit.state_digest()
    assert corvane.replay(corvane.manifest(implicit)).state_digest() == implicit.state_digest()


def test_the_clock_follows_ticks_sessions_and_closes_and_runs_on_past_the_bell():
    e = engine()
    assert e.clock is None
    e.tick(9, 30, 3)                                          # no day open: no clock
    assert e.clock is None
    e.run_session(15, 50, 2, 20)                              # opens the day; runs into after-hours
    assert e.clock == (16, 10, 2)
    e.tick(17, 59, 2)
    assert e.clock == (18, 0, 2)
    e.run_session(ticks=5, close_at_end=True)                 # the day stays open after its close
    assert e.clock == (18, 5, 2)
    e.close_market()
    assert e.clock is None
    e.run_until(**NEVER, max_ticks=3, minute=0)               # a time in part: 9:00 on day 3
    assert e.clock == (9, 3, 3)


def test_the_clock_is_saved_and_checked_by_snapshots_and_left_out_of_the_digest():
    saved = engine()
    saved.open_market()
    saved.run_session(ticks=7)
    snapshot = saved.state_snapshot()
    assert snapshot["clock"] == [9, 37, 3]
    target = engine()
    target.restore_state(snapshot)
    assert target.clock == (9, 37, 3)
    del snapshot["clock"]
    target.restore_state(snapshot)
    assert target.clock == (9, 30, 3)                         # an older snapshot: the open
    assert target.state_digest() == saved.state_digest()
    for clock, market_open in (([9, 60, 3], True), ([9, 0, 7], True), (None, True), ([9, 0, 3], False)):
        with pytest.raises(ValidationError, match="clock must be"):
            target.restore_state(dict(snapshot, clock=clock, market_open=market_open))
    assert target.clock == (9, 30, 3)


def test_record_warns_about_a_day_run_by_tick_and_replay_stays_silent():
    e = engine()
    e.open_market()
    for minute in range(30, 40):
        e.tick(9, minute, 3)
    with pytest.warns(RuntimeWarning, match="the 10 ticks run since the open were run by tick"):
        e.record(1)
    assert e.recorded_days == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            e.record(2)                                       # as an error, nothing is kept
        assert [entry["op"] for entry in e.order_log].count("record") == 1
        assert corvane.replay(corvane.manifest(e)).recorded_days == 1
        e.run_session(ticks=1)
        e.record(3)                                           # a session reached the day: no warning
    assert e.recorded_days == 2
