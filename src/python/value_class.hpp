// A read-only value class declared by its fields. From one list of (member,
// name, doc) come the attributes, pickling as the tuple of the fields in
// order, and the repr "Name(field=value, ...)", so a new value class is its
// field list and a Class line:
//
//     constexpr ValueFields<SweepCost, &SweepCost::average_price, &SweepCost::filled>
//         SWEEP_COST_FIELDS{"SweepCost", {{"average_price", "..."}, {"filled", "..."}}};
//     Class<SweepCost> SWEEP_COST_CLASS{"corvane._core.SweepCost",
//                                       value_slots<SWEEP_COST_FIELDS>("... Read-only.")};
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "core/text.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {

struct FieldText {
    const char* name;
    const char* doc;
};

template <class Payload, auto... Members>
struct ValueFields {
    using Type = Payload;
    static constexpr std::size_t COUNT = sizeof...(Members);
    // The short name, as the repr and the pickling errors show it.
    const char* name;
    std::array<FieldText, COUNT> fields;

    // Calls `visit.operator()<member>(its text)` for each field, in order.
    template <class Visit>
    constexpr void each(Visit&& visit) const {
        std::size_t i = 0;
        (visit.template operator()<Members>(fields[i++]), ...);
    }
};

template <const auto& Fields>
PyObject* value_repr(PyObject* self) noexcept {
    return guarded([self] {
        using Payload = typename std::remove_cvref_t<decltype(Fields)>::Type;
        const Payload& value = payload_of<Payload>(self);
        std::string text = std::string(Fields.name) + "(";
        const char* separator = "";
        Fields.each([&]<auto Member>(FieldText field) {
            const auto& item = value.*Member;
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(item)>, std::string>) {
                text += text::message(separator, field.name, "=", text::quoted(item));
            } else {
                text += text::message(separator, field.name, "=", item);
            }
            separator = ", ";
        });
        return to_python(text + ")");
    });
}

template <const auto& Fields>
PyObject* value_reduce(PyObject* self) {
    using Payload = typename std::remove_cvref_t<decltype(Fields)>::Type;
    const Payload& value = payload_of<Payload>(self);
    return [&]<auto... Members>(const ValueFields<Payload, Members...>&) {
        return values_tuple(value.*Members...);
    }
    (Fields);
}

template <const auto& Fields>
PyObject* value_rebuild(PyTypeObject* type, PyObject* values) {
    using Payload = typename std::remove_cvref_t<decltype(Fields)>::Type;
    Payload value{};
    bool read = [&]<auto... Members>(const ValueFields<Payload, Members...>&) {
        return read_values(Fields.name, values, value.*Members...);
    }
    (Fields);
    return read ? create(type, std::move(value)) : nullptr;
}

// The attributes, one per field, and the terminator.
template <const auto& Fields>
inline auto value_getset = [] {
    std::array<PyGetSetDef, std::remove_cvref_t<decltype(Fields)>::COUNT + 1> table{};
    std::size_t i = 0;
    Fields.each([&]<auto Member>(FieldText field) {
        table[i++] = read_only<Member>(field.name, field.doc);
    });
    return table;
}();

template <const auto& Fields>
ClassSlots value_slots(const char* doc, reprfunc repr = value_repr<Fields>) {
    return {
        .doc = doc,
        .repr = repr,
        .getset = value_getset<Fields>.data(),
        .reduce = value_reduce<Fields>,
        .rebuild = value_rebuild<Fields>,
    };
}

}  // namespace corvane::py
