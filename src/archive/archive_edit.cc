#include "archive/archive_edit.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "archive/entry_name.h"

namespace qvx {
namespace {

std::string quoted(std::string_view name) { return '"' + printable_name(name) + '"'; }

// The name entry `i` goes by: its text when the names are in a code page
// and it converted, else its bytes.
std::string_view entry_text(const archive_directory& directory, std::span<const std::string> texts,
                            std::size_t i) {
  if (!texts.empty() && !texts[i].empty()) return texts[i];
  return entry_name(directory.names[i]);
}

// Every entry of `directory` kept as it is.
edit_members all_kept(const archive_directory& directory, std::span<const std::string> texts) {
  edit_members members(directory, texts);
  members.reserve(directory.entries.size());
  for (std::size_t i = 0; i < directory.entries.size(); ++i) members.keep(i);
  return members;
}

// Problems for each entry the edit keeps or replaces whose bytes the old
// archive does not hold whole: keeping it would cut it short, and putting
// anything where its missing bytes should be would change it. An empty
// entry is whole wherever it points.
edit_plan finished(edit_plan plan, const archive_directory& directory, std::uint64_t archive_size) {
  for (std::size_t i = 0; i < plan.members.size(); ++i) {
    const std::optional<std::size_t> old = plan.members.old_index(i);
    if (!old) continue;
    const archive_entry& entry = directory.entries[*old];
    if (entry.size == 0 || std::uint64_t{entry.offset} + entry.size <= archive_size) continue;
    const std::uint64_t present = entry.offset >= archive_size ? 0 : archive_size - entry.offset;
    plan.problems.push_back({"",
                             "entry " + quoted(plan.members[i].name_text()) + " has only " +
                                 std::to_string(present) + " of its " + std::to_string(entry.size) +
                                 " bytes in the archive, so it cannot be kept whole",
                             true});
  }
  return plan;
}

}  // namespace

edit_plan plan_update(const archive_directory& directory, std::uint64_t archive_size,
                      std::span<const archive_member> files, std::span<const std::string> texts,
                      bool no_add) {
  edit_plan plan;
  plan.members = all_kept(directory, texts);
  const std::size_t count = directory.entries.size();
  // For each file's name, and its case-folded form, the last entry that has
  // it (the one unpacking leaves). Only the files' names are looked up, so
  // a large archive costs one pass over its names.
  constexpr auto none = static_cast<std::size_t>(-1);
  // With a charset a file's name is matched by its text, so that a name
  // whose bytes do not survive the conversion there and back (codes the
  // code page has twice) still finds its entry.
  const bool by_text = !texts.empty();
  const auto key = [&](const archive_member& file) -> std::string_view {
    return by_text ? file.name_text() : file.name;
  };
  std::unordered_map<std::string_view, std::size_t> last_named;
  for (const archive_member& file : files) last_named.emplace(key(file), none);
  for (std::size_t i = 0; i < count; ++i) {
    if (const auto same = last_named.find(entry_text(directory, texts, i));
        same != last_named.end()) {
      same->second = i;
    }
  }
  // Names are folded only when a file names no entry exactly, and only
  // those that converted: the bytes of a name that did not mean nothing.
  std::unordered_map<std::string, std::size_t> last_folded;
  if (std::any_of(last_named.begin(), last_named.end(),
                  [&](const auto& named) { return named.second == none; })) {
    for (const archive_member& file : files)
      last_folded.emplace(case_folded(file.name_text()), none);
    for (std::size_t i = 0; i < count; ++i) {
      if (by_text && texts[i].empty()) continue;
      if (const auto folded = last_folded.find(case_folded(entry_text(directory, texts, i)));
          folded != last_folded.end()) {
        folded->second = i;
      }
    }
  }

  std::vector<bool> replaced(count, false);
  for (const archive_member& file : files) {
    std::size_t& same = last_named.at(key(file));
    const auto folded_entry = last_folded.find(case_folded(file.name_text()));
    const std::size_t folded = folded_entry == last_folded.end() ? none : folded_entry->second;
    if (same != none && replaced[same]) {
      plan.problems.push_back({file.path, "its entry name " + quoted(file.name_text()) +
                                              " is that of an earlier file"});
    } else if (same != none) {
      replaced[same] = true;
      archive_member& entry = plan.members.change(same);
      entry.path = file.path;
      entry.size = file.size;
      entry.source_offset = 0;
    } else if (folded != none) {
      plan.problems.push_back({file.path, "its entry name " + quoted(file.name_text()) +
                                              " differs from that of entry " +
                                              quoted(plan.members[folded].name_text()) +
                                              " only in case, which Windows ignores"});
    } else if (no_add) {
      plan.problems.push_back(
          {file.path, "no entry is named " + quoted(file.name_text()) + ", and --no-add is given"});
    } else {
      // A new entry, at the end; a later file of the same name meets it
      // above and is refused, as create refuses it.
      same = plan.members.size();
      if (folded_entry != last_folded.end()) folded_entry->second = same;
      replaced.push_back(true);
      plan.members.add(file);
    }
  }
  return finished(std::move(plan), directory, archive_size);
}

edit_plan plan_repack(const archive_directory& directory, std::uint64_t archive_size) {
  edit_plan plan;
  plan.members = all_kept(directory, {});
  return finished(std::move(plan), directory, archive_size);
}

edit_plan plan_delete(const archive_directory& directory, std::uint64_t archive_size,
                      std::span<const std::string> names) {
  edit_plan plan;
  plan.members = edit_members(directory);
  std::unordered_map<std::string_view, bool> asked;  // name -> whether an entry has it
  for (const std::string& name : names) asked.emplace(name, false);
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (const auto found = asked.find(entry_name(directory.names[i])); found != asked.end()) {
      found->second = true;
      plan.deleted.push_back(i);
    } else {
      plan.members.keep(i);
    }
  }
  for (const std::string& name : names) {
    if (!asked.at(name)) plan.problems.push_back({name, "not in the archive"});
  }
  return finished(std::move(plan), directory, archive_size);
}

edit_plan plan_delete_entries(const archive_directory& directory, std::uint64_t archive_size,
                              std::span<const std::size_t> indices) {
  std::vector<bool> going(directory.entries.size(), false);
  for (const std::size_t i : indices) going[i] = true;
  edit_plan plan;
  plan.members = edit_members(directory);
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (going[i]) {
      plan.deleted.push_back(i);
    } else {
      plan.members.keep(i);
    }
  }
  return finished(std::move(plan), directory, archive_size);
}

edit_plan plan_replace_entry(const archive_directory& directory, std::uint64_t archive_size,
                             std::size_t index, const archive_member& file) {
  edit_plan plan = plan_repack(directory, archive_size);
  archive_member& entry = plan.members.change(index);
  entry.path = file.path;
  entry.size = file.size;
  entry.source_offset = 0;
  return plan;
}

edit_plan plan_rename(const archive_directory& directory, std::uint64_t archive_size,
                      std::size_t index, const std::string& name, const std::string& text,
                      std::span<const std::string> texts) {
  edit_plan plan;
  plan.members = all_kept(directory, texts);
  const std::string& shown = text.empty() ? name : text;
  const auto refuse = [&](const std::string& why) {
    plan.problems.push_back({shown, "cannot be the new name: " + why});
  };
  if (const std::string_view why = name_refusal(shown, name_rules::posix); !why.empty()) {
    refuse("it would be refused: " + std::string{why});
  } else if (const std::string_view on_windows = name_refusal(shown, name_rules::windows);
             !on_windows.empty()) {
    refuse("it would be refused on Windows: " + std::string{on_windows});
  } else if (name.size() > name_field_size) {
    refuse("it is " + std::to_string(name.size()) + " bytes long; at most " +
           std::to_string(name_field_size) + " fit");
  }
  // A name that did not convert means nothing to compare.
  const std::string folded = case_folded(shown);
  for (std::size_t i = 0; i < directory.entries.size() && plan.ok(); ++i) {
    if (i == index || (!texts.empty() && texts[i].empty())) continue;
    const std::string_view other = entry_text(directory, texts, i);
    if (other == shown) {
      refuse("entry " + std::to_string(i + 1) + " has it");
    } else if (case_folded(other) == folded) {
      refuse("it differs from that of entry " + std::to_string(i + 1) + " " + quoted(other) +
             " only in case, which Windows ignores");
    }
  }
  archive_member& renamed = plan.members.change(index);
  renamed.name = name;
  renamed.text = text;
  renamed.field = encode_name(name);
  return finished(std::move(plan), directory, archive_size);
}

edit_plan plan_set_fields(const archive_directory& directory, std::uint64_t archive_size,
                          std::span<const std::size_t> indices, std::optional<std::uint16_t> tag,
                          std::optional<std::uint32_t> spare) {
  edit_plan plan = plan_repack(directory, archive_size);
  for (const std::size_t i : indices) {
    archive_member& member = plan.members.change(i);
    member.tag = tag.value_or(member.tag);
    member.spare = spare.value_or(member.spare);
  }
  return plan;
}

std::vector<packing_problem> member_problems(const edit_members& members) {
  if (members.size() > max_entries) return member_problems(members.whole());
  // Only what the edit brings in or changes is checked: the names the
  // archive already has stay as they are.
  std::vector<archive_member> brought;
  std::vector<std::size_t> index;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (const archive_member* member = members.held(i)) {
      brought.push_back(*member);
      index.push_back(i);
    }
  }
  std::vector<packing_problem> problems = member_problems(brought);
  for (packing_problem& problem : problems) {
    if (problem.member != whole_archive) problem.member = index[problem.member];
  }
  return problems;
}

std::uint64_t unowned_bytes(const archive_directory& directory, std::uint64_t archive_size) {
  const std::size_t count = directory.entries.size();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;  // [begin, end)
  parts.reserve(count + 2);
  parts.emplace_back(0, record_at(count));
  for (const archive_entry& entry : directory.entries) {
    parts.emplace_back(entry.offset, std::uint64_t{entry.offset} + entry.size);
  }
  if (count > 0) {
    const std::uint64_t names = name_table_position(directory.entries.back());
    parts.emplace_back(names, names + name_field_size * count);
  }
  std::sort(parts.begin(), parts.end());
  std::uint64_t owned = 0;
  std::uint64_t covered_to = 0;  // every byte before it is owned or counted as a gap
  for (const auto& [begin, end] : parts) {
    const std::uint64_t from = std::max(begin, covered_to);
    const std::uint64_t to = std::min(end, archive_size);
    if (to > from) owned += to - from;
    covered_to = std::max(covered_to, std::min(end, archive_size));
  }
  return archive_size - owned;
}

}  // namespace qvx
