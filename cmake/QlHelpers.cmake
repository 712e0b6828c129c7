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
# kernel) the tests learn the emulator through the environment variable of that name.
function(ql_add_test name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
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
