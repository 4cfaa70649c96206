#include "archive/edit_layout.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <optional>
#include <utility>

namespace qvx {
namespace {

using range = std::pair<std::uint64_t, std::uint64_t>;  // [begin, end)

constexpr std::uint64_t max_offset = std::numeric_limits<std::uint32_t>::max();

std::uint64_t align_up(std::uint64_t at, std::uint64_t alignment) {
  return (at + alignment - 1) / alignment * alignment;
}

// `ranges` without empty ones, sorted, with overlapping and touching ones
// joined.
std::vector<range> merged(std::vector<range> ranges) {
  std::erase_if(ranges, [](const range& r) { return r.second <= r.first; });
  // Most archives list their data in the order they lie in.
  if (!std::is_sorted(ranges.begin(), ranges.end())) std::sort(ranges.begin(), ranges.end());
  std::vector<range> out;
  for (const range& r : ranges) {
    if (!out.empty() && r.first <= out.back().second) {
      out.back().second = std::max(out.back().second, r.second);
    } else {
      out.push_back(r);
    }
  }
  return out;
}

// The union of the merged `a` and `b`, merged.
std::vector<range> unite(const std::vector<range>& a, const std::vector<range>& b) {
  std::vector<range> all;
  all.reserve(a.size() + b.size());
  std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(all));
  return merged(std::move(all));
}

// The parts of the merged `from` that the merged `cut` does not cover.
std::vector<range> subtracted(const std::vector<range>& from, const std::vector<range>& cut) {
  std::vector<range> out;
  std::size_t c = 0;
  for (auto [begin, end] : from) {
    while (c < cut.size() && cut[c].second <= begin) ++c;
    for (std::size_t i = c; i < cut.size() && cut[i].first < end; ++i) {
      if (cut[i].first > begin) out.emplace_back(begin, cut[i].first);
      begin = std::max(begin, cut[i].second);
    }
    if (begin < end) out.emplace_back(begin, end);
  }
  return out;
}

// Whether the merged `set` has a byte of [r.first, r.second).
bool intersects(const std::vector<range>& set, const range& r) {
  if (r.second <= r.first) return false;
  const auto after =
      std::upper_bound(set.begin(), set.end(), r.first,
                       [](std::uint64_t at, const range& s) { return at < s.second; });
  return after != set.end() && after->first < r.second;
}

// Where the first range of the merged `set` at or after `at` begins.
std::uint64_t next_begin(const std::vector<range>& set, std::uint64_t at) {
  const auto next = std::lower_bound(set.begin(), set.end(), at,
                                     [](const range& s, std::uint64_t x) { return s.first < x; });
  return next == set.end() ? std::numeric_limits<std::uint64_t>::max() : next->first;
}

std::uint64_t end_of(const std::vector<range>& set) { return set.empty() ? 0 : set.back().second; }

range region(const archive_entry& entry) {
  return {entry.offset, std::uint64_t{entry.offset} + entry.size};
}

// The old entries by offset: (offset, index), sorted.
using entry_order = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

entry_order by_offset(const archive_directory& old) {
  entry_order order;
  order.reserve(old.entries.size());
  for (std::size_t i = 0; i < old.entries.size(); ++i) {
    order.emplace_back(old.entries[i].offset, static_cast<std::uint32_t>(i));
  }
  if (std::is_sorted(order.begin(), order.end())) return order;
  // By offset, a byte at a time, least significant first: each pass is
  // stable, so entries at one offset stay in table order.
  entry_order sorted(order.size());
  for (unsigned shift = 0; shift < 32; shift += 8) {
    std::array<std::size_t, 257> starts{};
    for (const auto& item : order) ++starts[((item.first >> shift) & 0xFFU) + 1];
    for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    for (const auto& item : order) sorted[starts[(item.first >> shift) & 0xFFU]++] = item;
    order.swap(sorted);
  }
  return order;
}

// Adds `r` to the merged `set`, which stays merged.
void add_range(std::vector<range>& set, range r) {
  if (r.second <= r.first) return;
  // From the first range that reaches r to the last that r reaches.
  const auto first =
      std::lower_bound(set.begin(), set.end(), r.first,
                       [](const range& s, std::uint64_t at) { return s.second < at; });
  const auto last = std::upper_bound(first, set.end(), r.second,
                                     [](std::uint64_t at, const range& s) { return at < s.first; });
  if (first != last) {
    r.first = std::min(r.first, first->first);
    r.second = std::max(r.second, std::prev(last)->second);
  }
  set.insert(set.erase(first, last), r);
}

// Adds `r`, which begins at or after every range of the merged `set`
// begins, to its end.
void append_range(std::vector<range>& set, const range& r) {
  if (r.second <= r.first) return;
  if (!set.empty() && r.first <= set.back().second) {
    set.back().second = std::max(set.back().second, r.second);
  } else {
    set.push_back(r);
  }
}

// For each old entry that holds bytes, whether another of `live` overlaps it.
std::vector<bool> overlapped_entries(const archive_directory& old, const entry_order& order,
                                     const std::vector<bool>& live) {
  std::vector<std::uint32_t> holding;
  holding.reserve(order.size());
  for (const auto& [offset, i] : order) {
    if (live[i] && old.entries[i].size > 0) holding.push_back(i);
  }
  std::vector<bool> overlapped(old.entries.size(), false);
  std::uint64_t end_so_far = 0;
  for (std::size_t n = 0; n < holding.size(); ++n) {
    const range r = region(old.entries[holding[n]]);
    const bool before = n > 0 && end_so_far > r.first;
    const bool after = n + 1 < holding.size() && old.entries[holding[n + 1]].offset < r.second;
    if (before || after) overlapped[holding[n]] = true;
    end_so_far = std::max(end_so_far, r.second);
  }
  return overlapped;
}

// The first place in `gaps` (merged, free) where `length` bytes fit at
// `alignment`; the gap is then taken. Nothing when none has room.
std::optional<std::uint64_t> take_gap(std::vector<range>& gaps, std::uint64_t length,
                                      std::uint64_t alignment) {
  for (std::size_t i = 0; i < gaps.size(); ++i) {
    const auto [begin, end] = gaps[i];
    const std::uint64_t at = align_up(begin, alignment);
    if (at + length > end) continue;
    std::vector<range> rest;
    if (at > begin) rest.emplace_back(begin, at);
    if (at + length < end) rest.emplace_back(at + length, end);
    gaps.erase(gaps.begin() + static_cast<std::ptrdiff_t>(i));
    gaps.insert(gaps.begin() + static_cast<std::ptrdiff_t>(i), rest.begin(), rest.end());
    return at;
  }
  return std::nullopt;
}

// A write for each name field of `members` that differs from the one at its
// place in the old name table, which stays at `names_at`.
void add_renamed_fields(const archive_directory& old, const edit_members& members,
                        std::uint64_t names_at, std::vector<layout_write>& writes) {
  for (std::size_t i = 0; i < members.size() && i < old.names.size(); ++i) {
    if (members.held(i) != nullptr && members.field(i) != old.names[i]) {
      writes.push_back({layout_write::source::name_field, names_at + name_field_size * i,
                        name_field_size, 0, i});
    }
  }
}

}  // namespace

std::uint32_t archive_alignment(const archive_directory& directory) {
  std::uint32_t alignment = max_alignment;
  bool any = false;
  for (const archive_entry& entry : directory.entries) {
    if (entry.size == 0) continue;
    any = true;
    while (alignment > 1 && entry.offset % alignment != 0) alignment /= 2;
  }
  return any ? alignment : 1;
}

edit_layout lay_out_edit(const archive_directory& old, std::uint64_t old_size,
                         const edit_members& members, std::uint32_t alignment, layout_mode mode,
                         const data_end& data) {
  edit_layout layout;
  const bool in_place = mode == layout_mode::in_place;
  const std::size_t old_count = old.entries.size();
  const std::size_t count = members.size();
  const std::uint64_t old_head = record_at(old_count);
  const std::uint64_t head = record_at(count);
  const std::uint64_t old_names = old_count > 0 ? name_table_position(old.entries.back()) : 0;
  const std::uint64_t old_names_end = old_count > 0 ? old_names + name_field_size * old_count : 0;
  const range old_names_range{old_names, old_names_end};
  const std::uint64_t names_length = name_field_size * count;

  // The old file's parts, and the bytes that belong to none of them. Those
  // after the name table and everything else are its trailer, which nothing
  // may overwrite; the others are gaps.
  const entry_order order = by_offset(old);
  std::vector<range> owned = {{0, old_head}};
  for (const auto& [offset, i] : order) append_range(owned, region(old.entries[i]));
  add_range(owned, old_names_range);
  const std::vector<range> unowned = subtracted({{0, old_size}}, owned);
  std::vector<range> trailer;
  if (!unowned.empty() && unowned.back().second == old_size &&
      unowned.back().first >= old_names_end) {
    trailer.push_back(unowned.back());
  }

  constexpr auto none = std::numeric_limits<std::uint32_t>::max();
  std::vector<bool> live(old_count, false);
  std::vector<std::uint32_t> member_of(old_count, none);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const std::optional<std::size_t> was = members.old_index(i);
    if (!was) continue;
    live[*was] = true;
    member_of[*was] = static_cast<std::uint32_t>(i);
  }
  const auto changed = [&](std::size_t i) { return members.replaced(i); };

  // The name table moves when the count changes or the last record's end
  // does; only then may a slot run into its old place. In place it is
  // live until the records change.
  bool names_will_move = count != old_count;
  if (count > 0 && !names_will_move && changed(count - 1)) {
    names_will_move = members.held(count - 1)->size != members.old_entry(count - 1).size;
  }
  std::vector<range> fixed = {{0, head}};
  if (in_place) fixed.emplace_back(0, old_head);
  if (in_place || !names_will_move) fixed.push_back(old_names_range);
  fixed.insert(fixed.end(), trailer.begin(), trailer.end());
  fixed = merged(std::move(fixed));
  // Where each other live entry begins: a slot ends at the next of them.
  std::vector<std::uint32_t> entry_begins;  // offsets, which are 32 bits
  entry_begins.reserve(old_count);
  for (const auto& [offset, i] : order) {
    if (live[i] && old.entries[i].size > 0) entry_begins.push_back(offset);
  }
  const auto next_entry = [&](std::uint64_t at) {
    const auto next = std::lower_bound(entry_begins.begin(), entry_begins.end(), at);
    return next == entry_begins.end() ? std::numeric_limits<std::uint64_t>::max() : *next;
  };
  const std::vector<bool> overlapped = overlapped_entries(old, order, live);

  bool any_change = count != old_count;
  for (std::size_t i = 0; i < count && !any_change; ++i) any_change = changed(i);

  // Where each member ends up; nothing yet for those that go elsewhere.
  layout.entries.resize(count);
  layout.fates.assign(count, member_fate::kept);
  std::vector<bool> placed(count, false);
  for (std::size_t i = 0; i < count; ++i) {
    const archive_member* member = members.held(i);
    archive_entry& entry = layout.entries[i];
    if (member == nullptr) {
      entry = members.old_entry(i);
    } else {
      entry.tag = member->tag;
      entry.spare = member->spare;
      entry.size = static_cast<std::uint32_t>(member->size);
    }
    const std::optional<std::size_t> old_index = members.old_index(i);
    if (!old_index) {
      layout.fates[i] = member_fate::added;
      continue;
    }
    const archive_entry& was = old.entries[*old_index];
    entry.offset = was.offset;
    if (!changed(i)) {
      // An entry whose bytes lie in the table moves only when the table
      // changes: with nothing to change, nothing moves.
      placed[i] = was.size == 0 || was.offset >= head || !any_change;
      if (!placed[i]) layout.fates[i] = member_fate::moved_for_table;
      continue;
    }
    // An empty entry needs no room; new data need room that nothing else
    // uses, and in place the old bytes are live until the record changes.
    bool fits = entry.size == 0;
    if (!fits && !in_place && was.size > 0 && !overlapped[*old_index] &&
        !intersects(fixed, region(was))) {
      const std::uint64_t slot_end =
          std::min(next_begin(fixed, region(was).second), next_entry(region(was).second));
      fits = entry.size <= slot_end - was.offset;
    }
    placed[i] = fits;
    layout.fates[i] = fits ? member_fate::replaced_in_place : member_fate::replaced_and_moved;
  }
  if (in_place) {
    for (std::size_t i = 0; i < count; ++i) {
      if (layout.fates[i] == member_fate::moved_for_table) {
        layout.problem = "entry " + std::to_string(i + 1) +
                         " lies where the grown entry table must go, and cannot be moved in place";
        return layout;
      }
    }
  }

  // What the new file holds wherever it is fixed: the head and the members
  // that stay. Nothing is placed over the old file's gaps and trailer, but in
  // place, where a gap is the free space to use, and where the name table
  // must follow its entry. In place, everything live in the old file is
  // taken too.
  // Merged; the last member is added once it is known whether the name
  // table can follow it where it is. In offset order: a member that stays
  // starts where it started.
  std::vector<range> taken = {{0, head}};
  for (const auto& [offset, i] : order) {
    if (member_of[i] != none && placed[member_of[i]] && member_of[i] + 1 != count) {
      append_range(taken, region(layout.entries[member_of[i]]));
    }
  }
  std::vector<range> live_old;
  if (in_place) {
    live_old = owned;
    if (intersects(live_old, {old_head, head})) {
      layout.problem = "the entry table cannot grow in place: the bytes after it are in use";
      return layout;
    }
  }
  // The name table follows the last record's data: where that entry is, if
  // there is room, or else after it at the end of the file.
  if (count > 0) {
    const std::size_t last = count - 1;
    const std::uint64_t last_end =
        std::uint64_t{layout.entries[last].offset} + layout.entries[last].size;
    layout.names_moved = !placed[last] || count != old_count || last_end != old_names;
    if (!layout.names_moved) {
      layout.names_at = old_names;
      add_range(taken, region(layout.entries[last]));
      add_range(taken, old_names_range);
    } else if (placed[last]) {
      // What the name table may not cover: everything that stays but the
      // last entry itself, and the trailer.
      if (!intersects(unite(unite(taken, trailer), live_old),
                      {last_end, last_end + names_length})) {
        layout.names_at = last_end;
        add_range(taken, region(layout.entries[last]));
        add_range(taken, {last_end, last_end + names_length});
      } else {
        placed[last] = false;
        layout.fates[last] =
            changed(last) ? member_fate::replaced_and_moved : member_fate::moved_for_names;
      }
    }
  }

  // Everything else goes at the end of the file, at the alignment, in table
  // order, the last member last so that the name table can follow it. In
  // place, a gap that no live byte uses is taken first.
  std::vector<range> fixed_now = unite(unite(taken, live_old), trailer);
  std::vector<range> gaps;
  if (in_place) gaps = subtracted({{head, end_of(fixed_now)}}, fixed_now);
  fixed_now = unite(fixed_now, unowned);
  std::uint64_t cursor = end_of(fixed_now);
  for (std::size_t i = 0; i < count; ++i) {
    if (placed[i]) continue;
    archive_entry& entry = layout.entries[i];
    const bool with_names = i + 1 == count;
    const std::uint64_t need = entry.size + (with_names ? names_length : 0);
    std::optional<std::uint64_t> at;
    if (in_place && need > 0) at = take_gap(gaps, need, entry.size > 0 ? alignment : 1);
    if (!at) {
      at = entry.size > 0 ? align_up(cursor, alignment) : cursor;
      cursor = *at + need;
    }
    if (*at > max_offset) {
      layout.problem = "the edited archive would need an offset beyond " +
                       std::to_string(max_offset) + ", which a record cannot hold";
      return layout;
    }
    entry.offset = static_cast<std::uint32_t>(*at);
    add_range(taken, region(entry));
    if (with_names) {
      layout.names_at = *at + entry.size;
      add_range(taken, {layout.names_at, layout.names_at + names_length});
    }
  }
  if (count > 0 && layout.names_at > max_offset) {
    layout.problem = "the name table would start beyond byte " + std::to_string(max_offset) +
                     ", where a record's offset and size cannot lead";
    return layout;
  }
  if (count == 0) layout.names_moved = old_count > 0;

  // Gaps that end up beyond everything else are cut off with it, unless
  // they hold something.
  for (const range& r : trailer) add_range(taken, r);
  const std::uint64_t end = std::max(head, end_of(taken));
  for (const range& r : unowned) {
    if (r.second > end) add_range(taken, {r.first, data ? data(r.first, r.second) : r.second});
  }
  const std::vector<range>& used = taken;
  layout.length = std::max(end_of(used), head);

  // The writes: the head, new data, moved entries, a moved name table; and
  // zeros over the old bytes that moved or went and that nothing reuses.
  auto& writes = layout.writes;
  writes.push_back({layout_write::source::head, 0, head});
  for (std::size_t i = 0; i < count; ++i) {
    const archive_entry& entry = layout.entries[i];
    if (layout.fates[i] == member_fate::kept) continue;
    // An empty file is read too, to see that it is still empty.
    if (changed(i)) {
      writes.push_back({layout_write::source::member, entry.offset, entry.size, 0, i});
    } else if (entry.size > 0) {
      writes.push_back({layout_write::source::old_bytes, entry.offset, entry.size,
                        members.old_entry(i).offset, i});
    }
  }
  if (count > 0 && layout.names_moved) {
    writes.push_back({layout_write::source::names, layout.names_at, names_length});
  } else {
    add_renamed_fields(old, members, layout.names_at, writes);
  }
  if (!in_place) {
    std::vector<range> freed = {{head, old_head}, {end_of(fixed_now), old_size}};
    if (layout.names_moved) freed.push_back(old_names_range);
    for (std::size_t i = 0; i < old_count; ++i) {
      if (!live[i]) freed.push_back(region(old.entries[i]));
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (members.old_index(i) && layout.fates[i] != member_fate::kept) {
        freed.push_back(region(members.old_entry(i)));
      }
    }
    std::vector<range> keep = used;
    keep.emplace_back(std::min(old_size, layout.length), std::numeric_limits<std::uint64_t>::max());
    for (const range& r : subtracted(merged(std::move(freed)), merged(std::move(keep)))) {
      writes.push_back({layout_write::source::zeros, r.first, r.second - r.first});
    }
  }
  std::sort(writes.begin(), writes.end(),
            [](const layout_write& a, const layout_write& b) { return a.at < b.at; });
  return layout;
}

}  // namespace qvx
