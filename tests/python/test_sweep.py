import concurrent.futures
import functools

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

    def test_a_failure_on_the_default_pool_keeps_its_type_and_names_its_seed(self):
        with pytest.raises(corvane.ValidationError, match="five is unlucky") as raised:
            corvane.sweep(refuse_seed_5, range(8))
        assert raised.value.__notes__ == ["while running seed 5"]
