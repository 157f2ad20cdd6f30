#pragma once
// The exchanges of one connection shard that await their answers, by sequence. Sequences
// are handed out in ascending order and answers mostly return in it, so an exchange is
// added at the back and its answer usually takes the front: no node is allocated per
// exchange, as a map allocates one, and neither end shifts the rest.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace Platform {

template <class Waiter>
class PendingAnswers {
  public:
    using Entry = std::pair<uint64_t, Waiter>;

    /// Adds the waiter of `sequence`; one already there for it is replaced.
    void add(uint64_t sequence, Waiter waiter) {
        if (entries_.empty() || entries_.back().first < sequence) {
            entries_.emplace_back(sequence, std::move(waiter));
            return;
        }
        // Senders on other threads may have added later sequences first.
        const auto it = find(sequence);
        if (it != entries_.end() && it->first == sequence) {
            it->second = std::move(waiter);
            return;
        }
        entries_.emplace(it, sequence, std::move(waiter));
    }

    /// Takes the waiter of `sequence` out; empty when there is none.
    std::optional<Waiter> take(uint64_t sequence) {
        if (!entries_.empty() && entries_.front().first == sequence) {
            std::optional<Waiter> waiter(std::move(entries_.front().second));
            entries_.pop_front();
            return waiter;
        }
        const auto it = find(sequence);
        if (it == entries_.end() || it->first != sequence) return std::nullopt;
        std::optional<Waiter> waiter(std::move(it->second));
        entries_.erase(it);
        return waiter;
    }

    /// Every waiter, in sequence order, leaving none.
    std::deque<Entry> takeAll() { return std::exchange(entries_, {}); }

    std::size_t size() const noexcept { return entries_.size(); }

  private:
    typename std::deque<Entry>::iterator find(uint64_t sequence) {
        return std::lower_bound(entries_.begin(), entries_.end(), sequence,
                                [](const Entry& e, uint64_t s) { return e.first < s; });
    }
    std::deque<Entry> entries_;
};

}  // namespace Platform
