# Integration tests against the real kernel, one CTest test for each row of
# scenarios.list and each socket kind there: integration.NAME.KIND. Each test
# creates its own pair of network namespaces (probe host and responder host),
# runs the scripted responder on one and the probe on the other, checks the
# report line and removes everything again (run_test.sh). They need root
# (skipped otherwise), python3, iproute2 and what their rows need
# (lib/needs.sh: strace, ping, nftables, valgrind, the preload shim built
# here, ...). The rows' needs give the properties: alone runs by itself
# (RUN_SERIAL), long may take 600 s instead of 60, cross adds the label cross.
set(ketrova_scenarios ${CMAKE_CURRENT_LIST_DIR}/scenarios.list)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ketrova_scenarios})

# The preload library that refuses chosen calls (refuse_shim.c), for the
# scenarios of a probe that may not use route netlink or hold its socket to
# an interface; run_test.sh finds it in the tests directory beside the probe
# (REFUSE_SHIM names another).
enable_language(C)
add_library(ketrova_refuse_shim MODULE ${CMAKE_CURRENT_LIST_DIR}/refuse_shim.c)
target_link_libraries(ketrova_refuse_shim PRIVATE ketrova_warnings ${CMAKE_DL_LIBS})
# And the one that sets the real-time clock as the probe sees it
# (clock_step_shim.c), for the stall scenarios of a clock stepped mid-series.
add_library(ketrova_clock_step_shim MODULE ${CMAKE_CURRENT_LIST_DIR}/clock_step_shim.c)
target_link_libraries(ketrova_clock_step_shim PRIVATE ketrova_warnings ${CMAKE_DL_LIBS})

# A cross build runs the probe under CMake's emulator (qemu-user, see
# cmake/toolchains/), which run_test.sh puts last before the probe whatever
# else a scenario runs it under (PROBE_EMULATOR); the needs that qemu-user
# cannot meet skip there (lib/needs.sh).
set(ketrova_emulator_env)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " ketrova_emulator)
  set(ketrova_emulator_env "PROBE_EMULATOR=${ketrova_emulator}")
endif()

file(STRINGS ${ketrova_scenarios} ketrova_rows)
foreach(row IN LISTS ketrova_rows)
  string(REGEX REPLACE "#.*" "" row "${row}")
  string(STRIP "${row}" row)
  if(row STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "[ \t]+" ";" fields "${row}")
  list(LENGTH fields count)
  if(NOT count EQUAL 3)
    message(FATAL_ERROR "scenarios.list: \"${row}\" is not NAME KINDS NEEDS")
  endif()
  list(GET fields 0 name)
  list(GET fields 1 kinds)
  list(GET fields 2 needs)
  string(REPLACE "," ";" kinds "${kinds}")
  string(REPLACE "," ";" needs "${needs}")
  set(labels integration)
  if("cross" IN_LIST needs)
    list(APPEND labels cross)
  endif()
  set(timeout 60)
  if("long" IN_LIST needs)
    set(timeout 600)
  endif()
  set(serial FALSE)
  if("alone" IN_LIST needs)
    set(serial TRUE)
  endif()
  foreach(kind IN LISTS kinds)
    set(test ${name}.${kind})
    if(kind STREQUAL "-")
      set(test ${name})
    endif()
    add_test(NAME integration.${test}
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run_test.sh $<TARGET_FILE:ketrova-probe> ${test})
    set_tests_properties(integration.${test} PROPERTIES
      LABELS "${labels}"
      SKIP_RETURN_CODE 77
      TIMEOUT ${timeout}
      RUN_SERIAL ${serial}
      ENVIRONMENT "${ketrova_emulator_env}")
  endforeach()
endforeach()

# The list and the scenario_* functions name the same scenarios (no root
# needed, no namespaces made).
add_test(NAME integration_scenarios_listed
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run_test.sh --check-list)
set_tests_properties(integration_scenarios_listed PROPERTIES LABELS harness)

# Namespaces are reaped only where their shell is gone, seen from another PID
# namespace too (root; skipped otherwise).
add_test(NAME integration_netns_reaping COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/reap_test.sh)
set_tests_properties(integration_netns_reaping PROPERTIES LABELS harness SKIP_RETURN_CODE 77 TIMEOUT 60)
