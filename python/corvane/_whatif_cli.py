"""The `corvane whatif` and `corvane verify` commands."""

import argparse
from pathlib import Path
from typing import Any

import corvane
from corvane._whatif import receipt_text, verify, whatif


def _at(text: str) -> tuple[int, int]:
    day, _, tick = text.partition(":")
    try:
        return int(day), int(tick)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not DAY:TICK (two whole numbers)") from None


def _flow(text: str) -> tuple[str, tuple[float, float]]:
    ticker, _, volumes = text.partition("=")
    buy, _, sell = volumes.partition(",")
    try:
        return ticker, (float(buy), float(sell or 0.0))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not TICKER=BUY,SELL") from None


def _load(path: str) -> Any:
    return corvane.loads(Path(path).read_bytes())


def run_whatif(args: argparse.Namespace) -> int:
    import matplotlib
    import pyarrow as pa

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from corvane._charts import legend

    day, tick = args.at
    _, _, comparison = whatif(_load(args.manifest), day=day, tick=tick, flow=dict(args.flow), ticks=args.ticks)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    table = pa.table(comparison)
    import pyarrow.csv

    pyarrow.csv.write_csv(table, out / "comparison.csv")
    summary = comparison.summary
    top = summary["instruments"][:5]
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.5), constrained_layout=True)
    ids = table.column("instrument_id").to_numpy()
    for each in top:
        rows = ids == each["instrument_id"]
        left.plot(1e4 * table.column("mispricing_s").to_numpy()[rows], label=each["ticker"])
    left.set(title=f"Difference in s after the fork at day {day}, tick {tick}", xlabel="ticks", ylabel="bp")
    if top:
        legend(left)
        rows = ids == top[0]["instrument_id"]
        for name in corvane.Engine.FACTORS:
            values = table.column(name).to_numpy()[rows]
            if values.any():
                right.plot(1e4 * values, label=name)
        legend(right)
    right.set(title="Its drivers, summed from the fork", xlabel="ticks", ylabel="bp")
    fig.savefig(out / "comparison.png", dpi=100)
    plt.close(fig)
    print(f"fork at day {day}, tick {tick}: {summary['rows']} rows compared")
    for each in top:
        half = each["half_life_ticks"]
        print(
            f"  {each['ticker']:<8} peak {1e4 * each['peak']:.3f} bp at day {each['peak_day']} tick "
            f"{each['peak_tick']}, last {1e4 * each['last']:+.3f} bp, "
            + (f"halved {half} ticks after the peak" if half is not None else "not yet halved")
        )
    print(f"Wrote:\n  {out / 'comparison.csv'}\n  {out / 'comparison.png'}")
    return 0


def run_verify(args: argparse.Namespace) -> int:
    receipt = verify(_load(args.manifest))
    print(receipt_text(receipt))
    return 0 if receipt["passed"] else 1


def register(commands: Any) -> None:
    what = commands.add_parser(
        "whatif", help="fork a manifest's run at a tick, add order flow, compare by driver",
        description="Rebuild a saved run, fork it at a tick, give the fork extra order flow, and write "
        "the difference of every instrument's mispricing by driver (comparison.csv) and its chart.")
    what.add_argument("--manifest", required=True, help="a manifest.json (corvane simulate writes one)")
    what.add_argument("--at", type=_at, required=True, metavar="DAY:TICK", help="where to fork, both from 0")
    what.add_argument(
        "--flow", type=_flow, action="append", required=True, metavar="TICKER=BUY,SELL", help="the fork's extra flow"
    )
    what.add_argument("--ticks", type=int, default=1, help="ticks the extra flow lasts (default %(default)s)")
    what.add_argument("--out", default="corvane-whatif", help="output folder (default %(default)s)")
    what.set_defaults(handler=run_whatif)
    check = commands.add_parser(
        "verify", help="re-run a manifest and check its digests",
        description="Re-run a manifest and check the state digest and the recorded tables' digests it "
        "carries; print a receipt (version, platform, compiler, digests) and pass or fail.")
    check.add_argument("manifest", help="a manifest.json")
    check.set_defaults(handler=run_verify)
