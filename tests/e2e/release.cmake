# Helpers and the suite for release checks (planted DLLs, nothing written, single instance).
# The benchmarks (scripts/bench) use the same helpers and the same config file.

# The start-up floors: built like the launcher (size-optimised, stripped, GUI),
# so that what differs is only what the launcher does.
foreach(floor IN ITEMS empty empty_imports)
  add_executable(tapwright_release_${floor} WIN32 helpers/release_${floor}_win.cpp)
  target_link_libraries(tapwright_release_${floor} PRIVATE tapwright_common)
  target_compile_options(tapwright_release_${floor} PRIVATE -Os)
  target_link_options(tapwright_release_${floor} PRIVATE -municode -mwindows -s)
endforeach()

# The launcher's request alone, with WinINet and the version library imported
# the ordinary way.
tapwright_e2e_helper(tapwright_release_fetch GUI helpers/release_fetch_win.cpp)
target_link_libraries(tapwright_release_fetch PRIVATE wininet version)
target_compile_options(tapwright_release_fetch PRIVATE -Os)
target_link_options(tapwright_release_fetch PRIVATE -s)

tapwright_e2e_helper(tapwright_release_mutex_holder CONSOLE helpers/release_mutex_holder_win.cpp)
tapwright_e2e_helper(tapwright_release_timer CONSOLE helpers/release_timer_win.cpp)
tapwright_e2e_helper(tapwright_release_swarm CONSOLE helpers/release_swarm_win.cpp)

# The planted wininet.dll, in a folder of its own so that no program in the
# build tree can pick it up by accident.
add_library(tapwright_release_planted_wininet SHARED helpers/planted_library.cpp)
set_target_properties(tapwright_release_planted_wininet PROPERTIES
  OUTPUT_NAME wininet PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted)
target_link_libraries(tapwright_release_planted_wininet PRIVATE tapwright_common)
target_link_options(tapwright_release_planted_wininet PRIVATE -s)

set(TAPWRIGHT_RELEASE_PROGRAMS
  tapwright_release_empty tapwright_release_empty_imports tapwright_release_fetch
  tapwright_release_mutex_holder tapwright_release_timer tapwright_release_swarm)
add_custom_target(tapwright_release DEPENDS tapwright_e2e ${TAPWRIGHT_RELEASE_PROGRAMS}
  tapwright_release_planted_wininet)

# The e2e config, plus the release helpers, the planted DLL (kept apart from
# the programs, which the harness copies into one folder) and the tools that
# read the executable.
set(release_entries "")
foreach(program IN LISTS TAPWRIGHT_E2E_PROGRAMS TAPWRIGHT_RELEASE_PROGRAMS ITEMS TapwrightService)
  list(APPEND release_entries "    \"${program}\": \"$<TARGET_FILE:${program}>\"")
endforeach()
string(JOIN ",\n" release_entries ${release_entries})
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/release_config.json CONTENT
"{
  \"port\": ${TAPWRIGHT_E2E_PORT},
  \"host\": \"localhost:${TAPWRIGHT_E2E_PORT}\",
  \"product_host\": \"${TAPWRIGHT_UPDATE_HOST}\",
  \"objdump\": \"${CMAKE_OBJDUMP}\",
  \"strip\": \"${CMAKE_STRIP}\",
  \"planted_wininet\": \"$<TARGET_FILE:tapwright_release_planted_wininet>\",
  \"programs\": {
${release_entries}
  }
}
")

add_test(NAME e2e_release
  COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/test_release.py
          --config ${CMAKE_CURRENT_BINARY_DIR}/release_config.json)
set_tests_properties(e2e_release PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
