# Integration tests against the real kernel. Each test creates its own pair of
# network namespaces (probe host and responder host), runs the scripted
# responder on one and the probe on the other, checks the report line and
# removes everything again. They need root (skipped otherwise), python3 and
# iproute2 (rtt_vs_ping also iputils ping). ".raw" runs the probe as root over
# a raw ICMP socket, ".dgram" as nobody over a datagram ICMP socket; the
# scenarios net_raw_only and no_privilege choose the privileges themselves.
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
)
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
