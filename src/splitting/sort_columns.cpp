#include "splitting/sort_columns.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace lindorf {

namespace {

// Byte digits: four passes, but each scatters to 256 places whose lines stay in the nearest
// cache, where 2,048 places (three passes of 11 bits) missed it on every store and took half as
// long again on ten million entries.
constexpr unsigned digit_count = 4;
constexpr std::size_t bucket_count = 256;
// Below this many entries the histograms cost more than they save.
constexpr std::size_t small_sort = 48;

unsigned digit(std::uint32_t key, unsigned pass) { return (key >> (8 * pass)) & 255; }

void insertion_sort(std::span<Entry> entries) {
    for (std::size_t i = 1; i < entries.size(); ++i) {
        Entry moving = entries[i];
        std::uint32_t key = sort_key(moving.value);
        std::size_t j = i;
        for (; j > 0 && sort_key(entries[j - 1].value) > key; --j) entries[j] = entries[j - 1];
        entries[j] = moving;
    }
}

void scatter(std::span<const Entry> from, std::span<Entry> to, unsigned pass,
             std::array<std::uint32_t, bucket_count>& counts) {
    std::uint32_t offset = 0;
    for (std::uint32_t& count : counts) {
        std::uint32_t here = count;
        count = offset;
        offset += here;
    }
    for (const Entry& entry : from) to[counts[digit(sort_key(entry.value), pass)]++] = entry;
}

// Radix passes over more than small_sort entries, with a buffer of as many.
void radix_sort(std::span<Entry> entries, std::span<Entry> buffer) {
    std::array<std::array<std::uint32_t, bucket_count>, digit_count> histograms{};
    for (const Entry& entry : entries) {
        std::uint32_t key = sort_key(entry.value);
        for (unsigned pass = 0; pass < digit_count; ++pass) ++histograms[pass][digit(key, pass)];
    }
    std::span<Entry> from = entries;
    std::span<Entry> to = buffer.first(entries.size());
    for (unsigned pass = 0; pass < digit_count; ++pass) {
        // A digit shared by every key leaves the order as it is.
        if (histograms[pass][digit(sort_key(from[0].value), pass)] == from.size()) continue;
        scatter(from, to, pass, histograms[pass]);
        std::swap(from, to);
    }
    if (from.data() != entries.data()) std::copy(from.begin(), from.end(), entries.begin());
}

}  // namespace

void sort_entries(std::span<Entry> entries) {
    if (entries.size() <= small_sort) {
        insertion_sort(entries);
        return;
    }
    // Every slot is written by the first scatter before it is read: no need to zero it first.
    std::unique_ptr<Entry[]> buffer(new Entry[entries.size()]);
    radix_sort(entries, {buffer.get(), entries.size()});
}

void sort_entries(std::span<Entry> entries, std::vector<Entry>& buffer) {
    if (entries.size() <= small_sort) {
        insertion_sort(entries);
        return;
    }
    if (buffer.size() < entries.size()) buffer.resize(entries.size());
    radix_sort(entries, buffer);
}

void sort_short_entries(std::span<Entry> entries, std::span<Entry> buffer) {
    if (entries.size() <= small_sort) {
        insertion_sort(entries);
        return;
    }
    radix_sort(entries, buffer);
}

}  // namespace lindorf
