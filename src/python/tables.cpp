// The recordings read out as Arrow tables: bars at any grain, the truth
// behind every tick, the macro rows and the recorded books.
//
// A recording keeps raw day columns, so one recording answers tick,
// N-minute and daily questions. Where a table column is a recorded column
// as it stands (tick-grain close and volume, every truth column), the
// stream shares the recording's memory instead of copying it.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "core/simulation.hpp"
#include "core/text.hpp"
#include "python/arrow.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"

namespace corvane::py {
namespace {

// One day to read: the recorded one, or the last session when nothing was
// recorded.
struct TableDay {
    std::array<DayColumn, RECORDING_COLUMNS> columns;
    std::uint64_t ticks = 0;
    std::uint64_t instruments = 0;
    std::uint32_t label = 0;
};

DayColumn first_values(const std::vector<double>& source, std::size_t count) {
    count = std::min(count, source.size());
    return std::make_shared<const std::vector<double>>(
        source.begin(), source.begin() + static_cast<std::ptrdiff_t>(count));
}

std::vector<TableDay> table_days(const Simulation& simulation, std::uint32_t label) {
    std::vector<TableDay> days;
    for (const RecordedDay& day : simulation.recorded_days()) {
        days.push_back({day.columns, day.ticks, day.instruments, day.day});
    }
    if (!days.empty()) return days;
    // Nothing recorded: the last session, with no close behind its jumps.
    const SessionBuffer& session = simulation.session();
    TableDay last{{}, session.ticks_written, session.instruments, label};
    std::size_t cells = static_cast<std::size_t>(session.ticks_written) * session.instruments;
    const std::vector<double>* sources[JUMP_COLUMN] = {
        &session.price, &session.volume, &session.mispricing_s, &session.tick_fundamental,
        &session.tick_anchor};
    for (std::size_t k = 0; k < TICK_COMPONENTS; ++k) {
        sources[FIRST_FACTOR_COLUMN + k] = &session.components[k];
    }
    for (std::size_t c = 0; c < JUMP_COLUMN; ++c)
        last.columns[c] = first_values(*sources[c], cells);
    last.columns[JUMP_COLUMN] = std::make_shared<const std::vector<double>>(cells, 0.0);
    days.push_back(std::move(last));
    return days;
}

// ticks x instruments, or nothing with ValidationError set when a day is
// too large to label its ticks.
std::optional<std::size_t> cells_of(const TableDay& day) {
    constexpr std::uint64_t LAST_LABEL = std::numeric_limits<std::uint32_t>::max();
    if (day.ticks > LAST_LABEL || day.instruments > LAST_LABEL ||
        (day.instruments != 0 &&
         day.ticks > std::numeric_limits<std::size_t>::max() / day.instruments)) {
        raise_validation(text::message("a day of ", day.ticks, " ticks x ", day.instruments,
                                       " instruments is too large to table"));
        return std::nullopt;
    }
    return static_cast<std::size_t>(day.ticks * day.instruments);
}

bool long_enough(const TableDay& day, std::size_t cells, std::size_t first, std::size_t last,
                 const char* what) {
    for (std::size_t c = first; c <= last; ++c) {
        if (day.columns[c]->size() < cells) {
            raise_validation(text::message(what, " shorter than ", day.ticks, " ticks x ",
                                           day.instruments, " instruments"));
            return false;
        }
    }
    return true;
}

// The day, tick and instrument columns of a tick-major day.
void add_keys(const TableDay& day, std::size_t cells, RecordBatch& batch) {
    std::vector<std::uint32_t> labels(cells, day.label);
    std::vector<std::uint32_t> ticks(cells);
    std::vector<std::uint32_t> ids(cells);
    std::size_t row = 0;
    for (std::uint64_t t = 0; t < day.ticks; ++t) {
        for (std::uint64_t i = 0; i < day.instruments; ++i, ++row) {
            ticks[row] = static_cast<std::uint32_t>(t);
            ids[row] = static_cast<std::uint32_t>(i);
        }
    }
    batch.columns.push_back(ColumnBuffer::u32(std::move(labels)));
    batch.columns.push_back(ColumnBuffer::u32(std::move(ticks)));
    batch.columns.push_back(ColumnBuffer::u32(std::move(ids)));
}

ColumnBuffer shared(const DayColumn& column, std::size_t cells) {
    return ColumnBuffer::f64(column, std::span<const double>(*column).first(cells));
}

// Bars of `width` ticks: open, high, low, close and volume per instrument.
RecordBatch bucketed(const TableDay& day, std::uint64_t width) {
    const std::vector<double>& price = *day.columns[0];
    const std::vector<double>& volume = *day.columns[1];
    const std::size_t n = static_cast<std::size_t>(day.instruments);
    const std::uint64_t bars = day.ticks == 0 ? 0 : (day.ticks - 1) / width + 1;
    const std::size_t rows = static_cast<std::size_t>(bars) * n;
    std::vector<std::uint32_t> labels(rows, day.label), indices(rows), ids(rows);
    std::vector<double> open(rows), high(rows), low(rows), close(rows), total(rows);
    for (std::uint64_t b = 0; b < bars; ++b) {
        std::uint64_t start = b * width;
        std::uint64_t end = std::min(start + width, day.ticks);
        std::size_t base = static_cast<std::size_t>(b) * n;
        for (std::size_t i = 0; i < n; ++i) {
            indices[base + i] = static_cast<std::uint32_t>(b);
            ids[base + i] = static_cast<std::uint32_t>(i);
            open[base + i] = price[static_cast<std::size_t>(start) * n + i];
            close[base + i] = price[static_cast<std::size_t>(end - 1) * n + i];
            high[base + i] = -std::numeric_limits<double>::infinity();
            low[base + i] = std::numeric_limits<double>::infinity();
            total[base + i] = 0.0;
        }
        // Tick by tick, so each cross-section is read contiguously. A NaN
        // price never replaces the high or the low.
        for (std::uint64_t t = start; t < end; ++t) {
            std::size_t at = static_cast<std::size_t>(t) * n;
            for (std::size_t i = 0; i < n; ++i) {
                double p = price[at + i];
                if (p > high[base + i]) high[base + i] = p;
                if (p < low[base + i]) low[base + i] = p;
                total[base + i] += volume[at + i];
            }
        }
    }
    RecordBatch batch;
    batch.columns.push_back(ColumnBuffer::u32(std::move(labels)));
    batch.columns.push_back(ColumnBuffer::u32(std::move(indices)));
    batch.columns.push_back(ColumnBuffer::u32(std::move(ids)));
    for (std::vector<double>* column : {&open, &high, &low, &close, &total}) {
        batch.columns.push_back(ColumnBuffer::f64(std::move(*column)));
    }
    return batch;
}

}  // namespace

PyObject* bars_table(const ModuleState& state, const Simulation& simulation, std::uint32_t label,
                     std::optional<std::uint64_t> minutes, std::optional<std::string_view> grain) {
    if (minutes && grain) return raise_validation("pass either minutes or grain, not both");
    if (minutes && *minutes == 0) return raise_validation("minutes must be at least 1");
    bool by_day = false;
    if (!minutes && grain && *grain != "tick") {
        if (*grain != "day") {
            return raise_validation(text::message("unknown grain ", text::quoted(*grain),
                                                  ". Valid: \"tick\", \"day\", or minutes=N"));
        }
        by_day = true;
    }
    std::vector<RecordBatch> batches;
    for (const TableDay& day : table_days(simulation, label)) {
        std::optional<std::size_t> cells = cells_of(day);
        if (!cells || !long_enough(day, *cells, 0, 1, "buffer")) return nullptr;
        if (minutes || by_day) {
            std::uint64_t width = minutes ? *minutes : std::max<std::uint64_t>(day.ticks, 1);
            batches.push_back(bucketed(day, width));
            continue;
        }
        RecordBatch batch;
        add_keys(day, *cells, batch);
        batch.columns.push_back(shared(day.columns[0], *cells));
        batch.columns.push_back(shared(day.columns[1], *cells));
        batches.push_back(std::move(batch));
    }
    return new_arrow_stream(state, minutes || by_day ? TableKind::bars_ohlc : TableKind::bars_tick,
                            std::move(batches));
}

PyObject* truth_table(const ModuleState& state, const Simulation& simulation, std::uint32_t label) {
    std::vector<RecordBatch> batches;
    for (const TableDay& day : table_days(simulation, label)) {
        std::optional<std::size_t> cells = cells_of(day);
        if (!cells || !long_enough(day, *cells, 2, 4, "buffer") ||
            !long_enough(day, *cells, FIRST_FACTOR_COLUMN, JUMP_COLUMN, "component buffer")) {
            return nullptr;
        }
        RecordBatch batch;
        add_keys(day, *cells, batch);
        for (std::size_t c = 2; c < RECORDING_COLUMNS; ++c) {
            batch.columns.push_back(shared(day.columns[c], *cells));
        }
        batches.push_back(std::move(batch));
    }
    return new_arrow_stream(state, TableKind::truth, std::move(batches));
}

PyObject* macro_table(const ModuleState& state, const Simulation& simulation) {
    const std::vector<MacroRow>& rows = simulation.macro_rows();
    std::vector<std::uint32_t> days;
    std::array<std::vector<double>, 9> values;
    for (const MacroRow& row : rows) {
        days.push_back(row.day);
        std::size_t k = 0;
        for (double value : {row.vix, row.federal_funds_rate, row.corporate_bond_yield,
                             row.inflation_rate, row.unemployment_rate, row.gdp_growth,
                             row.qe_pe_boost, row.fear_greed_index, row.universe_stress}) {
            values[k++].push_back(value);
        }
    }
    RecordBatch batch;
    batch.columns.push_back(ColumnBuffer::u32(std::move(days)));
    for (std::vector<double>& column : values) {
        batch.columns.push_back(ColumnBuffer::f64(std::move(column)));
    }
    std::vector<RecordBatch> batches;
    batches.push_back(std::move(batch));
    return new_arrow_stream(state, TableKind::macro, std::move(batches));
}

PyObject* book_table(const ModuleState& state, const Simulation& simulation) {
    const std::vector<BookRow>& rows = simulation.book_rows();
    std::array<std::vector<std::uint32_t>, 5> keys;
    std::vector<double> prices;
    std::vector<double> sizes;
    for (const BookRow& row : rows) {
        std::size_t k = 0;
        for (std::uint32_t key : {row.day, row.tick, row.instrument_id, row.side, row.level}) {
            keys[k++].push_back(key);
        }
        prices.push_back(row.price);
        sizes.push_back(row.size);
    }
    RecordBatch batch;
    for (std::vector<std::uint32_t>& column : keys) {
        batch.columns.push_back(ColumnBuffer::u32(std::move(column)));
    }
    batch.columns.push_back(ColumnBuffer::f64(std::move(prices)));
    batch.columns.push_back(ColumnBuffer::f64(std::move(sizes)));
    std::vector<RecordBatch> batches;
    batches.push_back(std::move(batch));
    return new_arrow_stream(state, TableKind::book, std::move(batches));
}

}  // namespace corvane::py
