// An append-only sequence whose older entries live in immutable chunks that
// copies share: copying it copies one pointer per chunk and the open tail,
// never the entries behind them. Appends go to the tail of the copy that
// makes them, so the other copies never see them.
//
// Appends follow the house rule for growth: make_room first (which may
// throw std::bad_alloc and then changes nothing), after which that many
// appends cannot fail.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace corvane {

template <class T, std::size_t CHUNK = 64>
class Chunked {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        const_iterator() = default;
        reference operator*() const noexcept { return owner_->part(chunk_)[at_]; }
        pointer operator->() const noexcept { return &**this; }
        const_iterator& operator++() noexcept {
            if (++at_ == owner_->part(chunk_).size() && chunk_ < owner_->chunks_.size()) {
                ++chunk_;
                at_ = 0;
            }
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator was = *this;
            ++*this;
            return was;
        }
        bool operator==(const const_iterator&) const = default;

    private:
        friend class Chunked;
        const_iterator(const Chunked* owner, std::size_t chunk, std::size_t at)
            : owner_(owner), chunk_(chunk), at_(at) {}
        const Chunked* owner_ = nullptr;
        // Index into the sealed chunks; their count stands for the tail.
        std::size_t chunk_ = 0;
        std::size_t at_ = 0;
    };

    std::size_t size() const noexcept { return sealed_ + tail_.size(); }
    bool empty() const noexcept { return size() == 0; }
    const_iterator begin() const noexcept { return const_iterator(this, 0, 0); }
    const_iterator end() const noexcept {
        return const_iterator(this, chunks_.size(), tail_.size());
    }

    const T& operator[](std::size_t index) const noexcept {
        if (index >= sealed_) return tail_[index - sealed_];
        // The first chunk starting past `index`, less one.
        auto after = std::upper_bound(starts_.begin(), starts_.end(), index);
        auto chunk = static_cast<std::size_t>(after - starts_.begin()) - 1;
        return (*chunks_[chunk])[index - starts_[chunk]];
    }
    const T& back() const noexcept { return tail_.empty() ? chunks_.back()->back() : tail_.back(); }

    // Room for `count` more appends. A tail without it is sealed first and
    // a new one started, so chunks stay near CHUNK entries.
    void make_room(std::size_t count) {
        if (tail_.capacity() - tail_.size() >= count) return;
        if (!tail_.empty()) {
            chunks_.reserve(chunks_.size() + 1);
            starts_.reserve(starts_.size() + 1);
            std::vector<T> fresh;
            fresh.reserve(std::max(count, CHUNK));
            // Allocated before the tail moves, so a failure leaves it whole.
            auto sealed = std::make_shared<const std::vector<T>>(std::move(tail_));
            starts_.push_back(sealed_);
            sealed_ += sealed->size();
            chunks_.push_back(std::move(sealed));
            tail_ = std::move(fresh);
            return;
        }
        tail_.reserve(std::max(count, CHUNK));
    }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        return tail_.emplace_back(std::forward<Args>(args)...);
    }
    void push_back(T item) { tail_.push_back(std::move(item)); }
    template <class It>
    void append(It first, It last) {
        tail_.insert(tail_.end(), first, last);
    }

    // Drops every entry and the memory this copy holds.
    void clear() noexcept {
        std::vector<std::shared_ptr<const std::vector<T>>>().swap(chunks_);
        std::vector<std::size_t>().swap(starts_);
        std::vector<T>().swap(tail_);
        sealed_ = 0;
    }

private:
    const std::vector<T>& part(std::size_t chunk) const noexcept {
        return chunk < chunks_.size() ? *chunks_[chunk] : tail_;
    }

    std::vector<std::shared_ptr<const std::vector<T>>> chunks_;
    // Index of each chunk's first entry.
    std::vector<std::size_t> starts_;
    std::size_t sealed_ = 0;
    std::vector<T> tail_;
};

}  // namespace corvane
