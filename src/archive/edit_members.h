// The entries of an edited archive, in table order. An edit keeps most
// entries as they are, so those are held as their index in the old
// directory, 8 bytes each; only the members that change are held whole.
// Changing one entry of 65535 then costs the memory of one, which is most
// of what an edit of a large directory costs in time too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/directory.h"

namespace qvx {

class edit_members {
 public:
  edit_members() = default;
  // No members yet, taken from `old`; `texts` are its names converted, as
  // in plan_update. Both must outlive the list.
  explicit edit_members(const archive_directory& old, std::span<const std::string> texts = {})
      : old_(&old), texts_(texts) {}

  [[nodiscard]] std::size_t size() const { return slots_.size(); }
  [[nodiscard]] bool empty() const { return slots_.empty(); }

  void reserve(std::size_t count) { slots_.reserve(count); }
  // Appends old entry `index`, kept as it is.
  void keep(std::size_t index) { slots_.push_back({static_cast<std::uint32_t>(index), none}); }
  // Appends a member held whole: a file added.
  void add(archive_member member);
  // Member `i`, held whole from now on, to be changed.
  archive_member& change(std::size_t i);

  // Member `i` whole; a kept entry is made from the directory.
  [[nodiscard]] archive_member operator[](std::size_t i) const;
  // The old entry member `i` is or replaces; none for a file added. (32
  // bits: the answer comes back in a register, which counts in loops over
  // 65535 members.)
  [[nodiscard]] std::optional<std::uint32_t> old_index(std::size_t i) const {
    const slot& s = slots_[i];
    if (s.held == none) return s.old_index;
    const std::optional<std::size_t>& was = held_[s.held].old_index;
    if (!was) return std::nullopt;
    return static_cast<std::uint32_t>(*was);
  }
  // Member `i` when it is held whole (its data are new, or its record was
  // changed); null for an old entry kept as it is.
  [[nodiscard]] const archive_member* held(std::size_t i) const {
    const slot& s = slots_[i];
    return s.held == none ? nullptr : &held_[s.held];
  }
  // Whether member `i`'s data come from a file.
  [[nodiscard]] bool replaced(std::size_t i) const {
    const archive_member* member = held(i);
    return member != nullptr && !member->kept();
  }
  // The old entry's record, for a member that has one.
  [[nodiscard]] const archive_entry& old_entry(std::size_t i) const {
    return old_->entries[*old_index(i)];
  }
  // The name field member `i` is written with.
  [[nodiscard]] name_field field(std::size_t i) const;
  // Every member whole, for the writer that lays an archive out anew.
  [[nodiscard]] std::vector<archive_member> whole() const;

 private:
  static constexpr std::uint32_t none = 0xFFFFFFFFU;
  struct slot {
    std::uint32_t old_index = none;
    std::uint32_t held = none;  // in held_
  };
  const archive_directory* old_ = nullptr;
  std::span<const std::string> texts_;
  std::vector<slot> slots_;
  std::vector<archive_member> held_;
};

// The name field of member `i`, appended to `out`.
void append_name_field(const edit_members& members, std::size_t i, std::vector<std::byte>& out);

// The name table of `members`, appended to `out`.
void append_names(const edit_members& members, std::vector<std::byte>& out);

}  // namespace qvx
