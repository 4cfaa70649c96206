# qvx_install_man_page(PAGE)
#
# Installs the manual page PAGE (a path below the source directory whose
# name ends in its section, like docs/qvxreader.1) compressed with gzip -9n,
# as Debian keeps manual pages, in share/man/manSECTION. The Windows
# packages carry no manual pages.
function(qvx_install_man_page page)
  if(WIN32)
    return()
  endif()
  find_program(QVX_GZIP gzip REQUIRED)
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[0-9]$" section ${name})
  if(section STREQUAL "")
    message(FATAL_ERROR "${page}: the name does not end in a manual section")
  endif()
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/man/${name})
  # -n leaves out the name and time, so the same page gives the same bytes.
  add_custom_command(
    OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${page} ${copy}
    COMMAND ${QVX_GZIP} -9nf ${copy}
    DEPENDS ${page}
    COMMENT "Compressing the manual page ${name}"
    VERBATIM)
  add_custom_target(man_page_${name} ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
