// The subkeys or the values of one registry key: kept in creation order, which is
// the order of enumeration and of the policy file, and found by name in constant
// expected time. Names compare case-insensitively (ASCII), as registry names do.
//
// Removal leaves a hole in the order that the next positional access closes, so
// removing every entry of a key one by one costs linear time, not quadratic.
// Items live behind unique_ptr: the index holds views of their names, which must
// not move.
#ifndef KESTRUNE_PLATFORM_GPO_FILES_NAMED_LIST_H
#define KESTRUNE_PLATFORM_GPO_FILES_NAMED_LIST_H

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrune::platform {

bool names_equal(std::u16string_view a, std::u16string_view b);
size_t name_hash(std::u16string_view name);

// Item must offer `const std::u16string &list_name(const Item &)` found by ADL.
template <typename Item>
class NamedList {
    using Slots = std::vector<std::unique_ptr<Item>>;

public:
    // Walks the items in creation order, skipping holes.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Item;
        using difference_type = std::ptrdiff_t;
        using pointer = const Item *;
        using reference = const Item &;

        const_iterator() = default;
        const_iterator(typename Slots::const_iterator at, typename Slots::const_iterator end) : at_(at), end_(end)
        {
            skip_holes();
        }
        const Item &operator*() const { return **at_; }
        const Item *operator->() const { return at_->get(); }
        const_iterator &operator++()
        {
            ++at_;
            skip_holes();
            return *this;
        }
        bool operator==(const const_iterator &other) const { return at_ == other.at_; }

    private:
        void skip_holes()
        {
            while (at_ != end_ && *at_ == nullptr)
                ++at_;
        }
        typename Slots::const_iterator at_, end_;
    };

    const_iterator begin() const { return {slots_.begin(), slots_.end()}; }
    const_iterator end() const { return {slots_.end(), slots_.end()}; }
    size_t size() const { return index_.size(); }
    bool empty() const { return index_.empty(); }

    Item *find(std::u16string_view name) const
    {
        auto found = index_.find(name);
        return found == index_.end() ? nullptr : slots_[found->second].get();
    }

    // `item`'s name must not be in the list yet.
    Item &append(std::unique_ptr<Item> item)
    {
        slots_.push_back(std::move(item));
        try {
            index_.emplace(std::u16string_view(list_name(*slots_.back())), slots_.size() - 1);
        } catch (...) {
            slots_.pop_back();
            throw;
        }
        return *slots_.back();
    }

    // The item taken out, or null when there is none of that name.
    std::unique_ptr<Item> remove(std::u16string_view name)
    {
        auto found = index_.find(name);
        if (found == index_.end())
            return nullptr;
        std::unique_ptr<Item> item = std::move(slots_[found->second]);
        index_.erase(found);
        ++holes_;
        return item;
    }

    // The item at `position` in creation order, null past the end.
    Item *at(size_t position)
    {
        close_holes();
        return position < slots_.size() ? slots_[position].get() : nullptr;
    }

    // Every item, in creation order; the list is left empty. Allocates nothing.
    Slots release_all() noexcept
    {
        index_.clear();
        holes_ = 0;
        return std::exchange(slots_, Slots());
    }

private:
    struct Hash {
        size_t operator()(std::u16string_view name) const { return name_hash(name); }
    };
    struct Equal {
        bool operator()(std::u16string_view a, std::u16string_view b) const { return names_equal(a, b); }
    };

    void close_holes()
    {
        if (holes_ == 0)
            return;
        size_t kept = 0;
        for (auto &slot : slots_) {
            if (slot == nullptr)
                continue;
            index_.find(std::u16string_view(list_name(*slot)))->second = kept;
            if (&slots_[kept] != &slot)
                slots_[kept] = std::move(slot);
            ++kept;
        }
        slots_.resize(kept);
        holes_ = 0;
    }

    Slots slots_;
    std::unordered_map<std::u16string_view, size_t, Hash, Equal> index_;
    size_t holes_ = 0;
};

} // namespace kestrune::platform

#endif
