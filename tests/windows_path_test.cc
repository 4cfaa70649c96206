// The path conversion of the Windows programs, run under Wine or Windows by
// the end-to-end tests: long paths get the \\?\ prefix, short ones stay.
// GoogleTest is not built for Windows here, so this is a plain program that
// prints each failure and exits 1.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/windows_path.h"

namespace {

int failures = 0;

void expect(bool condition, const char* what, const std::wstring& got) {
  if (condition) return;
  ++failures;
  std::fprintf(stderr, "%s: got %ls\n", what, got.c_str());
}

std::wstring repeated(const std::wstring& part, int times) {
  std::wstring text;
  for (int i = 0; i < times; ++i) text += part;
  return text;
}

}  // namespace

int main() {
  using qvx::platform::openable_path;
  const std::wstring long_tail = repeated(L"directory\\", 30) + L"file.txt";  // 308 characters

  expect(openable_path(L"a.txt") == L"a.txt", "a short relative path stays",
         openable_path(L"a.txt"));
  const std::wstring prefixed = L"\\\\?\\C:\\" + long_tail;
  expect(openable_path(prefixed) == prefixed, "a prefixed path stays", openable_path(prefixed));

  wchar_t here[MAX_PATH * 4];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH * 4, here);
  std::wstring base{here, length};
  if (!base.empty() && base.back() != L'\\') base += L'\\';
  const std::wstring relative = openable_path(long_tail);
  expect(relative == L"\\\\?\\" + base + long_tail, "a long relative path is made absolute",
         relative);

  const std::wstring absolute = openable_path(L"C:\\" + long_tail);
  expect(absolute == L"\\\\?\\C:\\" + long_tail, "a long absolute path gets the prefix", absolute);

  const std::wstring unc = openable_path(L"\\\\server\\share\\" + long_tail);
  expect(unc == L"\\\\?\\UNC\\server\\share\\" + long_tail, "a long UNC path gets \\\\?\\UNC\\",
         unc);

  // What the prefix would keep as it is, the full form has cleaned up.
  const std::wstring dotted = openable_path(L"C:\\x\\..\\" + long_tail);
  expect(dotted == L"\\\\?\\C:\\" + long_tail, "'..' is resolved before the prefix", dotted);

  if (failures == 0) std::printf("all path conversions as expected\n");
  return failures == 0 ? 0 : 1;
}
