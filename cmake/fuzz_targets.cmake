# The list of libFuzzer targets lives in fuzz/targets.txt only (one target and
# its dictionary per line, '#' starts a comment). The fuzz build, the fuzz
# scripts and the replay unit test all take their targets from it.

get_filename_component(KARVEL_FUZZ_TARGET_LIST ${CMAKE_CURRENT_LIST_DIR}/../fuzz/targets.txt ABSOLUTE)

# Sets OUT to the target names, in the order of the list; reconfigures when
# the list changes.
function(karvel_fuzz_targets out)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KARVEL_FUZZ_TARGET_LIST})
  file(STRINGS ${KARVEL_FUZZ_TARGET_LIST} lines)
  set(targets)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    string(REGEX MATCH "^[A-Za-z0-9_]+" target "${line}")
    if(NOT target)
      message(FATAL_ERROR "fuzz/targets.txt: not a target line: '${line}'")
    endif()
    list(APPEND targets ${target})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Writes a header that includes every harness of fuzz/ under the name
# replay_<target> and defines KARVEL_FUZZ_REPLAY_TARGETS, an initializer list
# of {"<target>", replay_<target>} pairs.
function(karvel_write_fuzz_replay_header path)
  karvel_fuzz_targets(targets)
  get_filename_component(fuzz_dir ${KARVEL_FUZZ_TARGET_LIST} DIRECTORY)
  set(text "// Generated from fuzz/targets.txt by cmake/fuzz_targets.cmake.\n")
  set(table "")
  foreach(target IN LISTS targets)
    string(APPEND text "#define LLVMFuzzerTestOneInput replay_${target}\n"
      "#include \"${fuzz_dir}/${target}.cpp\"\n#undef LLVMFuzzerTestOneInput\n")
    string(APPEND table " \\\n  {\"${target}\", replay_${target}},")
  endforeach()
  string(APPEND text "#define KARVEL_FUZZ_REPLAY_TARGETS${table}\n")
  file(CONFIGURE OUTPUT ${path} CONTENT "${text}" @ONLY)
endfunction()
