// Forks: a second simulation in exactly the state of the first.
//
// The engine's state is copied by value; what only grows or is written
// once (the recordings, the log's older entries, the open day's finished
// sessions, the last session's matrices) is shared, so a fork costs about as
// much as the state it copies. The fork's log is the parent's history
// followed by a fork entry; from there the two are independent.
#include "core/simulation.hpp"

namespace corvane {

Simulation Simulation::fork() const {
    Simulation copy = *this;
    // A closed day's buffers wait for the next open to empty them: none of
    // their ticks are still to come.
    const std::uint64_t ticks = day_open_ ? day_ticks_ : 0;
    // The entry and the spare clear_recording takes.
    copy.log_.make_room(2);
    copy.log_.emplace_back(log_entry::Fork{recorded_days_.size(), ticks});
    return copy;
}

}  // namespace corvane
