// ArrowStream, its export through the Arrow C stream interface, and
// fills_stream. nanoarrow assembles the C structures; the column memory is
// never copied into them: each exported array holds a reference to its
// column's owner and drops it when the consumer releases the array.
#include "python/arrow.hpp"

#include <nanoarrow/nanoarrow.hpp>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

// ---- Schemas ----

constexpr ColumnType U8 = ColumnType::u8;
constexpr ColumnType U32 = ColumnType::u32;
constexpr ColumnType F64 = ColumnType::f64;
constexpr ColumnType UTF8 = ColumnType::utf8;

constexpr ColumnSpec BARS_TICK_COLUMNS[] = {
    {"day", U32}, {"tick", U32}, {"instrument_id", U32}, {"close", F64}, {"volume", F64},
};
constexpr ColumnSpec BARS_OHLC_COLUMNS[] = {
    {"day", U32},  {"bar", U32}, {"instrument_id", U32}, {"open", F64},
    {"high", F64}, {"low", F64}, {"close", F64},         {"volume", F64},
};
constexpr ColumnSpec TRUTH_COLUMNS[] = {
    {"day", U32},
    {"tick", U32},
    {"instrument_id", U32},
    {"mispricing_s", F64},
    {"fundamental_value", F64},
    {"anchor_price", F64},
    {"reversion", F64},
    {"momentum", F64},
    {"crowd_lean", F64},
    {"company_news", F64},
    {"order_flow_impact", F64},
    {"short_squeeze_effect", F64},
    {"random_noise", F64},
    {"circuit_breaker", F64},
    {"jump", F64},
};
// Each value is one run's minus the other's; the drivers run from the fork.
constexpr ColumnSpec COMPARISON_COLUMNS[] = {
    {"day", U32},
    {"tick", U32},
    {"instrument_id", U32},
    {"mispricing_s", F64},
    {"reversion", F64},
    {"momentum", F64},
    {"crowd_lean", F64},
    {"company_news", F64},
    {"order_flow_impact", F64},
    {"short_squeeze_effect", F64},
    {"random_noise", F64},
    {"circuit_breaker", F64},
    {"jump", F64},
    {"fundamental_value", F64},
    {"price", F64},
};
constexpr ColumnSpec MACRO_COLUMNS[] = {
    {"day", U32},
    {"vix", F64},
    {"federal_funds_rate", F64},
    {"corporate_bond_yield", F64},
    {"inflation_rate", F64},
    {"unemployment_rate", F64},
    {"gdp_growth", F64},
    {"qe_pe_boost", F64},
    {"fear_greed_index", F64},
    {"universe_stress", F64},
};
constexpr ColumnSpec BOOK_COLUMNS[] = {
    {"day", U32},   {"tick", U32},  {"instrument_id", U32}, {"side", U32},
    {"level", U32}, {"price", F64}, {"size", F64},
};
constexpr ColumnSpec FILLS_COLUMNS[] = {
    {"day", U32},      {"step", U32},  {"tick", U32},        {"instrument_id", U32},
    {"quantity", F64}, {"price", F64}, {"worst_price", F64}, {"notional", F64},
};

constexpr ColumnSpec UNIVERSE_COLUMNS[] = {
    {"instrument_id", U32},      {"ticker", UTF8},       {"sector", UTF8},
    {"shares_outstanding", F64}, {"initial_price", F64}, {"listed", U8},
};

// Bytes per value; a string column's offsets are sized here, its bytes by
// their own count.
std::size_t value_size(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::u8: return 1;
        case ColumnType::u32:
        case ColumnType::utf8: return 4;
        case ColumnType::f64: break;
    }
    return sizeof(double);
}

// ---- Tables ----

// What an ArrowStream object and every stream exported from it share.
struct Table {
    TableKind kind;
    std::vector<RecordBatch> batches;
    std::int64_t rows;
};

std::int64_t rows_of(const RecordBatch& batch) noexcept {
    return batch.columns.empty() ? 0 : static_cast<std::int64_t>(batch.columns[0].size());
}

// Empty when the batches fit the schema, else what is wrong; also sums the
// rows, refusing a total Arrow's 64-bit lengths cannot hold.
std::string check_batches(TableKind kind, const std::vector<RecordBatch>& batches,
                          std::int64_t& total) {
    auto schema = table_columns(kind);
    constexpr auto MAX_ROWS = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    total = 0;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        const auto& columns = batches[b].columns;
        if (columns.size() != schema.size()) {
            return text::message(table_name(kind), " batch ", b, " has ", columns.size(),
                                 " columns, expected ", schema.size());
        }
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (columns[c].type() != schema[c].type || columns[c].size() != columns[0].size()) {
                return text::message(table_name(kind), " batch ", b, ": column ", schema[c].name,
                                     " does not match the schema or the first column's length");
            }
        }
        std::size_t rows = columns[0].size();
        // Bytes, not just rows, must fit: nanoarrow sizes buffers in int64 bytes.
        if (rows > MAX_ROWS / sizeof(double) ||
            static_cast<std::int64_t>(rows) > std::numeric_limits<std::int64_t>::max() - total) {
            return text::message(table_name(kind), " has more rows than a stream can hold");
        }
        total += static_cast<std::int64_t>(rows);
    }
    return {};
}

// ---- The C structures ----

// nanoarrow reports failure as an errno code with a message.
void check(ArrowErrorCode code, const ArrowError& error) {
    if (code == NANOARROW_OK) return;
    if (code == ENOMEM) throw std::bad_alloc();
    throw std::runtime_error(text::message("assembling an Arrow batch failed: ", error.message));
}
void check(ArrowErrorCode code) { check(code, ArrowError{}); }

ArrowType arrow_type(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::u8: return NANOARROW_TYPE_UINT8;
        case ColumnType::u32: return NANOARROW_TYPE_UINT32;
        case ColumnType::utf8: return NANOARROW_TYPE_STRING;
        case ColumnType::f64: break;
    }
    return NANOARROW_TYPE_DOUBLE;
}

// A struct schema with one non-nullable field per column and no metadata.
void build_schema(TableKind kind, ArrowSchema* out) {
    auto columns = table_columns(kind);
    nanoarrow::UniqueSchema schema;
    ArrowSchemaInit(schema.get());
    check(ArrowSchemaSetTypeStruct(schema.get(), static_cast<std::int64_t>(columns.size())));
    schema->flags = 0;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        ArrowSchema* field = schema->children[c];
        check(ArrowSchemaSetType(field, arrow_type(columns[c].type)));
        check(ArrowSchemaSetName(field, columns[c].name));
        field->flags = 0;
    }
    schema.move(out);
}

// Called by nanoarrow when the consumer releases an array: drops the array's
// reference to its column.
void drop_owner(ArrowBufferAllocator* allocator, std::uint8_t*, std::int64_t) {
    delete static_cast<std::shared_ptr<const void>*>(allocator->private_data);
}

// Points `buffer` at `bytes` bytes from `data`, holding a reference to `owner`.
void share_into(ArrowBuffer* buffer, const std::shared_ptr<const void>& owner_of, const void* data,
                std::size_t bytes) {
    // nanoarrow gives an empty column a placeholder buffer of its own.
    if (!data) return;
    auto owner = std::make_unique<std::shared_ptr<const void>>(owner_of);
    check(ArrowBufferSetAllocator(buffer, ArrowBufferDeallocator(drop_owner, owner.get())));
    owner.release();
    // nanoarrow's buffers are mutable in type only: nothing writes to a
    // finished array.
    buffer->data = static_cast<std::uint8_t*>(const_cast<void*>(data));
    buffer->size_bytes = static_cast<std::int64_t>(bytes);
    buffer->capacity_bytes = buffer->size_bytes;
}

void share_into(ArrowArray* array, const ColumnBuffer& column) {
    if (column.type() != ColumnType::utf8) {
        share_into(ArrowArrayBuffer(array, 1), column.owner(), column.data(),
                   column.size() * value_size(column.type()));
        return;
    }
    const auto& strings = *static_cast<const Utf8Values*>(column.data());
    share_into(ArrowArrayBuffer(array, 1), column.owner(), strings.offsets.data(),
               strings.offsets.size() * sizeof(std::int32_t));
    share_into(ArrowArrayBuffer(array, 2), column.owner(), strings.bytes.data(),
               strings.bytes.size());
}

// A struct array over the batch's columns, without validity bitmaps.
void build_array(const RecordBatch& batch, ArrowArray* out) {
    const auto rows = rows_of(batch);
    nanoarrow::UniqueArray array;
    check(ArrowArrayInitFromType(array.get(), NANOARROW_TYPE_STRUCT));
    check(ArrowArrayAllocateChildren(array.get(), static_cast<std::int64_t>(batch.columns.size())));
    for (std::size_t c = 0; c < batch.columns.size(); ++c) {
        ArrowArray* child = array->children[c];
        check(ArrowArrayInitFromType(child, arrow_type(batch.columns[c].type())));
        share_into(child, batch.columns[c]);
        child->length = rows;
        child->null_count = 0;
    }
    array->length = rows;
    array->null_count = 0;
    ArrowError error{};
    check(ArrowArrayFinishBuildingDefault(array.get(), &error), error);
    array.move(out);
}

// ---- BatchReader: one exported stream ----
//
// Owned by the ArrowArrayStream it is the private data of, and so by the
// consumer; it touches no interpreter object, since a consumer may read and
// release the stream on any thread without the interpreter lock.
struct BatchReader {
    std::shared_ptr<const Table> table;
    std::size_t next = 0;
    std::string last_error;

    static BatchReader& of(ArrowArrayStream* stream) {
        return *static_cast<BatchReader*>(stream->private_data);
    }

    // A C callback must not unwind: failures become an errno code and a message.
    template <class Body>
    static int run(ArrowArrayStream* stream, Body&& body) noexcept {
        BatchReader& reader = of(stream);
        try {
            body(reader);
            return NANOARROW_OK;
        } catch (const std::bad_alloc&) {
            reader.last_error = "not enough memory for the next Arrow batch";
            return ENOMEM;
        } catch (const std::exception& error) {
            reader.last_error = error.what();
            return EIO;
        }
    }

    static int get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
        return run(stream, [out](BatchReader& reader) { build_schema(reader.table->kind, out); });
    }

    // The next batch, or a released array at the end (never an error).
    static int get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
        return run(stream, [out](BatchReader& reader) {
            if (reader.next == reader.table->batches.size()) {
                out->release = nullptr;
                return;
            }
            build_array(reader.table->batches[reader.next], out);
            ++reader.next;
        });
    }

    static const char* get_last_error(ArrowArrayStream* stream) noexcept {
        const std::string& error = of(stream).last_error;
        return error.empty() ? nullptr : error.c_str();
    }

    static void release(ArrowArrayStream* stream) noexcept {
        delete &of(stream);
        stream->release = nullptr;
    }
};

void export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
    out->private_data = new BatchReader{std::move(table), 0, {}};
    out->get_schema = BatchReader::get_schema;
    out->get_next = BatchReader::get_next;
    out->get_last_error = BatchReader::get_last_error;
    out->release = BatchReader::release;
}

// ---- ArrowStream ----

struct StreamValue {
    std::shared_ptr<const Table> table;
};

const Table& table_of(PyObject* self) { return *payload_of<StreamValue>(self).table; }

PyObject* ArrowStream_get_num_rows(PyObject* self, void*) { return to_python(table_of(self).rows); }

PyObject* ArrowStream_get_num_batches(PyObject* self, void*) {
    return to_python(table_of(self).batches.size());
}

PyObject* ArrowStream_get_columns(PyObject* self, void*) {
    return guarded([self] {
        return list_of(table_columns(table_of(self).kind),
                       [](const ColumnSpec& column) { return to_python(column.name); });
    });
}

PyObject* ArrowStream_repr(PyObject* self) {
    return guarded([self] {
        const Table& table = table_of(self);
        return to_python(text::message("ArrowStream(", text::quoted(table_name(table.kind)), ", ",
                                       table.rows, " rows in ", table.batches.size(),
                                       " batch(es))"));
    });
}

constexpr const char* CAPSULE_NAME = "arrow_array_stream";

// The capsule owns the stream structure; a consumer that took the stream
// left its release callback null, otherwise it is released here.
void release_capsule(PyObject* capsule) noexcept {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
    if (!stream) {
        PyErr_Clear();
        return;
    }
    if (stream->release) stream->release(stream);
    delete stream;
}

constexpr Param EXPORT_PARAMS[] = {optional_param("requested_schema")};
constexpr Signature EXPORT_SIGNATURE{"__arrow_c_stream__", EXPORT_PARAMS, 1};

// Returns a new capsule holding a fresh stream over every batch.
PyObject* ArrowStream_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        // A casting hint: this table has exactly one schema it can produce.
        PyObject* requested_schema = nullptr;
        if (!parse_args(EXPORT_SIGNATURE, args, nargs, kwnames, requested_schema)) return nullptr;
        auto stream = std::make_unique<ArrowArrayStream>();
        export_stream(payload_of<StreamValue>(self).table, stream.get());
        PyObject* capsule = PyCapsule_New(stream.get(), CAPSULE_NAME, release_capsule);
        if (!capsule) {
            stream->release(stream.get());
            return nullptr;
        }
        stream.release();
        return capsule;
    });
}

PyMethodDef ARROW_STREAM_METHODS[] = {
    keywords_method(
        "__arrow_c_stream__", ArrowStream_arrow_c_stream,
        signature_doc(EXPORT_SIGNATURE, "$self",
                      "Export every batch, from the first, as a new Arrow C stream in a capsule "
                      "named \"arrow_array_stream\". requested_schema is accepted and ignored: a "
                      "table has one schema and no column is cast narrower on request.")),
    {},
};

PyGetSetDef ARROW_STREAM_GETSET[] = {
    read_only("num_rows", ArrowStream_get_num_rows, "Total rows across every batch."),
    read_only("num_batches", ArrowStream_get_num_batches, "Number of record batches."),
    read_only("columns", ArrowStream_get_columns, "The schema's column names, in order."),
    {},
};

Class<StreamValue> ARROW_STREAM_CLASS{
    "corvane._core.ArrowStream",
    {
        .doc = "An immutable table of Arrow record batches sharing one schema. Any Arrow "
               "consumer reads it through __arrow_c_stream__ (pyarrow.table(s), "
               "polars.DataFrame(s), duckdb's SQL over a variable) without copying the columns; "
               "every export starts from the first batch and stays valid after this object is "
               "gone.",
        .repr = ArrowStream_repr,
        .methods = ARROW_STREAM_METHODS,
        .getset = ARROW_STREAM_GETSET,
    },
};

// ---- fills_stream ----

// A column argument: any iterable of values converting as T. Items are
// named "day[3]" in conversion errors.
template <class T>
SequenceArg<T> column(std::vector<T>& out) {
    return {out, "a sequence", Accepts::iterable};
}

constexpr Param FILLS_PARAMS[] = {{"day"},      {"step"},  {"tick"},        {"instrument_id"},
                                  {"quantity"}, {"price"}, {"worst_price"}, {"notional"}};
constexpr Signature FILLS_SIGNATURE{"fills_stream", FILLS_PARAMS, 8};

// Returns a new ArrowStream named "fills": one batch, the columns as given.
PyObject* fills_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::vector<std::uint32_t> day, step, tick, instrument_id;
        std::vector<double> quantity, price, worst_price, notional;
        if (!parse_args(FILLS_SIGNATURE, args, nargs, kwnames, column(day), column(step),
                        column(tick), column(instrument_id), column(quantity), column(price),
                        column(worst_price), column(notional))) {
            return nullptr;
        }
        const std::size_t expected = day.size();
        const std::pair<const char*, std::size_t> lengths[] = {
            {"step", step.size()},
            {"tick", tick.size()},
            {"instrument_id", instrument_id.size()},
            {"quantity", quantity.size()},
            {"price", price.size()},
            {"worst_price", worst_price.size()},
            {"notional", notional.size()},
        };
        for (const auto& [name, length] : lengths) {
            if (length != expected) {
                return raise_validation(
                    text::message(name, " has ", length, " rows, expected ", expected));
            }
        }
        std::vector<RecordBatch> batches(1);
        batches[0].columns = {
            ColumnBuffer::u32(std::move(day)),         ColumnBuffer::u32(std::move(step)),
            ColumnBuffer::u32(std::move(tick)),        ColumnBuffer::u32(std::move(instrument_id)),
            ColumnBuffer::f64(std::move(quantity)),    ColumnBuffer::f64(std::move(price)),
            ColumnBuffer::f64(std::move(worst_price)), ColumnBuffer::f64(std::move(notional)),
        };
        return new_arrow_stream(state_of_module(module), TableKind::fills, std::move(batches));
    });
}

}  // namespace

std::span<const ColumnSpec> table_columns(TableKind kind) noexcept {
    switch (kind) {
        case TableKind::bars_tick: return BARS_TICK_COLUMNS;
        case TableKind::bars_ohlc: return BARS_OHLC_COLUMNS;
        case TableKind::truth: return TRUTH_COLUMNS;
        case TableKind::macro: return MACRO_COLUMNS;
        case TableKind::book: return BOOK_COLUMNS;
        case TableKind::universe: return UNIVERSE_COLUMNS;
        case TableKind::comparison: return COMPARISON_COLUMNS;
        case TableKind::fills: break;
    }
    return FILLS_COLUMNS;
}

std::string_view table_name(TableKind kind) noexcept {
    switch (kind) {
        case TableKind::bars_tick:
        case TableKind::bars_ohlc: return "bars";
        case TableKind::truth: return "truth";
        case TableKind::macro: return "macro";
        case TableKind::book: return "book";
        case TableKind::universe: return "universe";
        case TableKind::comparison: return "comparison";
        case TableKind::fills: break;
    }
    return "fills";
}

ColumnBuffer ColumnBuffer::u32(std::vector<std::uint32_t>&& values) {
    return u32(std::make_shared<const std::vector<std::uint32_t>>(std::move(values)));
}

ColumnBuffer ColumnBuffer::f64(std::vector<double>&& values) {
    return f64(std::make_shared<const std::vector<double>>(std::move(values)));
}

ColumnBuffer ColumnBuffer::u8(std::vector<std::uint8_t>&& values) {
    auto owned = std::make_shared<const std::vector<std::uint8_t>>(std::move(values));
    const void* data = owned->data();
    std::size_t size = owned->size();
    return {ColumnType::u8, std::move(owned), data, size};
}

ColumnBuffer ColumnBuffer::utf8(const std::vector<std::string>& values) {
    auto strings = std::make_shared<Utf8Values>();
    strings->offsets.reserve(values.size() + 1);
    for (const std::string& value : values) {
        if (value.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) -
                               strings->bytes.size()) {
            throw std::length_error("a string column longer than Arrow's 32-bit offsets");
        }
        strings->bytes += value;
        strings->offsets.push_back(static_cast<std::int32_t>(strings->bytes.size()));
    }
    const void* data = strings.get();
    return {ColumnType::utf8, std::move(strings), data, values.size()};
}

ColumnBuffer ColumnBuffer::u32(std::shared_ptr<const void> owner,
                               std::span<const std::uint32_t> values) noexcept {
    return {ColumnType::u32, std::move(owner), values.data(), values.size()};
}

ColumnBuffer ColumnBuffer::f64(std::shared_ptr<const void> owner,
                               std::span<const double> values) noexcept {
    return {ColumnType::f64, std::move(owner), values.data(), values.size()};
}

ColumnBuffer ColumnBuffer::u32(std::shared_ptr<const std::vector<std::uint32_t>> values) noexcept {
    std::span<const std::uint32_t> view = *values;
    return u32(std::move(values), view);
}

ColumnBuffer ColumnBuffer::f64(std::shared_ptr<const std::vector<double>> values) noexcept {
    std::span<const double> view = *values;
    return f64(std::move(values), view);
}

PyObject* new_arrow_stream(const ModuleState& state, TableKind kind,
                           std::vector<RecordBatch> batches) {
    std::int64_t rows = 0;
    std::string problem = check_batches(kind, batches, rows);
    if (!problem.empty()) {
        set_error(PyExc_SystemError, problem);
        return nullptr;
    }
    auto table = std::make_shared<const Table>(Table{kind, std::move(batches), rows});
    return ARROW_STREAM_CLASS.create(state, StreamValue{std::move(table)});
}

TypeEntry& ARROW_STREAM = ARROW_STREAM_CLASS;
PyMethodDef FILLS_STREAM_FUNCTION = keywords_method(
    "fills_stream", fills_stream,
    signature_doc(
        FILLS_SIGNATURE, "",
        "A \"fills\" table of one batch from parallel columns, as given (no sorting, no checks of "
        "values): day, step, tick and instrument_id are sequences of unsigned 32-bit integers, the "
        "rest sequences of floats, all of one length."));

}  // namespace corvane::py
