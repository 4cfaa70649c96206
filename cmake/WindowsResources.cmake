# qvx_add_windows_resources(TARGET DESCRIPTION)
#
# Gives a Windows program its manifest (supported systems, long-path aware,
# no elevation) and its version information, both from project(VERSION).
# Does nothing for other targets' systems.
function(qvx_add_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE QVX_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
  set(QVX_RESOURCE_NAME ${target})
  set(QVX_RESOURCE_FILE_NAME ${target}.exe)
  set(QVX_RESOURCE_DESCRIPTION "${description}")
  # Four numbers, as Windows keeps versions; parts project() left out are 0.
  set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH}
      ${PROJECT_VERSION_TWEAK})
  set(numbers "")
  foreach(part IN LISTS parts)
    if(part STREQUAL "")
      set(part 0)
    endif()
    list(APPEND numbers ${part})
  endforeach()
  list(LENGTH numbers count)
  while(count LESS 4)
    list(APPEND numbers 0)
    list(LENGTH numbers count)
  endwhile()
  list(JOIN numbers "." QVX_RESOURCE_VERSION_DOTTED)
  list(JOIN numbers "," QVX_RESOURCE_VERSION_COMMAS)

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/windows-resources/${target})
  set(QVX_RESOURCE_MANIFEST ${dir}/${target}.exe.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/program.manifest.in
                 ${QVX_RESOURCE_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/program.rc.in ${dir}/${target}.rc @ONLY)
  # The resource compiler does not report the manifest as a dependency.
  set_source_files_properties(${dir}/${target}.rc PROPERTIES OBJECT_DEPENDS
                              ${QVX_RESOURCE_MANIFEST})
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
endfunction()
