# The Windows build's tests, run under Wine (included from tests/CMakeLists.txt).
#
# Every test but the echo series and the installer's shares one Wine prefix in
# the build tree. Its session starts inside a network namespace with no
# interfaces (fixture wine_session), so no echo request of these tests can
# leave the machine. The echo series makes its own pair of namespaces and its
# own prefix; the installer's test its own prefix, thrown away at its end.

set(KETROVA_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
set(KETROVA_WINE_PREFIX ${KETROVA_WINE_DIR}/prefix)
set(KETROVA_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
set(KETROVA_WINE_SESSION ${CMAKE_CURRENT_LIST_DIR}/wine-session.sh)

# Prints the argument vector the C runtime builds; wmain needs -municode.
add_executable(argv_echo ${CMAKE_CURRENT_LIST_DIR}/argv_echo.cpp)
target_link_libraries(argv_echo PRIVATE ketrova_core ketrova_warnings)
add_executable(command_line_compare ${CMAKE_CURRENT_LIST_DIR}/command_line_compare.cpp)
target_link_libraries(command_line_compare PRIVATE ketrova_core ketrova_warnings)
if(MINGW)
  target_compile_options(argv_echo PRIVATE -municode)
  target_link_options(argv_echo PRIVATE -municode -static)
  target_link_options(command_line_compare PRIVATE -static)
endif()

# The tests' own code needs no optimisation, and cross-compiling it (and
# GoogleTest) at -O3 would take most of the stage; the core they test keeps
# the build type's flags. The last -O on the command line wins.
if(MINGW)
  foreach(target ketrova_unit_tests argv_echo command_line_compare gtest gtest_main)
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE -O0)
    endif()
  endforeach()
endif()

set_target_properties(ketrova_unit_tests command_line_compare PROPERTIES
  CROSSCOMPILING_EMULATOR "bash;${KETROVA_WINE_RUN};${KETROVA_WINE_PREFIX}")

add_test(NAME windows_wine_session_start
         COMMAND bash ${KETROVA_WINE_SESSION} start ${KETROVA_WINE_PREFIX})
add_test(NAME windows_wine_session_stop
         COMMAND bash ${KETROVA_WINE_SESSION} stop ${KETROVA_WINE_PREFIX})
set_tests_properties(windows_wine_session_start PROPERTIES FIXTURES_SETUP wine_session)
set_tests_properties(windows_wine_session_stop PROPERTIES FIXTURES_CLEANUP wine_session)

add_test(NAME windows_end_to_end
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/end_to_end.sh ${KETROVA_WINE_RUN}
                 ${KETROVA_WINE_PREFIX} $<TARGET_FILE:ketrova-probe>)

# Windows paths for the programs that CreateProcessW starts (Wine maps Z: to /).
add_test(NAME windows_command_line
         COMMAND command_line_compare Z:$<TARGET_FILE:ketrova-probe> Z:$<TARGET_FILE:argv_echo>)

# The Windows Installer packages (cmake/msi.cmake, made where wixl is
# installed): this version's, and a later version's to upgrade it with.
include(${PROJECT_SOURCE_DIR}/cmake/msi.cmake)

add_test(NAME windows_echo_series
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/echo_series.sh ${KETROVA_WINE_RUN}
                 ${KETROVA_WINE_SESSION} ${KETROVA_WINE_PREFIX} ${KETROVA_WINE_DIR}/netns-prefix
                 $<TARGET_FILE:ketrova-probe> ${KETROVA_MSI_FILE})
set_tests_properties(windows_echo_series PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180)

# Install, upgrade, refused downgrade and removal with Wine's msiexec, in a
# prefix of its own whose session starts in a namespace without interfaces.
add_test(NAME windows_installer
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/installer.sh ${KETROVA_WINE_RUN}
                 ${KETROVA_WINE_SESSION} ${KETROVA_WINE_PREFIX} ${KETROVA_WINE_DIR}/installer-prefix
                 ${KETROVA_MSI_FILE} ${KETROVA_MSI_LATER_FILE})
set_tests_properties(windows_installer PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)

set_tests_properties(unit_tests windows_end_to_end windows_command_line windows_echo_series
                     windows_installer PROPERTIES FIXTURES_REQUIRED wine_session)
set_tests_properties(windows_wine_session_start PROPERTIES TIMEOUT 300)

add_test(NAME windows_self_contained
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/self_contained.sh ${CMAKE_OBJDUMP}
                 $<TARGET_FILE:ketrova-probe>)
