// Forks: a second simulation in exactly the state of the first.
//
// Everything is copied by value except the recorded days, whose columns are
// immutable and shared, so a fork costs about as much as the state it
// copies. The fork's log is the parent's history followed by a fork entry;
// from there the two are independent.
#include "core/simulation.hpp"

namespace corvane {

Simulation Simulation::fork() const {
    Simulation copy = *this;
    // A closed day's buffers wait for the next open to empty them: none of
    // their ticks are still to come.
    const std::uint64_t ticks = day_open_ ? day_ticks_ : 0;
    copy.log_.emplace_back(log_entry::Fork{recorded_days_.size(), ticks});
    return copy;
}

}  // namespace corvane
