import concurrent.futures
import functools
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import corvane


def final_prices(seed, days=1):
    engine = corvane.Engine(seed=seed, universe=corvane.random_instruments(4))
    engine.run_days(days, ticks_per_day=30, record=False)
    return seed, engine.prices(), engine.state_digest()


def refuse_seed_5(seed):
    if seed == 5:
        raise corvane.ValidationError("five is unlucky")
    return seed


class TestSweep:
    SEEDS = range(100, 132)

    def test_same_results_in_seed_order_on_every_executor(self):
        from distributed import Client, LocalCluster

        expected = [final_prices(seed) for seed in self.SEEDS]
        seen = []
        assert corvane.sweep(final_prices, self.SEEDS, progress=lambda *p: seen.append(p)) == expected
        assert seen[-1] == (32, 32) and len(seen) == 32
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            assert corvane.sweep(final_prices, self.SEEDS, executor=pool) == expected
        with LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None) as cluster:
            with Client(cluster) as client:
                run = functools.partial(final_prices, days=1)
                assert corvane.sweep(run, self.SEEDS, executor=client.get_executor()) == expected


def sleep_on_3(path, seed):
    if seed == 3:
        path.write_text(str(os.getpid()))
        time.sleep(30 if path.name == "pid" else 0.6)
    return seed


def nap(seconds, seed):
    time.sleep(seconds)
    return seed


def misbehave(seed):
    if seed == 2:
        sys.exit(4)
    return threading.Lock() if seed == 1 else seed


class TestHostileWork:
    def test_a_seed_past_its_time_names_itself_and_leaves_no_worker(self, tmp_path):
        with pytest.raises(TimeoutError, match="seed 3 ran past its 0.5 s"):
            corvane.sweep(functools.partial(sleep_on_3, tmp_path / "pid"), range(6), timeout=0.5)
        with pytest.raises(ProcessLookupError):
            os.kill(int((tmp_path / "pid").read_text()), 0)
        # On threads the late seed is abandoned while it runs on.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            with pytest.raises(TimeoutError, match="seed 3"):
                corvane.sweep(functools.partial(sleep_on_3, tmp_path / "t"), range(6), executor=pool, timeout=0.2)
        assert corvane.sweep(functools.partial(sleep_on_3, tmp_path / "t"), [0, 1], timeout=5) == [0, 1]
        # A seed's time starts when a worker takes it, not while it waits its turn.
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            assert corvane.sweep(functools.partial(nap, 0.15), range(6), executor=pool, timeout=0.5) == list(range(6))

    def test_failures_exits_and_unpicklable_results_name_their_seed(self):
        with pytest.raises(corvane.ValidationError, match="five is unlucky") as raised:
            corvane.sweep(refuse_seed_5, range(8))
        assert raised.value.__notes__ == ["while running seed 5"]
        with pytest.raises(RuntimeError, match=r"fn\(2\) called exit\(4\)"):
            corvane.sweep(misbehave, [0, 2, 1])
        with pytest.raises(TypeError, match="pickle") as raised:
            corvane.sweep(misbehave, [0, 1, 2])
        assert raised.value.__notes__ == ["while running seed 1"]

    def test_a_function_of_a_fileless_main_runs_on_threads_with_one_warning(self):
        code = textwrap.dedent("""
            import warnings, corvane
            def twice(seed):
                return 2 * seed
            with warnings.catch_warnings(record=True) as quiet:
                warnings.simplefilter("always")
                print(corvane.sweep(abs, [-1, -2]), len(quiet))  # a module's function goes unwarned
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                print(corvane.sweep(twice, range(5)), corvane.sweep(twice, [7]))
                # A back-test's policy travels inside a partial of the package's own function.
                result = corvane.backtest(lambda o: o["position"] * 0, seeds=[3], episode_days=1)
            print(len(caught), caught[0].category.__name__, caught[0].message)
            print(result.rows[0]["turnover"])
        """)
        out = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", code],
                             capture_output=True, text=True, check=True, timeout=120).stdout
        assert out.startswith("[1, 2] 0\n[0, 2, 4, 6, 8] [14]\n1 RuntimeWarning ") and "define it in a module" in out
        assert out.endswith("\n0.0\n")
