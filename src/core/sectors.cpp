#include "core/sectors.hpp"

#include "core/text.hpp"

namespace corvane::sectors {

const SectorSpec* by_key(std::string_view key) noexcept {
    // Dispatch on length so that at most two whole-word comparisons run.
    auto match = [key](std::size_t index) -> const SectorSpec* {
        return TABLE[index].key == key ? &TABLE[index] : nullptr;
    };
    auto either = [&match](std::size_t first, std::size_t second) -> const SectorSpec* {
        const SectorSpec* found = match(first);
        return found ? found : match(second);
    };
    switch (key.size()) {
        case 6: return match(3);        // energy
        case 9: return either(7, 9);    // materials, utilities
        case 10: return either(0, 2);   // technology, healthcare
        case 11: return either(6, 8);   // industrials, real_estate
        case 16: return match(5);       // consumer_staples
        case 18: return either(1, 10);  // financial_services, telecommunications
        case 14: return match(11);      // transportation
        case 22: return match(4);       // consumer_discretionary
        default: break;
    }
    return nullptr;
}

std::string unknown_sector_message(std::string_view key) {
    std::array<std::string_view, COUNT> keys;
    for (std::size_t i = 0; i < COUNT; ++i) keys[i] = TABLE[i].key;
    return text::message("unknown sector ", text::quoted(key),
                         ". Valid sectors: ", text::join(keys));
}

}  // namespace corvane::sectors
