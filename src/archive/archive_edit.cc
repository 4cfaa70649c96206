#include "archive/archive_edit.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "archive/entry_name.h"

namespace qvx {
namespace {

std::string quoted(std::string_view name) { return '"' + printable_name(name) + '"'; }

// Entry i of `directory`, to be copied as it is.
archive_member kept_entry(const archive_directory& directory, std::span<const std::string> texts,
                          std::size_t i) {
  const archive_entry& entry = directory.entries[i];
  archive_member member;
  member.name = entry_name(directory.names[i]);
  if (!texts.empty()) member.text = texts[i];
  member.size = entry.size;
  member.source_offset = entry.offset;
  member.tag = entry.tag;
  member.spare = entry.spare;
  member.field = directory.names[i];
  member.old_index = i;
  return member;
}

// Problems for each entry the edit keeps or replaces whose bytes the old
// archive does not hold whole: keeping it would cut it short, and putting
// anything where its missing bytes should be would change it. An empty
// entry is whole wherever it points.
edit_plan finished(edit_plan plan, const archive_directory& directory, std::uint64_t archive_size) {
  for (const archive_member& member : plan.members) {
    if (!member.old_index) continue;
    const archive_entry& entry = directory.entries[*member.old_index];
    if (entry.size == 0 || std::uint64_t{entry.offset} + entry.size <= archive_size) continue;
    const std::uint64_t present = entry.offset >= archive_size ? 0 : archive_size - entry.offset;
    plan.problems.push_back({"",
                             "entry " + quoted(member.name_text()) + " has only " +
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
  plan.members.reserve(directory.entries.size() + files.size());
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    plan.members.push_back(kept_entry(directory, texts, i));
  }
  // For each file's name, and its case-folded form, the last entry that has
  // it (the one unpacking leaves). Only the files' names are looked up, so
  // a large archive costs one pass over its names.
  constexpr auto none = static_cast<std::size_t>(-1);
  // With a charset a file's name is matched by its text, so that a name
  // whose bytes do not survive the conversion there and back (codes the
  // code page has twice) still finds its entry.
  const bool by_text = !texts.empty();
  const auto key = [&](const archive_member& member) -> std::string_view {
    return by_text ? member.name_text() : member.name;
  };
  std::unordered_map<std::string_view, std::size_t> last_named;
  for (const archive_member& file : files) last_named.emplace(key(file), none);
  for (std::size_t i = 0; i < plan.members.size(); ++i) {
    if (const auto same = last_named.find(key(plan.members[i])); same != last_named.end()) {
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
    for (std::size_t i = 0; i < plan.members.size(); ++i) {
      const archive_member& member = plan.members[i];
      if (by_text && member.text.empty()) continue;
      if (const auto folded = last_folded.find(case_folded(member.name_text()));
          folded != last_folded.end()) {
        folded->second = i;
      }
    }
  }

  std::vector<bool> replaced(plan.members.size(), false);
  for (const archive_member& file : files) {
    std::size_t& same = last_named.at(key(file));
    const auto folded_entry = last_folded.find(case_folded(file.name_text()));
    const std::size_t folded = folded_entry == last_folded.end() ? none : folded_entry->second;
    if (same != none && replaced[same]) {
      plan.problems.push_back({file.path, "its entry name " + quoted(file.name_text()) +
                                              " is that of an earlier file"});
    } else if (same != none) {
      replaced[same] = true;
      archive_member& entry = plan.members[same];
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
      plan.members.push_back(file);
    }
  }
  return finished(std::move(plan), directory, archive_size);
}

edit_plan plan_repack(const archive_directory& directory, std::uint64_t archive_size) {
  edit_plan plan;
  plan.members.reserve(directory.entries.size());
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    plan.members.push_back(kept_entry(directory, {}, i));
  }
  return finished(std::move(plan), directory, archive_size);
}

edit_plan plan_delete(const archive_directory& directory, std::uint64_t archive_size,
                      std::span<const std::string> names) {
  edit_plan plan;
  std::unordered_map<std::string_view, bool> asked;  // name -> whether an entry has it
  for (const std::string& name : names) asked.emplace(name, false);
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (const auto found = asked.find(entry_name(directory.names[i])); found != asked.end()) {
      found->second = true;
      plan.deleted.push_back(i);
    } else {
      plan.members.push_back(kept_entry(directory, {}, i));
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
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (going[i]) {
      plan.deleted.push_back(i);
    } else {
      plan.members.push_back(kept_entry(directory, {}, i));
    }
  }
  return finished(std::move(plan), directory, archive_size);
}

edit_plan plan_replace_entry(const archive_directory& directory, std::uint64_t archive_size,
                             std::size_t index, const archive_member& file) {
  edit_plan plan = plan_repack(directory, archive_size);
  archive_member& entry = plan.members[index];
  entry.path = file.path;
  entry.size = file.size;
  entry.source_offset = 0;
  return plan;
}

edit_plan plan_rename(const archive_directory& directory, std::uint64_t archive_size,
                      std::size_t index, const std::string& name, const std::string& text,
                      std::span<const std::string> texts) {
  edit_plan plan;
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    plan.members.push_back(kept_entry(directory, texts, i));
  }
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
  for (std::size_t i = 0; i < plan.members.size() && plan.ok(); ++i) {
    const archive_member& other = plan.members[i];
    if (i == index || (!texts.empty() && other.text.empty())) continue;
    if (other.name_text() == shown) {
      refuse("entry " + std::to_string(i + 1) + " has it");
    } else if (case_folded(other.name_text()) == folded) {
      refuse("it differs from that of entry " + std::to_string(i + 1) + " " +
             quoted(other.name_text()) + " only in case, which Windows ignores");
    }
  }
  archive_member& renamed = plan.members[index];
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
    plan.members[i].tag = tag.value_or(plan.members[i].tag);
    plan.members[i].spare = spare.value_or(plan.members[i].spare);
  }
  return plan;
}

std::uint64_t unowned_bytes(const archive_directory& directory, std::uint64_t archive_size) {
  const std::size_t count = directory.entries.size();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;  // [begin, end)
  parts.reserve(count + 2);
  parts.emplace_back(0, count_size + entry_record_size * count);
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
