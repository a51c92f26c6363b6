// Tables leave the module as streams of Arrow record batches, wrapped in
// `ArrowStream` objects that speak the Arrow PyCapsule stream protocol.
//
// A table is an immutable list of record batches, all with one of six fixed
// schemas (`TableKind`). A batch's columns are `ColumnBuffer`s: contiguous
// values owned through a reference count, which every export of the table
// shares. An exported C stream therefore hands consumers the very memory the
// table was built from, and keeps it alive after the `ArrowStream` is gone.
//
// Building a table from recorded days, inside a `guarded` body (allocation
// failure throws std::bad_alloc):
//
//     std::vector<RecordBatch> batches;
//     for (const std::shared_ptr<const RecordedDay>& day : recorded_days) {
//         std::size_t m = day->ticks * day->instruments;  // checked for overflow
//         std::vector<std::uint32_t> labels(m, day->label), ticks(m), ids(m);
//         ...
//         batches.push_back({{
//             ColumnBuffer::u32(std::move(labels)),  // moved: no copy
//             ColumnBuffer::u32(std::move(ticks)),
//             ColumnBuffer::u32(std::move(ids)),
//             // Shared with the recording (which must never change them):
//             ColumnBuffer::f64(day, std::span(day->price).first(m)),
//             ColumnBuffer::f64(day, std::span(day->volume).first(m)),
//         }});
//     }
//     return new_arrow_stream(state, TableKind::bars_tick, std::move(batches));
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/types.hpp"

namespace corvane::py {

enum class TableKind { bars_tick, bars_ohlc, truth, macro, book, fills, universe, comparison };

enum class ColumnType { u8, u32, f64, utf8 };

// A column of strings as Arrow lays it out: `offsets` (one more than the
// strings) into the concatenated UTF-8 `bytes`.
struct Utf8Values {
    std::vector<std::int32_t> offsets{0};
    std::string bytes;
};

struct ColumnSpec {
    const char* name;
    ColumnType type;
};

// The columns of `kind`'s schema, in order.
std::span<const ColumnSpec> table_columns(TableKind kind) noexcept;
// The table's name: "bars" (both grains), "truth", "macro", "book", "fills",
// "universe", "comparison".
std::string_view table_name(TableKind kind) noexcept;

// One column's values, contiguous and immutable, owned by a reference count
// (atomic, so a consumer may drop its last reference on any thread).
class ColumnBuffer {
public:
    // Takes the vector's memory: moving a vector keeps its buffer, so what
    // Arrow reads is the memory `values.data()` pointed to before the call.
    static ColumnBuffer u32(std::vector<std::uint32_t>&& values);
    static ColumnBuffer f64(std::vector<double>&& values);
    static ColumnBuffer u8(std::vector<std::uint8_t>&& values);
    // Throws std::length_error past Arrow's 32-bit string offsets.
    static ColumnBuffer utf8(const std::vector<std::string>& values);

    // Shares memory that `owner` keeps alive: `values` must lie in it and
    // must never change while any stream or batch may read it.
    static ColumnBuffer u32(std::shared_ptr<const void> owner,
                            std::span<const std::uint32_t> values) noexcept;
    static ColumnBuffer f64(std::shared_ptr<const void> owner,
                            std::span<const double> values) noexcept;
    // Shares a whole vector.
    static ColumnBuffer u32(std::shared_ptr<const std::vector<std::uint32_t>> values) noexcept;
    static ColumnBuffer f64(std::shared_ptr<const std::vector<double>> values) noexcept;

    ColumnType type() const noexcept { return type_; }
    // Number of values.
    std::size_t size() const noexcept { return size_; }
    // The values; for utf8, the Utf8Values.
    const void* data() const noexcept { return data_; }
    const std::shared_ptr<const void>& owner() const noexcept { return owner_; }

private:
    ColumnBuffer(ColumnType type, std::shared_ptr<const void> owner, const void* data,
                 std::size_t size) noexcept
        : type_(type), owner_(std::move(owner)), data_(data), size_(size) {}

    ColumnType type_;
    std::shared_ptr<const void> owner_;
    const void* data_;
    std::size_t size_;
};

// One record batch: a buffer per schema column, all of one length (the
// batch's row count).
struct RecordBatch {
    std::vector<ColumnBuffer> columns;
};

// A new ArrowStream object of `state`'s module holding `batches` in order;
// null with an error set. Batches that do not fit `kind`'s schema (column
// count, types, unequal lengths) are an internal error (SystemError), never
// a caller's. May throw std::bad_alloc: call it inside `guarded`.
PyObject* new_arrow_stream(const ModuleState& state, TableKind kind,
                           std::vector<RecordBatch> batches);

}  // namespace corvane::py
