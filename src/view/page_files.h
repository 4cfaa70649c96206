// The files of the viewer's page, built into the program from src/view/page.
#pragma once

#include <span>
#include <string_view>

namespace qvx::view {

struct page_file {
  std::string_view path;  // as requested: "/index.html", "/app.js"
  std::string_view media_type;
  std::string_view bytes;
};

std::span<const page_file> page_files();

}  // namespace qvx::view
