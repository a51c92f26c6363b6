// The order log: every input that crossed into a simulation, in order.
//
// A seed alone does not reproduce a run: the market also depends on the
// caller's news, flow, pins and roster edits. The log records those inputs,
// never their consequences (prices, draws), so that seed, universe, model
// and log together identify a run's history and can replay it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/chunked.hpp"
#include "core/macro.hpp"
#include "core/universe.hpp"

namespace corvane {

// A caller's news event as validated at construction: scope by which of
// ticker and sector are set.
struct NewsArg {
    std::optional<std::string> ticker;
    std::optional<std::string> sector;
    double price_impact = 0.0;

    bool operator==(const NewsArg&) const = default;
};

// A caller's lingering news impact as validated at construction.
struct NewsImpactArg {
    std::optional<std::string> ticker;
    std::optional<std::string> sector;
    std::optional<std::vector<std::string>> sectors;
    double remaining_impact = 0.0;
    bool reversal_phase = false;

    bool operator==(const NewsImpactArg&) const = default;
};

// Caller flow for one ticker: buy volume, then sell volume.
struct FlowArg {
    std::string ticker;
    double buy = 0.0;
    double sell = 0.0;

    bool operator==(const FlowArg&) const = default;
};

// What a caller passes to one tick or session, before conversion.
struct CallInputs {
    std::vector<NewsArg> news;
    std::vector<NewsImpactArg> news_impacts;
    std::vector<FlowArg> order_flow;
};

// The same inputs as logged: news with the ticker's sector filled in, news
// impacts as given, flow sorted by ticker.
struct LoggedInputs {
    std::vector<NewsArg> news;
    std::vector<NewsImpactArg> news_impacts;
    std::vector<FlowArg> order_flow;

    bool operator==(const LoggedInputs&) const = default;
};

// The time a tick or session runs at, already checked.
struct Clock {
    std::int64_t hour = 9;
    std::int64_t minute = 30;
    std::int64_t day_of_week = 3;
    double volatility = 1.0;

    bool operator==(const Clock&) const = default;
};

namespace log_entry {

struct OpenMarket {
    bool operator==(const OpenMarket&) const = default;
};
struct CloseMarket {
    bool operator==(const CloseMarket&) const = default;
};
struct Tick {
    Clock clock;
    LoggedInputs inputs;
    bool operator==(const Tick&) const = default;
};
// `ticks` counts the ticks that ran, and `close_at_end` whether the close
// did: an interrupted session is logged as what happened.
struct RunSession {
    Clock clock;
    std::uint64_t ticks = 0;
    bool close_at_end = false;
    LoggedInputs inputs;
    bool operator==(const RunSession&) const = default;
};
struct RunUntil {
    std::string ticker;
    std::optional<double> above;
    std::optional<double> below;
    std::uint64_t max_ticks = 0;
    Clock clock;
    std::uint64_t ticks_run = 0;
    bool operator==(const RunUntil&) const = default;
};
// Values as passed: rates fractional.
struct PinMacro {
    MacroPin pin;
    bool operator==(const PinMacro&) const = default;
};
struct ListInstrument {
    InstrumentInit instrument;
    bool operator==(const ListInstrument&) const = default;
};
struct Delist {
    std::uint64_t index = 0;
    bool operator==(const Delist&) const = default;
};
struct Draw {
    bool normal = false;
    bool operator==(const Draw&) const = default;
};
struct Record {
    std::uint32_t day = 0;
    bool operator==(const Record&) const = default;
};
// Recordings are the caller's to keep or drop; a replay that rebuilds them
// needs to know when they were cleared and which books were recorded.
struct ClearRecording {
    bool operator==(const ClearRecording&) const = default;
};
struct SnapshotBook {
    std::uint32_t day = 0;
    std::uint32_t tick = 0;
    std::uint64_t levels = 0;
    bool operator==(const SnapshotBook&) const = default;
};
// The engine's state digest right after the restore: a history that
// restored a state cannot be replayed from its inputs alone, and this says
// which state it jumped to.
struct RestoreState {
    std::string state_digest;
    bool operator==(const RestoreState&) const = default;
};
// Where a fork left its parent: the entries before it are the parent's
// history, and the tables stood at `recorded_days` days plus `day_ticks`
// ticks of the open day, which is where the two runs can first differ.
struct Fork {
    std::uint64_t recorded_days = 0;
    std::uint64_t day_ticks = 0;
    bool operator==(const Fork&) const = default;
};

}  // namespace log_entry

using LogEntry = std::variant<log_entry::OpenMarket, log_entry::CloseMarket, log_entry::Tick,
                              log_entry::RunSession, log_entry::RunUntil, log_entry::PinMacro,
                              log_entry::ListInstrument, log_entry::Delist, log_entry::Draw,
                              log_entry::Record, log_entry::RestoreState, log_entry::ClearRecording,
                              log_entry::SnapshotBook, log_entry::Fork>;

// Forks share the entries logged before them.
using OrderLog = Chunked<LogEntry>;

}  // namespace corvane
