// Moving and destroying the file classes: the same on every platform. Each
// platform file implements the close() and discard() functions.
#include <utility>

#include "platform/platform.h"

namespace qvx::platform {

input_file::input_file(input_file&& other) noexcept
    : handle_(std::exchange(other.handle_, invalid_handle)),
      size_(other.size_),
      volume_(other.volume_),
      file_id_(other.file_id_) {}

input_file& input_file::operator=(input_file&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, invalid_handle);
    size_ = other.size_;
    volume_ = other.volume_;
    file_id_ = other.file_id_;
  }
  return *this;
}

input_file::~input_file() { close(); }

file_facts input_file::facts() const {
  file_facts facts;
  facts.kind = file_kind::regular;
  facts.size = size_;
  facts.volume = volume_;
  facts.file_id = file_id_;
  return facts;
}

output_file::output_file(output_file&& other) noexcept
    : handle_(std::exchange(other.handle_, invalid_handle)),
      written_(other.written_),
      temporary_name_(std::exchange(other.temporary_name_, {})),
      where_(std::move(other.where_)) {}

output_file& output_file::operator=(output_file&& other) noexcept {
  if (this != &other) {
    discard();
    handle_ = std::exchange(other.handle_, invalid_handle);
    written_ = other.written_;
    temporary_name_ = std::exchange(other.temporary_name_, {});
    where_ = std::move(other.where_);
  }
  return *this;
}

output_file::~output_file() { discard(); }

directory_handle::directory_handle(directory_handle&& other) noexcept
    : handle_(std::exchange(other.handle_, invalid_handle)),
      prefix_(std::exchange(other.prefix_, {})) {}

directory_handle& directory_handle::operator=(directory_handle&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, invalid_handle);
    prefix_ = std::exchange(other.prefix_, {});
  }
  return *this;
}

directory_handle::~directory_handle() { close(); }

replacement_file::replacement_file(replacement_file&& other) noexcept
    : handle_(std::exchange(other.handle_, invalid_handle)),
      written_(other.written_),
      submitted_(other.submitted_),
      path_(std::exchange(other.path_, {})),
      temporary_name_(std::exchange(other.temporary_name_, {})) {}

replacement_file& replacement_file::operator=(replacement_file&& other) noexcept {
  if (this != &other) {
    discard();
    handle_ = std::exchange(other.handle_, invalid_handle);
    written_ = other.written_;
    submitted_ = other.submitted_;
    path_ = std::exchange(other.path_, {});
    temporary_name_ = std::exchange(other.temporary_name_, {});
  }
  return *this;
}

replacement_file::~replacement_file() { discard(); }

}  // namespace qvx::platform
