// The order log as the interpreter reads it: one dict per entry, "op" first.
#include <variant>

#include "core/order_log.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"

namespace corvane::py {
namespace {

PyObject* impact_list(const std::vector<NewsImpactArg>& impacts) {
    return list_of(impacts, [](const NewsImpactArg& item) {
        PyObject* sectors = item.sectors ? list_of(*item.sectors) : Py_NewRef(Py_None);
        return DictBuilder()
            .add("ticker", item.ticker)
            .add("sector", item.sector)
            .add_object("sectors", sectors)
            .add("remaining_impact", item.remaining_impact)
            .add("reversal_phase", item.reversal_phase)
            .finish();
    });
}

// {ticker: [buy, sell]} in the logged (byte) order.
PyObject* flow_dict(const std::vector<FlowArg>& flow) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const FlowArg& item : flow) {
        Ref pair = Ref::steal(Py_BuildValue("[dd]", item.buy, item.sell));
        Ref key = Ref::steal(to_python(item.ticker));
        if (!pair || !key || PyDict_SetItem(out.get(), key.get(), pair.get()) < 0) return nullptr;
    }
    return out.release();
}

void add_clock(DictBuilder& dict, const Clock& clock) {
    dict.add("hour", clock.hour).add("minute", clock.minute).add("day_of_week", clock.day_of_week);
}

void add_inputs(DictBuilder& dict, const LoggedInputs& inputs) {
    dict.add_object("news", news_list(inputs.news))
        .add_object("order_flow", flow_dict(inputs.order_flow));
    // Present only when impacts were given, so plain logs keep their keys.
    if (!inputs.news_impacts.empty()) {
        dict.add_object("news_impacts", impact_list(inputs.news_impacts));
    }
}

PyObject* pin_fields(const MacroPin& pin) {
    DictBuilder dict;
    auto add = [&dict](const char* name, const std::optional<double>& value) {
        if (value) dict.add(name, *value);
    };
    add("vix", pin.vix);
    add("federal_funds_rate", pin.federal_funds_rate);
    add("corporate_bond_yield", pin.corporate_bond_yield);
    add("inflation_rate", pin.inflation_rate);
    add("qe_pe_boost", pin.qe_pe_boost);
    add("fear_greed_index", pin.fear_greed_index);
    if (pin.cycle) dict.add("cycle", name_of(*pin.cycle));
    return dict.finish();
}

// One writer per kind of entry: the op name, then that entry's fields.
void add_entry(DictBuilder& dict, const log_entry::OpenMarket&) { dict.add("op", "open_market"); }

void add_entry(DictBuilder& dict, const log_entry::CloseMarket&) { dict.add("op", "close_market"); }

void add_entry(DictBuilder& dict, const log_entry::Tick& e) {
    dict.add("op", "tick");
    add_clock(dict, e.clock);
    dict.add("volatility", e.clock.volatility);
    add_inputs(dict, e.inputs);
}

void add_entry(DictBuilder& dict, const log_entry::RunSession& e) {
    dict.add("op", "run_session");
    add_clock(dict, e.clock);
    dict.add("ticks", e.ticks)
        .add("volatility", e.clock.volatility)
        .add("close_at_end", e.close_at_end);
    add_inputs(dict, e.inputs);
}

void add_entry(DictBuilder& dict, const log_entry::RunUntil& e) {
    dict.add("op", "run_until")
        .add("ticker", e.ticker)
        .add("above", e.above)
        .add("below", e.below)
        .add("max_ticks", e.max_ticks);
    add_clock(dict, e.clock);
    dict.add("volatility", e.clock.volatility).add("ticks_run", e.ticks_run);
}

void add_entry(DictBuilder& dict, const log_entry::PinMacro& e) {
    dict.add("op", "pin_macro").add_object("fields", pin_fields(e.pin));
}

void add_entry(DictBuilder& dict, const log_entry::ListInstrument& e) {
    const InstrumentInit& i = e.instrument;
    dict.add("op", "list_instrument")
        .add("ticker", i.ticker)
        .add("sector", i.sector)
        .add("initial_price", i.initial_price)
        .add("shares_outstanding", i.shares_outstanding)
        .add("eps", i.eps)
        .add("book_value_per_share", i.book_value_per_share)
        .add("revenue_growth", i.revenue_growth)
        .add("avg_volume", i.avg_volume)
        .add("beta", i.beta)
        .add("short_interest", i.short_interest);
}

void add_entry(DictBuilder& dict, const log_entry::Delist& e) {
    dict.add("op", "delist").add("index", e.index);
}

void add_entry(DictBuilder& dict, const log_entry::Draw& e) {
    dict.add("op", e.normal ? "draw_normal" : "draw_uniform");
}

void add_entry(DictBuilder& dict, const log_entry::Record& e) {
    dict.add("op", "record").add("day", e.day);
}

void add_entry(DictBuilder& dict, const log_entry::RestoreState& e) {
    dict.add("op", "restore_state").add("state_digest", e.state_digest);
}

void add_entry(DictBuilder& dict, const log_entry::Fork& e) {
    dict.add("op", "fork").add("recorded_days", e.recorded_days).add("day_ticks", e.day_ticks);
}

void add_entry(DictBuilder& dict, const log_entry::ClearRecording&) {
    dict.add("op", "clear_recording");
}

void add_entry(DictBuilder& dict, const log_entry::SnapshotBook& e) {
    dict.add("op", "snapshot_book").add("day", e.day).add("tick", e.tick).add("levels", e.levels);
}

// A kind of entry without a writer above does not compile.
PyObject* entry_dict(const LogEntry& entry) {
    DictBuilder dict;
    std::visit([&dict](const auto& e) { add_entry(dict, e); }, entry);
    return dict.finish();
}

}  // namespace

PyObject* order_log_list(const OrderLog& log) { return list_of(log, entry_dict); }

}  // namespace corvane::py
