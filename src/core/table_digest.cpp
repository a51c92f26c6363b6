#include "core/table_digest.hpp"

#include <array>
#include <bit>
#include <concepts>
#include <cstdint>
#include <span>
#include <vector>

#include "core/sha256.hpp"
#include "core/simulation.hpp"

namespace corvane {
namespace {

class LittleEndianHasher {
public:
    // An unsigned integer's bytes, least significant first.
    template <std::unsigned_integral Unsigned>
    void add(Unsigned value) {
        std::array<unsigned char, sizeof(Unsigned)> bytes{};
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(value & 0xFFu);
            value = static_cast<Unsigned>(value >> 8);
        }
        hash_.update(bytes.data(), bytes.size());
    }
    void add(double value) { add(std::bit_cast<std::uint64_t>(value)); }
    void add(std::span<const double> values) {
        add(static_cast<std::uint64_t>(values.size()));
        if constexpr (std::endian::native == std::endian::little) {
            // Already the canonical bytes: hash the column in one pass.
            hash_.update(values.data(), values.size_bytes());
        } else {
            for (double value : values) add(value);
        }
    }

    std::string finish() { return hash_.finish_hex(); }

private:
    Sha256 hash_;
};

// One recorded day's header and the columns [first, last).
void add_day(LittleEndianHasher& hasher, const RecordedDay& day, std::size_t first,
             std::size_t last) {
    hasher.add(day.day);
    hasher.add(day.ticks);
    hasher.add(day.instruments);
    for (std::size_t k = first; k < last; ++k) {
        const DayColumn& column = day.columns[k];
        hasher.add(column ? std::span<const double>(*column) : std::span<const double>());
    }
}

}  // namespace

TableDigests table_digests(const Simulation& simulation) {
    const auto& days = simulation.recorded_days();
    LittleEndianHasher bars;
    LittleEndianHasher truth;
    bars.add(static_cast<std::uint64_t>(days.size()));
    truth.add(static_cast<std::uint64_t>(days.size()));
    for (const RecordedDay& day : days) {
        add_day(bars, day, 0, 2);
        // Bar volumes count from each session's start, so the sessions are
        // part of what the bars hold.
        bars.add(static_cast<std::uint64_t>(day.sessions.size()));
        for (const DaySession& session : day.sessions) {
            bars.add(session.ticks);
            bars.add(session.instruments);
            bars.add(std::span<const double>(session.start_volume));
        }
        add_day(truth, day, 2, RECORDING_COLUMNS);
    }

    LittleEndianHasher macro;
    macro.add(static_cast<std::uint64_t>(simulation.macro_rows().size()));
    for (const MacroRow& row : simulation.macro_rows()) {
        for (double value : {row.vix, row.federal_funds_rate, row.corporate_bond_yield,
                             row.inflation_rate, row.unemployment_rate, row.gdp_growth,
                             row.qe_pe_boost, row.fear_greed_index, row.universe_stress}) {
            macro.add(value);
        }
        macro.add(row.day);
    }

    LittleEndianHasher book;
    book.add(static_cast<std::uint64_t>(simulation.book_rows().size()));
    for (const BookRow& row : simulation.book_rows()) {
        book.add(row.price);
        book.add(row.size);
        for (std::uint32_t value : {row.day, row.tick, row.instrument_id, row.side, row.level}) {
            book.add(value);
        }
    }
    return {bars.finish(), truth.finish(), macro.finish(), book.finish()};
}

}  // namespace corvane
