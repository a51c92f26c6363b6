// libFuzzer target: the order book driven by arbitrary operation streams.
//
// Each input is a sequence of operations decoded from bytes (post, maker
// level, market or limit order, cancel, sweep quote), with prices and sizes
// drawn from a mix of ordinary values and hostile ones (zero, negative,
// NaN, infinities, subnormals). Besides surviving under the sanitizers, the
// book must stay a book: each side sorted best first, depth equal to the sum
// of its levels, a sweep quote never filling more than was asked.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/order_book.hpp"

namespace {

using namespace corvane;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    double number() {
        static constexpr double SPECIAL[] = {0.0,
                                             -0.0,
                                             -1.0,
                                             1e-320,
                                             1e308,
                                             -1e308,
                                             0.01,
                                             1e9,
                                             std::numeric_limits<double>::infinity(),
                                             std::numeric_limits<double>::quiet_NaN()};
        std::uint8_t kind = byte();
        if (kind < 40) return SPECIAL[kind % 10];
        // An ordinary price or size: cents or whole shares.
        return static_cast<double>(byte() + 256 * (kind % 8)) / ((kind & 1) ? 100.0 : 1.0);
    }
    Side side() { return (byte() & 1) ? Side::sell : Side::buy; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void check_side(const OrderBook& book, Side side) {
    auto orders = book.orders(side);
    for (std::size_t i = 1; i < orders.size(); ++i) {
        bool ordered = side == Side::buy ? orders[i - 1].price >= orders[i].price
                                         : orders[i - 1].price <= orders[i].price;
        if (!ordered) std::abort();
    }
    double summed = 0.0;
    for (const PriceLevel& level : book.price_levels(side, orders.size() + 1)) {
        summed += level.quantity;
    }
    // Sizes near the largest double sum to infinity in either grouping.
    double depth = book.depth(side);
    if (std::isinf(depth) || std::isinf(summed)) {
        if (!(depth > 1e307 && summed > 1e307)) std::abort();
    } else if (!(std::fabs(summed - depth) <= 1e-9 * std::fmax(1.0, std::fabs(depth)))) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    OrderBook book("FUZ-0", in.number());
    std::string owners[] = {"mm", "a", "b"};
    while (!in.done()) {
        switch (in.byte() % 6) {
            case 0:
                (void)book.post_limit(in.side(), in.number(), in.number(), owners[in.byte() % 3]);
                break;
            case 1: {
                // The maker builds its ladder in worsening price order with
                // finite, positive sizes; that is the call's contract.
                Side side = in.side();
                auto orders = book.orders(side);
                double step = static_cast<double>(in.byte() % 50 + 1) / 100.0;
                double price = orders.empty()      ? 50.0
                               : side == Side::buy ? orders.back().price - step
                                                   : orders.back().price + step;
                if (price > 0.0 && std::isfinite(price)) {
                    (void)book.append_maker_level(side, price, in.byte() + 1.0, "mm");
                }
                break;
            }
            case 2: (void)book.submit(in.side(), in.number(), "taker"); break;
            case 3:
                (void)book.submit(in.side(), in.number(), "taker", in.number(), in.byte() & 1);
                break;
            case 4: {
                auto orders = book.orders(in.side());
                if (!orders.empty()) {
                    (void)book.cancel_order(
                        book.id_text(orders[in.byte() % orders.size()].order_id));
                } else {
                    (void)book.cancel_all_for(owners[in.byte() % 3]);
                }
                break;
            }
            default: {
                double wanted = in.number();
                auto cost = book.sweep_cost(in.side(), wanted);
                if (cost && std::isfinite(wanted) && cost->filled > wanted) std::abort();
            }
        }
        check_side(book, Side::buy);
        check_side(book, Side::sell);
    }
    return 0;
}
