# Build helpers shared by every folder: one warning list, sanitizer and 32-bit flags, test targets.

function(ql_apply_global_flags)
  if(QL_SANITIZE)
    string(REPLACE "," ";" _kinds "${QL_SANITIZE}")
    set(_flags "-fsanitize=${QL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all")
    set(CMAKE_C_FLAGS "${CMAKE_C_FLAGS} ${_flags}" PARENT_SCOPE)
    set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} ${_flags}" PARENT_SCOPE)
    set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -fsanitize=${QL_SANITIZE}" PARENT_SCOPE)
    set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -fsanitize=${QL_SANITIZE}"
        PARENT_SCOPE)
  endif()
  if(QL_M32)
    # 64-bit file offsets and inode numbers: without them stat and readdir fail with EOVERFLOW
    # on files past 2 GiB and on file systems whose inode numbers or directory offsets need 64
    # bits. No off_t or ino_t crosses the public API, so callers are not affected.
    set(CMAKE_C_FLAGS "${CMAKE_C_FLAGS} -m32 -D_FILE_OFFSET_BITS=64" PARENT_SCOPE)
    set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -m32 -D_FILE_OFFSET_BITS=64" PARENT_SCOPE)
    set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -m32" PARENT_SCOPE)
    set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -m32" PARENT_SCOPE)
  endif()
endfunction()

# Debian's hardening flags, as dpkg-buildflags gives them with every hardening feature on
# (stack protector, _FORTIFY_SOURCE, format checks, read-only relocations bound at start), for
# every target. Optimisation, debug information and file prefix maps are left to the build type;
# _FORTIFY_SOURCE needs optimisation and is left out of Debug builds. Sanitizer and fuzz builds
# go without: the fortified functions would bypass the sanitizers' own.
function(ql_apply_hardening_flags)
  if(NOT QL_HARDENING OR QL_SANITIZE OR QL_FUZZ)
    return()
  endif()
  find_program(QL_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT QL_DPKG_BUILDFLAGS)
    message(WARNING "dpkg-buildflags not found: building without Debian's hardening flags")
    return()
  endif()
  foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${QL_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE _value OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
      message(WARNING "dpkg-buildflags --get ${kind} failed: building without hardening flags")
      return()
    endif()
    separate_arguments(_list UNIX_COMMAND "${_value}")
    list(FILTER _list EXCLUDE REGEX "^-(O.*|g.*|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
    if(CMAKE_BUILD_TYPE STREQUAL "Debug")
      list(FILTER _list EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
    endif()
    list(JOIN _list " " _${kind})
  endforeach()
  set(CMAKE_C_FLAGS "${CMAKE_C_FLAGS} ${_CPPFLAGS} ${_CFLAGS}" PARENT_SCOPE)
  set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} ${_CPPFLAGS} ${_CXXFLAGS}" PARENT_SCOPE)
  set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} ${_LDFLAGS}" PARENT_SCOPE)
  set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} ${_LDFLAGS}" PARENT_SCOPE)
endfunction()

function(ql_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2 -Wcast-qual
                         -Wnull-dereference -Wvla -Wundef)
  if(QL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# ql_add_test(name SOURCES a.cpp ... LIBS lib ... LABEL label): a GoogleTest executable
# registered with ctest. LABEL puts every case of it in a ctest label: `concurrency` marks the
# executables whose cases run threads or serve clients at once, which .ci/run runs under
# ThreadSanitizer (ctest -L concurrency). Under QL_TEST_EMULATOR (the 32-bit build on a 64-bit
# kernel) the tests learn the emulator through the environment variable of that name. LOCK
# names a ctest resource lock: the cases of executables sharing it never run at once.
function(ql_add_test name)
  cmake_parse_arguments(T "" "LABEL;LOCK" "SOURCES;LIBS" ${ARGN})
  if(NOT T_SOURCES)
    set(T_SOURCES ${name}.cpp)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ql_testsupport GTest::gmock GTest::gtest_main
                        Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  ql_warnings(${name})
  set(_properties TIMEOUT 300)
  if(T_LABEL)
    list(APPEND _properties LABELS ${T_LABEL})
  endif()
  if(T_LOCK)
    list(APPEND _properties RESOURCE_LOCK ${T_LOCK})
  endif()
  if(QL_TEST_EMULATOR)
    list(APPEND _properties ENVIRONMENT QL_TEST_EMULATOR=${QL_TEST_EMULATOR})
    # The fixtures reap the daemons they start as the children's subreaper, which qemu-user
    # cannot set up (prctl fails). As the first process of a PID namespace of its own, the test
    # reaps them all the same; a stray daemon ends with it.
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
                          "${QL_UNSHARE};--pid;--fork;--mount-proc;${QL_TEST_EMULATOR}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${_properties})
endfunction()
