// The recordings read out as Arrow tables: bars at any grain, the truth
// behind every tick, the macro rows and the recorded books.
//
// A recording keeps raw day columns, so one recording answers tick,
// N-minute and daily questions. Where a table column is a recorded column
// as it stands (tick-grain close, every truth column), the stream shares
// the recording's memory instead of copying it. Volume is recorded as the
// day's running total; every bar reports what traded within it.
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
    std::vector<DaySession> sessions;
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
        days.push_back({day.columns, day.sessions, day.ticks, day.instruments, day.day});
    }
    if (!days.empty()) return days;
    // Nothing recorded: the last session, with no close behind its jumps.
    const SessionBuffer& session = simulation.session();
    std::size_t n = std::min(session.instruments, session.start_volume.size());
    DaySession only{
        session.ticks_written, n,
        std::vector<double>(session.start_volume.begin(),
                            session.start_volume.begin() + static_cast<std::ptrdiff_t>(n))};
    TableDay last{{}, {std::move(only)}, session.ticks_written, n, label};
    std::size_t cells = static_cast<std::size_t>(session.ticks_written) * n;
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

// The cells of all the day's sessions, or nothing with ValidationError set
// when a day is too large to label its ticks.
std::optional<std::size_t> cells_of(const TableDay& day) {
    constexpr std::uint64_t LAST_LABEL = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t ticks = 0;
    std::size_t cells = 0;
    bool fits = true;
    for (const DaySession& session : day.sessions) {
        ticks += session.ticks;
        fits = fits && ticks <= LAST_LABEL && session.instruments <= LAST_LABEL &&
               session.ticks * session.instruments <=
                   std::numeric_limits<std::size_t>::max() / 2 - cells;
        if (!fits) break;
        cells += static_cast<std::size_t>(session.ticks * session.instruments);
    }
    if (!fits) {
        raise_validation(text::message("a day of ", day.ticks, " ticks x ", day.instruments,
                                       " instruments is too large to table"));
        return std::nullopt;
    }
    return cells;
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

// Calls `visit(t, n, cell)` for each session in order, `t` its first tick
// within the day, `n` its width and `cell` where its rows begin.
template <class Visit>
void each_session(const TableDay& day, Visit&& visit) {
    std::uint64_t t = 0;
    std::size_t cell = 0;
    for (const DaySession& session : day.sessions) {
        auto n = static_cast<std::size_t>(session.instruments);
        visit(session, t, n, cell);
        t += session.ticks;
        cell += static_cast<std::size_t>(session.ticks) * n;
    }
}

// The day, tick and instrument columns of a tick-major day.
void add_keys(const TableDay& day, std::size_t cells, RecordBatch& batch) {
    std::vector<std::uint32_t> labels(cells, day.label);
    std::vector<std::uint32_t> ticks(cells);
    std::vector<std::uint32_t> ids(cells);
    each_session(
        day, [&](const DaySession& session, std::uint64_t first, std::size_t n, std::size_t row) {
            for (std::uint64_t t = first; t < first + session.ticks; ++t) {
                for (std::size_t i = 0; i < n; ++i, ++row) {
                    ticks[row] = static_cast<std::uint32_t>(t);
                    ids[row] = static_cast<std::uint32_t>(i);
                }
            }
        });
    batch.columns.push_back(ColumnBuffer::u32(std::move(labels)));
    batch.columns.push_back(ColumnBuffer::u32(std::move(ticks)));
    batch.columns.push_back(ColumnBuffer::u32(std::move(ids)));
}

ColumnBuffer shared(const DayColumn& column, std::size_t cells) {
    return ColumnBuffer::f64(column, std::span<const double>(*column).first(cells));
}

// The recorded volume is the day's running total; a tick's volume is its
// rise over the tick before, or over the session's start for its first.
std::vector<double> tick_volumes(const TableDay& day, std::size_t cells) {
    const std::vector<double>& total = *day.columns[1];
    std::vector<double> traded(cells);
    each_session(day,
                 [&](const DaySession& session, std::uint64_t, std::size_t n, std::size_t base) {
                     for (std::uint64_t t = 0; t < session.ticks; ++t) {
                         std::size_t at = base + static_cast<std::size_t>(t) * n;
                         for (std::size_t i = 0; i < n; ++i) {
                             double before = t == 0 ? session.start_volume[i] : total[at - n + i];
                             traded[at + i] = total[at + i] - before;
                         }
                     }
                 });
    return traded;
}

// Where each bar of `width` ticks begins its rows, and last the row count:
// a bar has a row for every position some session in it had.
std::vector<std::size_t> bar_offsets(const TableDay& day, std::uint64_t width) {
    const std::uint64_t bars = day.ticks == 0 ? 0 : (day.ticks - 1) / width + 1;
    std::vector<std::size_t> wide(static_cast<std::size_t>(bars), 0);
    each_session(
        day, [&](const DaySession& session, std::uint64_t first, std::size_t n, std::size_t) {
            if (session.ticks == 0) return;
            for (std::uint64_t b = first / width; b <= (first + session.ticks - 1) / width; ++b) {
                wide[static_cast<std::size_t>(b)] = std::max(wide[static_cast<std::size_t>(b)], n);
            }
        });
    std::vector<std::size_t> offset(wide.size() + 1, 0);
    for (std::size_t b = 0; b < wide.size(); ++b) offset[b + 1] = offset[b] + wide[b];
    return offset;
}

// Bars of `width` ticks: open, high, low, close and volume per instrument.
// A position takes only the ticks of the sessions that had it. Its volume
// is the rise of the running total over each session's part of the bar.
RecordBatch bucketed(const TableDay& day, std::uint64_t width) {
    const std::vector<double>& price = *day.columns[0];
    const std::vector<double>& total = *day.columns[1];
    const std::vector<std::size_t> offset = bar_offsets(day, width);
    const std::size_t rows = offset.back();
    std::vector<std::uint32_t> labels(rows, day.label), indices(rows), ids(rows);
    std::vector<double> open(rows), high(rows, -std::numeric_limits<double>::infinity()),
        low(rows, std::numeric_limits<double>::infinity()), close(rows), traded(rows, 0.0);
    std::vector<bool> opened(rows, false);
    for (std::size_t b = 0; b + 1 < offset.size(); ++b) {
        for (std::size_t i = 0; i < offset[b + 1] - offset[b]; ++i) {
            indices[offset[b] + i] = static_cast<std::uint32_t>(b);
            ids[offset[b] + i] = static_cast<std::uint32_t>(i);
        }
    }
    each_session(
        day, [&](const DaySession& session, std::uint64_t first, std::size_t n, std::size_t base) {
            // Tick by tick, so each cross-section is read contiguously. A NaN
            // price never replaces the high or the low.
            for (std::uint64_t t = 0; t < session.ticks; ++t) {
                std::uint64_t b = (first + t) / width;
                std::size_t row = offset[static_cast<std::size_t>(b)];
                std::size_t at = base + static_cast<std::size_t>(t) * n;
                bool part_ends = t + 1 == session.ticks || (first + t + 1) % width == 0;
                for (std::size_t i = 0; i < n; ++i) {
                    double p = price[at + i];
                    if (!opened[row + i]) {
                        open[row + i] = p;
                        opened[row + i] = true;
                    }
                    close[row + i] = p;
                    if (p > high[row + i]) high[row + i] = p;
                    if (p < low[row + i]) low[row + i] = p;
                }
                if (!part_ends) continue;
                // The rise since the tick before this session's part of the bar.
                std::uint64_t start = std::max(b * width, first) - first;
                for (std::size_t i = 0; i < n; ++i) {
                    double before = start == 0
                                        ? session.start_volume[i]
                                        : total[base + static_cast<std::size_t>(start - 1) * n + i];
                    traded[row + i] += total[at + i] - before;
                }
            }
        });
    RecordBatch batch;
    batch.columns.push_back(ColumnBuffer::u32(std::move(labels)));
    batch.columns.push_back(ColumnBuffer::u32(std::move(indices)));
    batch.columns.push_back(ColumnBuffer::u32(std::move(ids)));
    for (std::vector<double>* column : {&open, &high, &low, &close, &traded}) {
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
        batch.columns.push_back(ColumnBuffer::f64(tick_volumes(day, *cells)));
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
    const auto& rows = simulation.macro_rows();
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
    const auto& rows = simulation.book_rows();
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
