#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/temporary_name.h"
#include "platform/windows_path.h"

// Entry names are 8-bit text in the ANSI code page, so the ...A functions of
// the Windows API take them unchanged, unless use_utf8_entry_names has made
// them UTF-8. Paths from the command line are UTF-8 (see program_arguments)
// and go to the wide functions.

namespace qvx::platform {
namespace {

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t to_stored(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

// The code page of entry names: the ANSI one, or UTF-8 once names come
// converted from the code page the user named.
std::atomic<UINT> entry_name_code_page{CP_ACP};

bool entry_names_are_utf8() { return entry_name_code_page.load() == CP_UTF8; }

constexpr std::size_t copy_buffer_size = std::size_t{1} << 20U;
constexpr DWORD max_read_request = DWORD{1} << 30U;

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFU);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32U);
  return position;
}

io_result read_fully(HANDLE file, std::uint64_t offset, std::span<std::byte> buffer) {
  io_result result;
  while (result.bytes < buffer.size()) {
    OVERLAPPED position = at_offset(offset + result.bytes);
    const auto want =
        static_cast<DWORD>(std::min<std::uint64_t>(max_read_request, buffer.size() - result.bytes));
    DWORD got = 0;
    if (!ReadFile(file, buffer.data() + result.bytes, want, &got, &position)) {
      const DWORD error = GetLastError();
      if (error != ERROR_HANDLE_EOF) result.error = static_cast<error_code>(error);
      break;
    }
    if (got == 0) break;
    result.bytes += got;
  }
  return result;
}

error_code write_fully(HANDLE file, std::span<const std::byte> data) {
  while (!data.empty()) {
    DWORD wrote = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(data.size(), max_read_request));
    if (!WriteFile(file, data.data(), want, &wrote, nullptr)) {
      return static_cast<error_code>(GetLastError());
    }
    data = data.subspan(wrote);
  }
  return 0;
}

// `text` in UTF-16; `code_page` says how it is encoded. Bytes that are not
// valid in it become U+FFFD, as the system converts them.
std::wstring widened(std::string_view text, UINT code_page) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0) MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), length);
  return wide;
}

// `wide` in `code_page`. Outside UTF-8 a character the code page lacks
// becomes '?', never a look-alike ("best fit") that names something else.
std::string narrowed(std::wstring_view wide, UINT code_page) {
  if (wide.empty() || wide.size() > INT_MAX) return {};
  const int size = static_cast<int>(wide.size());
  const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* const unknown = code_page == CP_UTF8 ? nullptr : "?";
  const int length =
      WideCharToMultiByte(code_page, flags, wide.data(), size, nullptr, 0, unknown, nullptr);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  if (length > 0) {
    WideCharToMultiByte(code_page, flags, wide.data(), size, text.data(), length, unknown, nullptr);
  }
  return text;
}

}  // namespace

std::wstring openable_path(const std::wstring& path) {
  if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\")) return path;
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed <= MAX_PATH) return path;  // `needed` counts the terminating NUL
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::vector<std::string> program_arguments(int argc, const char* const* argv) {
  int count = 0;
  wchar_t** const wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + std::max(argc, 0)};
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(narrowed(wide[i], CP_UTF8));
  LocalFree(static_cast<void*>(wide));
  return arguments;
}

std::string displayed_path(const std::string& path) {
  // When the ANSI code page is UTF-8 itself, the path is already in it.
  if (GetACP() == CP_UTF8) return path;
  return narrowed(widened(path, CP_UTF8), CP_ACP);
}

std::string error_text(error_code error) {
  if (error == not_a_regular_file) return "not a regular file";
  if (error == symbolic_link_met) return "a symbolic link";
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 ? std::string(text, length) : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  // The system's messages end in ".\r\n"; a diagnostic is one line.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

// ---- input_file

void input_file::close() {
  if (is_open()) CloseHandle(handle_of(std::exchange(handle_, invalid_handle)));
}

input_file input_file::open(const std::string& path, error_code& error) {
  return open_with(path, false, error);
}

input_file input_file::open_for_update(const std::string& path, error_code& error) {
  return open_with(path, true, error);
}

input_file input_file::open_with(const std::string& path, bool for_update, error_code& error) {
  input_file file;
  const std::wstring wide_path = openable_path(widened(path, CP_UTF8));
  const DWORD access = for_update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  // While another program replaces the file, it cannot be opened for a
  // moment: that passes, so the open is tried again for about two seconds.
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt <= 100; ++attempt) {
    handle = CreateFileW(wide_path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(20);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    error = static_cast<error_code>(GetLastError());
    return file;
  }
  file.handle_ = to_stored(handle);
  // Entries are read by position, which pipes and consoles have not.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    error = not_a_regular_file;
    return input_file{};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) {
    error = static_cast<error_code>(GetLastError());
    return input_file{};
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = ERROR_DIRECTORY;
    return input_file{};
  }
  file.size_ = (std::uint64_t{info.nFileSizeHigh} << 32U) | info.nFileSizeLow;
  file.volume_ = info.dwVolumeSerialNumber;
  file.file_id_ = (std::uint64_t{info.nFileIndexHigh} << 32U) | info.nFileIndexLow;
  error = 0;
  return file;
}

io_result input_file::read_at(std::uint64_t offset, std::span<std::byte> buffer) const {
  return read_fully(handle_of(handle_), offset, buffer);
}

error_code input_file::write_at(std::uint64_t offset, std::span<const std::byte> data) {
  while (!data.empty()) {
    OVERLAPPED position = at_offset(offset);
    DWORD wrote = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(data.size(), max_read_request));
    if (!WriteFile(handle_of(handle_), data.data(), want, &wrote, &position)) {
      return static_cast<error_code>(GetLastError());
    }
    data = data.subspan(wrote);
    offset += wrote;
  }
  return 0;
}

io_result input_file::copy_to(std::uint64_t offset, const input_file& source,
                              std::uint64_t source_offset, std::uint64_t length) {
  std::vector<std::byte> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(copy_buffer_size, length)));
  io_result result;
  while (result.bytes < length) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - result.bytes));
    const io_result got =
        source.read_at(source_offset + result.bytes, std::span{buffer}.first(want));
    if (const error_code error =
            write_at(offset + result.bytes, std::span{buffer}.first(got.bytes))) {
      result.error = error;
      break;
    }
    result.bytes += got.bytes;
    if (got.error != 0 || got.bytes < want) {
      result.error = got.error;
      break;
    }
  }
  return result;
}

error_code input_file::sync_data() {
  return FlushFileBuffers(handle_of(handle_)) ? 0 : static_cast<error_code>(GetLastError());
}

error_code input_file::truncate(std::uint64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFileInformationByHandle(handle_of(handle_), FileEndOfFileInfo, &end, sizeof end)) {
    return static_cast<error_code>(GetLastError());
  }
  return 0;
}

namespace {

// `name`, an entry name, in `where` (if anywhere) as the wide functions take it.
std::wstring entry_path(const std::string& name, const directory_handle* where = nullptr) {
  const std::string path = where != nullptr ? where->prefix() + name : name;
  return openable_path(widened(path, entry_names_are_utf8() ? CP_UTF8 : CP_ACP));
}

}  // namespace

bool input_file::is_named(const std::string& name, const directory_handle* where) const {
  // Opening with no access rights reads only the identity; a final reparse
  // point (a symbolic link) is looked at itself, not followed.
  constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  constexpr DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  const HANDLE handle = CreateFileW(entry_path(name, where).c_str(), 0, share, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool same = GetFileInformationByHandle(handle, &info) &&
                    info.dwVolumeSerialNumber == volume_ &&
                    ((std::uint64_t{info.nFileIndexHigh} << 32U) | info.nFileIndexLow) == file_id_;
  CloseHandle(handle);
  return same;
}

// ---- output_file

namespace {

// Copies `length` bytes of `source` from `offset` on to the end of `out`,
// through one buffer per thread that copies.
io_result copy_through_buffer(const input_file& source, std::uint64_t offset, std::uint64_t length,
                              HANDLE out) {
  thread_local std::vector<std::byte> buffer(copy_buffer_size);
  io_result result;
  while (result.bytes < length) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - result.bytes));
    const io_result got = source.read_at(offset + result.bytes, std::span{buffer}.first(want));
    if (const error_code error = write_fully(out, std::span{buffer}.first(got.bytes))) {
      result.error = error;
      break;
    }
    result.bytes += got.bytes;
    if (got.error != 0 || got.bytes < want) {
      result.error = got.error;
      break;
    }
  }
  return result;
}

// Marks the open file to be deleted when its last handle closes, or clears
// that mark.
error_code set_delete_on_close(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
    return static_cast<error_code>(GetLastError());
  }
  return 0;
}

// Creates a new file under a fresh temporary name in `directory` (UTF-8;
// empty, or ending in a separator). CREATE_NEW never opens an existing file
// or follows a planted link; a taken name is simply skipped.
HANDLE create_named_temporary(const std::string& directory, std::string& name, error_code& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = directory + make_temporary_name();
    const HANDLE handle =
        CreateFileW(openable_path(widened(name, CP_UTF8)).c_str(), GENERIC_WRITE | DELETE, 0,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      // Deleted when its handle closes, also when the process is killed,
      // until a commit clears the mark just before the rename.
      error = set_delete_on_close(handle, true);
      if (error == 0) return handle;
      CloseHandle(handle);
      DeleteFileW(openable_path(widened(name, CP_UTF8)).c_str());
      return INVALID_HANDLE_VALUE;
    }
    const DWORD failure = GetLastError();
    if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) {
      error = static_cast<error_code>(failure);
      return INVALID_HANDLE_VALUE;
    }
  }
  error = ERROR_FILE_EXISTS;
  return INVALID_HANDLE_VALUE;
}

// Removes a temporary file that create_named_temporary made.
void remove_temporary(std::string& name) {
  if (!name.empty()) DeleteFileW(openable_path(widened(name, CP_UTF8)).c_str());
  name.clear();
}

}  // namespace

void output_file::discard() {
  if (is_open()) CloseHandle(handle_of(std::exchange(handle_, invalid_handle)));
  remove_temporary(temporary_name_);
}

// There is no opening relative to a directory handle here: each part is
// checked in turn, and the file then made and named by its full path. A
// program that swaps a checked directory for a junction between the check
// and the write can still send the file through it.
directory_handle directory_handle::open_below(std::span<const std::string_view> parts,
                                              error_code& error, std::size_t& failed) {
  directory_handle opened;
  std::string prefix;
  error = 0;
  const UINT code_page = entry_names_are_utf8() ? CP_UTF8 : CP_ACP;
  for (failed = 0; failed < parts.size(); ++failed) {
    prefix += parts[failed];
    const std::wstring path = openable_path(widened(prefix, code_page));
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    constexpr DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE handle = CreateFileW(path.c_str(), 0, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
      if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        error = static_cast<error_code>(GetLastError());
        return {};
      }
      handle = CreateFileW(path.c_str(), 0, share, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      error = static_cast<error_code>(GetLastError());
      return {};
    }
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
      error = static_cast<error_code>(GetLastError());
    } else if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
               (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      // Wine shows a POSIX symbolic link as a reparse point only by its path.
      error = symbolic_link_met;
    } else if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      error = ERROR_DIRECTORY;
    }
    CloseHandle(handle);
    if (error != 0) return {};
    prefix += '\\';
  }
  opened.prefix_ = std::move(prefix);
  return opened;
}

void directory_handle::close() { prefix_.clear(); }

output_file output_file::create(error_code& error, std::shared_ptr<const directory_handle> where) {
  output_file file;
  std::string name;
  // Temporary names are UTF-8; the directory's is an entry name.
  std::string directory;
  if (where) {
    directory = entry_names_are_utf8() ? where->prefix()
                                       : narrowed(widened(where->prefix(), CP_ACP), CP_UTF8);
  }
  file.where_ = std::move(where);
  const HANDLE handle = create_named_temporary(directory, name, error);
  if (handle != INVALID_HANDLE_VALUE) {
    file.handle_ = to_stored(handle);
    file.temporary_name_ = std::move(name);
  }
  return file;
}

io_result output_file::copy_from(const input_file& source, std::uint64_t offset,
                                 std::uint64_t length) {
  const io_result result = copy_through_buffer(source, offset, length, handle_of(handle_));
  written_ += result.bytes;
  return result;
}

namespace {

// Closes a stored handle once; what only the close reports is the error.
error_code close_stored(std::intptr_t& handle) {
  if (handle != -1 && !CloseHandle(handle_of(std::exchange(handle, -1)))) {
    return static_cast<error_code>(GetLastError());
  }
  return 0;
}

// Keeps a temporary file that is about to get its real name: clears its
// delete-on-close mark, then closes it.
error_code keep_and_close(std::intptr_t& handle) {
  if (handle != -1) {
    if (const error_code error = set_delete_on_close(handle_of(handle), false)) return error;
  }
  return close_stored(handle);
}

// Closes the file and moves its temporary name to `name`, an entry name in
// `where`; `flags` decide whether an existing `name` is replaced.
error_code move_into_place(std::intptr_t& handle, const std::string& temporary,
                           const std::string& name, const directory_handle* where, DWORD flags) {
  if (const error_code error = keep_and_close(handle)) return error;
  const BOOL moved = MoveFileExW(openable_path(widened(temporary, CP_UTF8)).c_str(),
                                 entry_path(name, where).c_str(), flags);
  if (!moved) {
    return static_cast<error_code>(GetLastError());
  }
  return 0;
}

}  // namespace

bool output_file::commit_new(const std::string& name, error_code& error) {
  error = move_into_place(handle_, temporary_name_, name, where_.get(), 0);
  if (error == 0) {
    temporary_name_.clear();
    return true;
  }
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
    error = 0;
  } else {
    discard();
  }
  return false;
}

error_code output_file::commit_replacing(const std::string& name) {
  // MOVEFILE_REPLACE_EXISTING replaces a file in one step; a plain move
  // fails when the name is taken.
  const error_code error =
      move_into_place(handle_, temporary_name_, name, where_.get(), MOVEFILE_REPLACE_EXISTING);
  if (error == 0) {
    temporary_name_.clear();
  } else {
    discard();
  }
  return error;
}

// ---- console

void remove_temporary_files_on_signals() {
  // Nothing to do: every temporary file is deleted on close until its
  // commit, so the system removes it however the process ends.
}

namespace {
bool standard_input_closed = false;
}  // namespace

error_code make_standard_descriptors_safe() {
  // The runtime marks descriptors 0 to 2 as in use even when it found no
  // handle for them, and every file here is a handle, not a descriptor:
  // nothing can take their place. It tells a missing handle as it does.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  standard_input_closed =
      input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) == FILE_TYPE_UNKNOWN;
  return 0;
}

bool standard_input_was_closed() { return standard_input_closed; }

void report_write_failures_as_errors() {
  // Windows has no signals for these: a failed write is always an error.
}

void cut_back_on_signals(const input_file* /*file*/, std::uint64_t /*length*/) {}

std::size_t max_open_files() {
  // Handles are limited only by memory; this bounds what is in flight.
  return 8192;
}

bool uses_windows_names() { return true; }

bool system_case_key(std::string_view name, std::string& key) {
  const std::wstring wide = widened(name, entry_name_code_page.load());
  if (wide.empty()) {
    key.clear();
    return true;
  }
  // The invariant upper case is the one NTFS and CompareStringOrdinal's
  // ignore-case use, whatever the user's locale.
  const int size = static_cast<int>(wide.size());
  const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), size,
                                   nullptr, 0, nullptr, nullptr, 0);
  std::wstring upper(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0) {
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), size, upper.data(), length,
                  nullptr, nullptr, 0);
  }
  key = narrowed(upper, CP_UTF8);
  return true;
}

bool as_entry_name(const std::string& text, std::string& name) {
  if (entry_names_are_utf8() || GetACP() == CP_UTF8) {
    name = text;
    return true;
  }
  const std::wstring wide = widened(text, CP_UTF8);
  name = narrowed(wide, CP_ACP);
  // Only a name that comes back unchanged is the same name: this also
  // catches what became '?' for want of a character.
  return widened(name, CP_ACP) == wide;
}

// ---- entry names in other code pages

namespace {

// The code page `charset` names: "CP932", "932", "WINDOWS-1252", "IBM437",
// "UTF-8", or one of a few common names of the East Asian ones; 0 for none.
UINT code_page_named(std::string charset) {
  for (char& c : charset) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static constexpr std::pair<std::string_view, UINT> known[] = {
      {"SHIFT_JIS", 932}, {"SHIFT-JIS", 932}, {"SJIS", 932},    {"GBK", 936},
      {"GB2312", 936},    {"BIG5", 950},      {"UHC", 949},     {"UTF-8", CP_UTF8},
      {"UTF8", CP_UTF8},  {"KOI8-R", 20866},  {"KOI8-U", 21866}};
  for (const auto& [name, code_page] : known) {
    if (charset == name) return code_page;
  }
  std::string_view digits = charset;
  for (const std::string_view prefix : {"WINDOWS-", "CP", "IBM"}) {
    if (digits.starts_with(prefix)) {
      digits.remove_prefix(prefix.size());
      break;
    }
  }
  if (digits.empty() || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  return static_cast<UINT>(std::stoul(std::string{digits}));
}

// `bytes` in `code_page` as UTF-16; false when they are not valid there.
bool strictly_widened(std::string_view bytes, UINT code_page, std::wstring& wide) {
  wide.clear();
  if (bytes.empty()) return true;
  if (bytes.size() > INT_MAX) return false;
  const int size = static_cast<int>(bytes.size());
  // Some code pages (the ISO-2022 ones, UTF-7) take no flags at all.
  DWORD flags = MB_ERR_INVALID_CHARS;
  int length = MultiByteToWideChar(code_page, flags, bytes.data(), size, nullptr, 0);
  if (length == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
    flags = 0;
    length = MultiByteToWideChar(code_page, flags, bytes.data(), size, nullptr, 0);
  }
  if (length <= 0) return false;
  wide.assign(static_cast<std::size_t>(length), L'\0');
  return MultiByteToWideChar(code_page, flags, bytes.data(), size, wide.data(), length) == length;
}

}  // namespace

struct name_converter::state {
  UINT code_page = 0;
};

name_converter::name_converter(std::string charset, std::unique_ptr<state> converter)
    : charset_(std::move(charset)), state_(std::move(converter)) {}
name_converter::name_converter(name_converter&& other) noexcept = default;
name_converter& name_converter::operator=(name_converter&& other) noexcept = default;
name_converter::~name_converter() = default;

std::optional<name_converter> name_converter::open(const std::string& charset,
                                                   std::string& problem) {
  const UINT code_page = code_page_named(charset);
  if (code_page == 0 || !IsValidCodePage(code_page)) {
    problem = charset.empty() ? "no charset given" : "the system knows no code page of that name";
    return std::nullopt;
  }
  auto converter = std::make_unique<state>();
  converter->code_page = code_page;
  return name_converter(charset, std::move(converter));
}

bool name_converter::to_text(std::string_view bytes, std::string& text) const {
  std::wstring wide;
  if (!strictly_widened(bytes, state_->code_page, wide)) return false;
  text = narrowed(wide, CP_UTF8);
  return true;
}

bool name_converter::to_code_page(std::string_view text, std::string& bytes) const {
  std::wstring wide;
  if (!strictly_widened(text, CP_UTF8, wide)) return false;
  bytes = narrowed(wide, state_->code_page);
  // Only bytes that read back as the same characters stand for them: a
  // character the code page lacks became '?'.
  std::wstring back;
  return strictly_widened(bytes, state_->code_page, back) && back == wide;
}

void use_utf8_entry_names() { entry_name_code_page = CP_UTF8; }

void binary_standard_output() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool stdout_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool stderr_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::size_t terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

void wait_for_key() {
  // The command interpreter prints its own prompt and reads the key; what
  // the program printed so far must reach the console first.
  std::fflush(stdout);
  [[maybe_unused]] const int ignored = std::system("pause");
}

// ---- For writing archives and for the qvx command

file_facts examine(const std::string& path, error_code& error) {
  file_facts facts;
  // No access rights and backup semantics: reads only what the file is,
  // also for a directory, and never blocks on a pipe.
  const HANDLE handle = CreateFileW(openable_path(widened(path, CP_UTF8)).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = static_cast<error_code>(GetLastError());
    return facts;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) {
    error = static_cast<error_code>(GetLastError());
    CloseHandle(handle);
    return facts;
  }
  error = 0;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    facts.kind = file_kind::directory;
  } else if (GetFileType(handle) == FILE_TYPE_DISK) {
    facts.kind = file_kind::regular;
  }
  CloseHandle(handle);
  facts.size = (std::uint64_t{info.nFileSizeHigh} << 32U) | info.nFileSizeLow;
  facts.volume = info.dwVolumeSerialNumber;
  facts.file_id = (std::uint64_t{info.nFileIndexHigh} << 32U) | info.nFileIndexLow;
  facts.modified = (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32U) |
                   info.ftLastWriteTime.dwLowDateTime;
  return facts;
}

// ---- edit_lock

edit_lock::edit_lock(edit_lock&& other) noexcept
    : handle_(std::exchange(other.handle_, invalid_handle)) {}

edit_lock& edit_lock::operator=(edit_lock&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, invalid_handle);
  }
  return *this;
}

edit_lock::~edit_lock() { release(); }

void edit_lock::release() {
  if (handle_ == invalid_handle) return;
  const HANDLE mutex = handle_of(std::exchange(handle_, invalid_handle));
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

edit_lock edit_lock::acquire(const std::string& path, file_facts& locked, error_code& error) {
  // A mutex named after the file's identity, not a lock on the file: a
  // file that another process holds open, even only to wait, cannot be
  // replaced on Windows.
  edit_lock lock;
  locked = examine(path, error);
  if (error != 0) return lock;
  const std::wstring name =
      L"Local\\qvx-edit-" + std::to_wstring(locked.volume) + L"-" + std::to_wstring(locked.file_id);
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) {
    error = static_cast<error_code>(GetLastError());
    return lock;
  }
  // WAIT_ABANDONED: an editor that held it was killed; its edit is whole
  // or not made at all, so the lock is simply taken.
  const DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    error = static_cast<error_code>(GetLastError());
    CloseHandle(mutex);
    return lock;
  }
  lock.handle_ = to_stored(mutex);
  return lock;
}

void replacement_file::discard() {
  if (is_open()) CloseHandle(handle_of(std::exchange(handle_, invalid_handle)));
  remove_temporary(temporary_name_);
}

replacement_file replacement_file::create(const std::string& path, error_code& error) {
  replacement_file file;
  file.path_ = path;
  const std::size_t separator = path.find_last_of("/\\:");
  const std::string directory =
      separator == std::string::npos ? std::string{} : path.substr(0, separator + 1);
  std::string name;
  const HANDLE handle = create_named_temporary(directory, name, error);
  if (handle != INVALID_HANDLE_VALUE) {
    file.handle_ = to_stored(handle);
    file.temporary_name_ = std::move(name);
  }
  return file;
}

error_code replacement_file::write(std::span<const std::byte> data) {
  const error_code error = write_fully(handle_of(handle_), data);
  if (error == 0) written_ += data.size();
  return error;
}

io_result replacement_file::copy_from(const input_file& source, std::uint64_t offset,
                                      std::uint64_t length) {
  const io_result result = copy_through_buffer(source, offset, length, handle_of(handle_));
  written_ += result.bytes;
  return result;
}

error_code replacement_file::commit() {
  // The path came from the command line, so it is UTF-8, unlike entry names.
  error_code error = keep_and_close(handle_);
  // A file that another process has open for a moment (one that looks at
  // it, a virus scanner) cannot be replaced; that passes, so the move is
  // tried again for up to about two seconds.
  for (int attempt = 0; error == 0; ++attempt) {
    if (MoveFileExW(openable_path(widened(temporary_name_, CP_UTF8)).c_str(),
                    openable_path(widened(path_, CP_UTF8)).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      break;
    }
    const DWORD failure = GetLastError();
    if ((failure != ERROR_ACCESS_DENIED && failure != ERROR_SHARING_VIOLATION) || attempt == 100) {
      error = static_cast<error_code>(failure);
    } else {
      Sleep(20);
    }
  }
  if (error == 0) {
    temporary_name_.clear();
  } else {
    discard();
  }
  return error;
}

error_code replacement_file::commit_over(input_file& replaced, bool& changed) {
  // Windows cannot swap two names, nor replace a file that is open: close,
  // check, then move. The edit lock is not the file's, so it is still held.
  const file_facts expected = replaced.facts();
  replaced = input_file{};
  error_code error = 0;
  const file_facts now = examine(path_, error);
  changed = error != 0 || !now.same_file(expected) || now.size != expected.size;
  if (changed) {
    discard();
    return 0;
  }
  return commit();
}

error_code change_directory(const std::string& path) {
  return SetCurrentDirectoryW(widened(path, CP_UTF8).c_str())
             ? 0
             : static_cast<error_code>(GetLastError());
}

bool is_symbolic_link(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(openable_path(widened(path, CP_UTF8)).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool may_write(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(openable_path(widened(path, CP_UTF8)).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

std::string final_target(const std::string& path, error_code& error) {
  error = 0;
  const std::wstring wide = openable_path(widened(path, CP_UTF8));
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  // Opening without FILE_FLAG_OPEN_REPARSE_POINT follows every link.
  const HANDLE handle =
      CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = static_cast<error_code>(GetLastError());
    return {};
  }
  std::wstring target(32768, L'\0');
  const DWORD length =
      GetFinalPathNameByHandleW(handle, target.data(), static_cast<DWORD>(target.size()), 0);
  if (length == 0 || length >= target.size()) error = static_cast<error_code>(GetLastError());
  CloseHandle(handle);
  if (error != 0) return {};
  target.resize(length);
  return narrowed(target, CP_UTF8);
}

namespace {

// The names that FindFirstFileW finds for `pattern`, "." and ".." left out.
std::vector<std::string> found_names(const std::string& pattern, error_code& error) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(widened(pattern, CP_UTF8).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    error = static_cast<error_code>(GetLastError());
    return names;
  }
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(narrowed(name, CP_UTF8));
  } while (FindNextFileW(search, &found));
  error = 0;
  FindClose(search);
  return names;
}

}  // namespace

std::vector<std::string> directory_names(const std::string& path, error_code& error) {
  const std::vector<std::string> names = found_names(joined_path(path, "*"), error);
  if (error == ERROR_FILE_NOT_FOUND) error = 0;  // an empty directory
  return names;
}

std::string joined_path(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory.find_last_of("/\\:") == directory.size() - 1) {
    return directory + name;
  }
  return directory + '\\' + name;
}

std::vector<std::string> expanded_argument(const std::string& argument) {
  const std::size_t separator = argument.find_last_of("/\\:");
  const std::size_t last = separator == std::string::npos ? 0 : separator + 1;
  if (argument.find_first_of("*?", last) == std::string::npos) return {argument};
  error_code error = 0;
  std::vector<std::string> names = found_names(argument, error);
  if (names.empty()) return {argument};
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name = argument.substr(0, last) + name;
  return names;
}

io_result read_small_file(const std::string& path, std::uint64_t expected,
                          std::vector<std::byte>& out) {
  const HANDLE file = CreateFileW(openable_path(widened(path, CP_UTF8)).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {0, static_cast<error_code>(GetLastError())};
  const std::size_t start = out.size();
  out.resize(start + expected + 1);
  const io_result result = read_fully(file, 0, std::span{out}.subspan(start));
  CloseHandle(file);
  out.resize(start + result.bytes);
  return result;
}

error_code random_bytes(std::span<std::byte> bytes) {
  // BCryptGenRandom takes at most ULONG bytes a call.
  while (!bytes.empty()) {
    const std::size_t part = std::min<std::size_t>(bytes.size(), 1U << 20U);
    const NTSTATUS status =
        BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(part),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) return ERROR_GEN_FAILURE;
    bytes = bytes.subspan(part);
  }
  return 0;
}

error_code open_in_browser(const std::string& url) {
  const std::wstring wide = widened(url, CP_UTF8);
  // ShellExecuteW returns a number above 32 on success.
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32 ? 0 : static_cast<error_code>(GetLastError());
}

}  // namespace qvx::platform
