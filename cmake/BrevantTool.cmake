# brevant_install_tool(<target> <man page source>)
# Installs a command-line program with its section-1 man page (a roff source in which
# @PROJECT_VERSION@ is filled in). With the tests on, checks that the page documents every option
# that `<target> --help` lists, and only those, and that `<target> --version` prints the project
# version.
function(brevant_install_tool target page_source)
  get_filename_component(page_name "${page_source}" NAME)
  string(REGEX REPLACE "\\.in$" "" page_name "${page_name}")
  if(NOT page_name MATCHES "\\.1$")
    message(FATAL_ERROR "${page_source}: a program's man page belongs in section 1 (NAME.1.in)")
  endif()
  set(page "${CMAKE_CURRENT_BINARY_DIR}/${page_name}")
  configure_file("${page_source}" "${page}" @ONLY)
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND gzip -9nkf "${page}"
    DEPENDS "${page}"
    COMMENT "Compressing ${page_name}"
    VERBATIM)
  add_custom_target(${target}-man-page ALL DEPENDS "${page}.gz")

  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES "${page}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  if(BREVANT_BUILD_TESTS)
    add_test(NAME ${target}-man-page
      COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DPAGE=${page}
              -P ${BREVANT_CHECK_MAN_PAGE})
    add_test(NAME ${target}-version COMMAND ${target} --version)
    string(REPLACE "." "\\." version_pattern "${PROJECT_VERSION}")
    set_tests_properties(${target}-version PROPERTIES
      PASS_REGULAR_EXPRESSION "^${target} ${version_pattern}\n$")
    set_tests_properties(${target}-man-page ${target}-version PROPERTIES LABELS unit TIMEOUT 60)
  endif()
endfunction()

set(BREVANT_CHECK_MAN_PAGE "${CMAKE_CURRENT_LIST_DIR}/CheckManPage.cmake")
