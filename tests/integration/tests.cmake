# Integration tests against the real kernel. Each test creates its own pair of
# network namespaces (probe host and responder host), runs the scripted
# responder on one and the probe on the other, checks the report line and
# removes everything again. They need root (skipped otherwise), python3 and
# iproute2 (rtt_vs_ping also iputils ping; netlink_refused, hold_refused and
# pending_error_alone the preload shim built here, and strace). ".raw" runs the
# probe as root over a raw ICMP socket, ".dgram" as nobody over a datagram ICMP
# socket; the scenarios net_raw_only and no_privilege choose the privileges
# themselves.
set(KETROVA_INTEGRATION_TESTS
  available.raw
  available.dgram
  fixed_delay.raw
  one_loss.raw
  jitter.raw
  no_reply.raw
  late_only.raw
  late_and_own.raw
  late_and_own.dgram
  duplicate.raw
  duplicate.dgram
  foreign_id.raw
  foreign_id.dgram
  wrong_seq.raw
  wrong_seq.dgram
  wrong_src.raw
  wrong_src.dgram
  foreign_error.raw
  foreign_error.dgram
  icmp_error.raw
  icmp_error.dgram
  bind_unconfigured.raw
  bind_unconfigured.dgram
  no_route.raw
  no_route.dgram
  service_unavailable
  flood_no_reply.raw
  flood_no_reply.dgram
  flood_answered.raw
  flood_answered.dgram
  rtt_vs_ping.raw
  rtt_vs_ping.dgram
  net_raw_only.raw
  no_privilege.dgram
  two_uplinks.raw
  two_uplinks.dgram
  uplink_no_route.raw
  uplink_no_route.dgram
  table_routed_source.raw
  table_routed_source.dgram
  source_rules.raw
  source_rules.dgram
  source_rule_only_route.raw
  source_rule_only_route.dgram
  setuid_uidrange.raw
  setuid_uidrange.dgram
  fwmark_reroute.raw
  fwmark_reroute.dgram
  long_link_answer.raw
  long_link_answer.dgram
  reply_other_uplink.raw
  reply_other_uplink.dgram
  route_gap_up1.raw
  route_gap_up1.dgram
  route_gap_up2.raw
  route_gap_up2.dgram
  multipath_source_table.raw
  multipath_source_table.dgram
  address_moved.raw
  address_moved.dgram
  interface_made_again.raw
  interface_made_again.dgram
  carrier_lost.raw
  carrier_lost.dgram
  netlink_refused.raw
  hold_refused.raw
)
# The path, not the host: the probe stalled by a tracer, answers past their
# deadline, ICMP that says nothing about a request, many probes at once, the
# capabilities and ids the probe holds while it runs (strace, util-linux's
# flock, valgrind, nftables).
set(KETROVA_INTEGRATION_PATH_TESTS
  stall_before_send.raw
  stall_before_send.dgram
  stall_after_send.raw
  stall_after_send.dgram
  stall_after_wakeup.raw
  stall_after_wakeup.dgram
  stall_before_read.raw
  stall_before_read.dgram
  late_answer.raw
  late_answer.dgram
  late_answer_stalled.raw
  late_answer_stalled.dgram
  stalled_answer_in_time.raw
  stalled_answer_in_time.dgram
  redirect.raw
  redirect.dgram
  source_quench.raw
  source_quench.dgram
  udp_error.raw
  udp_error.dgram
  many_probes.raw
  many_probes.dgram
  caps_during_run.raw
  caps_during_run.dgram
  caps_fail_closed.raw
  caps_fail_closed.dgram
  start_limit_refused.raw
  error_after_reply.raw
  error_after_reply.dgram
  error_behind_reply.raw
  error_behind_reply.dgram
  net_error_after_reply.dgram
  redirect_after_reply.raw
  redirect_after_reply.dgram
  reply_and_error_queued.raw
  reply_and_error_queued.dgram
  rtt_floor_held.raw
  rtt_floor_held.dgram
  rtt_floor_valgrind.raw
  rtt_floor_valgrind.dgram
  firewall_refused.raw
  firewall_refused.dgram
  route_gap.raw
  route_gap.dgram
  link_gap.raw
  link_gap.dgram
  setuid_root.raw
  setuid_root.dgram
)
# A hundred processes at once: alone, with time to spare on a slow machine.
set(KETROVA_INTEGRATION_MANY_TESTS
  many_probes.raw
  many_probes.dgram
)
list(APPEND KETROVA_INTEGRATION_TESTS ${KETROVA_INTEGRATION_PATH_TESTS})
# IP options and quoted destinations.
list(APPEND KETROVA_INTEGRATION_TESTS
  ip_options_reply.raw
  ip_options_reply.dgram
  ip_options_error.raw
  ip_options_error.dgram
  other_dst_error.raw
  other_dst_error.dgram
)
# Tests that measure time to the millisecond, or flood the machine with
# packets, run alone.
set(KETROVA_INTEGRATION_SERIAL_TESTS
  flood_no_reply.raw
  flood_no_reply.dgram
  flood_answered.raw
  flood_answered.dgram
  rtt_vs_ping.raw
  rtt_vs_ping.dgram
)

# The wait's edges: an answer unread at the deadline, wake-ups that answer
# nothing, errors about another request or from another source, the first
# sequence number, the raw socket's filter under a flood, closed standard
# streams, a pending error with nothing queued behind it.
set(KETROVA_INTEGRATION_EDGE_TESTS
  unread_at_deadline.raw
  unread_at_deadline.dgram
  woken_to_deadline.raw
  woken_to_deadline.dgram
  stale_error.raw
  stale_error.dgram
  pending_error_alone.raw
  pending_error_alone.dgram
  other_src_error.raw
  first_sequence.raw
  first_sequence.dgram
  filtered_flood.raw
  closed_streams.raw
  closed_streams.dgram
)
list(APPEND KETROVA_INTEGRATION_TESTS ${KETROVA_INTEGRATION_EDGE_TESTS})
list(APPEND KETROVA_INTEGRATION_SERIAL_TESTS filtered_flood.raw)

# The preload library that refuses chosen calls (refuse_shim.c), for the
# scenarios of a probe that may not use route netlink or hold its socket to
# an interface; run_test.sh finds it in the tests directory beside the probe
# (REFUSE_SHIM names another).
enable_language(C)
add_library(ketrova_refuse_shim MODULE ${CMAKE_CURRENT_LIST_DIR}/refuse_shim.c)
target_link_libraries(ketrova_refuse_shim PRIVATE ketrova_warnings ${CMAKE_DL_LIBS})

foreach(test IN LISTS KETROVA_INTEGRATION_TESTS)
  add_test(NAME integration.${test}
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run_test.sh $<TARGET_FILE:ketrova-probe> ${test})
  set_tests_properties(integration.${test} PROPERTIES
    LABELS integration
    SKIP_RETURN_CODE 77
    TIMEOUT 60)
endforeach()
foreach(test IN LISTS KETROVA_INTEGRATION_SERIAL_TESTS)
  set_tests_properties(integration.${test} PROPERTIES RUN_SERIAL TRUE)
endforeach()
foreach(test IN LISTS KETROVA_INTEGRATION_MANY_TESTS)
  set_tests_properties(integration.${test} PROPERTIES RUN_SERIAL TRUE TIMEOUT 600)
endforeach()

# A cross build runs the probe under CMake's emulator (qemu-user, see
# cmake/toolchains/), through run_test.sh's PROBE_WRAPPER. qemu-user hands
# the probe no ancillary data, so no kernel stamp reaches it there and the
# layer measures with its own clock readings; run_test.sh skips the scenarios
# that only kernel stamps can pass (PROBE_EMULATED). The series that
# scripts/test-cross.sh runs on every architecture has the label cross.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " ketrova_emulator)
  foreach(test IN LISTS KETROVA_INTEGRATION_TESTS)
    set_tests_properties(integration.${test} PROPERTIES
      ENVIRONMENT "PROBE_WRAPPER=${ketrova_emulator};PROBE_EMULATED=1")
  endforeach()
endif()
set(KETROVA_INTEGRATION_CROSS_TESTS
  available.raw
  available.dgram
  bind_unconfigured.raw
  bind_unconfigured.dgram
  no_reply.raw
  icmp_error.raw
  icmp_error.dgram
)
# (qemu-user refuses SO_BINDTOIFINDEX and IP_UNICAST_IF but passes
# SO_BINDTODEVICE, so the probe holds its socket to its source's interface by
# the device's name there, and the scenarios of hosts with several uplinks
# pass under it too; run_test.sh skips those that strace the probe or run a
# setuid copy of it. They stay out of this label, which is the same short
# series on every architecture.)
foreach(test IN LISTS KETROVA_INTEGRATION_CROSS_TESTS)
  set_tests_properties(integration.${test} PROPERTIES LABELS "integration;cross")
endforeach()
