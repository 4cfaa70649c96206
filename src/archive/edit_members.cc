#include "archive/edit_members.h"

#include <cstring>
#include <utility>

namespace qvx {

void edit_members::add(archive_member member) {
  slots_.push_back({none, static_cast<std::uint32_t>(held_.size())});
  held_.push_back(std::move(member));
}

archive_member& edit_members::change(std::size_t i) {
  if (slots_[i].held == none) {
    archive_member whole = (*this)[i];
    slots_[i].held = static_cast<std::uint32_t>(held_.size());
    held_.push_back(std::move(whole));
  }
  return held_[slots_[i].held];
}

archive_member edit_members::operator[](std::size_t i) const {
  const slot& s = slots_[i];
  if (s.held != none) return held_[s.held];
  const archive_entry& entry = old_->entries[s.old_index];
  archive_member member;
  member.name = entry_name(old_->names[s.old_index]);
  if (!texts_.empty()) member.text = texts_[s.old_index];
  member.size = entry.size;
  member.source_offset = entry.offset;
  member.tag = entry.tag;
  member.spare = entry.spare;
  member.field = old_->names[s.old_index];
  member.old_index = s.old_index;
  return member;
}

name_field edit_members::field(std::size_t i) const {
  const slot& s = slots_[i];
  if (s.held == none) return old_->names[s.old_index];
  const archive_member& member = held_[s.held];
  return member.field ? *member.field : encode_name(member.name);
}

std::vector<archive_member> edit_members::whole() const {
  std::vector<archive_member> members;
  members.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) members.push_back((*this)[i]);
  return members;
}

void append_name_field(const edit_members& members, std::size_t i, std::vector<std::byte>& out) {
  const name_field field = members.field(i);
  const std::size_t at = out.size();
  out.resize(at + name_field_size);
  std::memcpy(&out[at], field.data(), name_field_size);
}

void append_names(const edit_members& members, std::vector<std::byte>& out) {
  out.reserve(out.size() + name_field_size * members.size());
  for (std::size_t i = 0; i < members.size(); ++i) append_name_field(members, i, out);
}

}  // namespace qvx
