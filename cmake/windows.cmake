# Windows specifics of the build: the tests' runner under wine and the shared C++ runtime.

# The system headers without their rarely used parts (whose names, such as "byte", clash with
# ours) and without the min and max macros.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)

if(CMAKE_CROSSCOMPILING)
  # ctest (and test discovery) run the Windows programs under wine, in a prefix of this build.
  set(CMAKE_CROSSCOMPILING_EMULATOR bash ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh
      ${CMAKE_BINARY_DIR}/wineprefix)
  # GoogleTest built for mingw from Debian's sources, into this build tree.
  if(BUILD_TESTS)
    set(MINGW_GTEST_PREFIX ${CMAKE_BINARY_DIR}/googletest)
    execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/build-gtest-mingw.sh
                            ${MINGW_GTEST_PREFIX}
                    RESULT_VARIABLE gtest_result)
    if(NOT gtest_result EQUAL 0)
      message(FATAL_ERROR "GoogleTest for mingw could not be built (${gtest_result})")
    endif()
    list(APPEND CMAKE_FIND_ROOT_PATH ${MINGW_GTEST_PREFIX})
  endif()
endif()

# One C++ runtime for the programs and both DLLs, so that the terminate handler the program
# installs also covers a terminate inside a DLL: the runtime's DLLs go next to the programs.
set(WINDOWS_RUNTIME_DLLS "")
foreach(dll IN ITEMS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "the C++ runtime's ${dll} is not where the compiler says (${path})")
  endif()
  # Without their debugging sections: libstdc++ shrinks from 23 MB to 4 MB.
  set(copy ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${dll})
  file(MAKE_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  execute_process(COMMAND ${CMAKE_STRIP} --strip-debug -o ${copy} ${path}
                  RESULT_VARIABLE strip_result)
  if(NOT strip_result EQUAL 0)
    file(COPY ${path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
  list(APPEND WINDOWS_RUNTIME_DLLS ${copy})
endforeach()

# Launchers for the Linux end-to-end tests: each runs its Windows program under wine, keeping
# the process id (signals to it reach the program).
foreach(program IN ITEMS tarvik-terminal pelk-terminal fatal-probe scanwell varnax-server)
  set(launcher ${CMAKE_BINARY_DIR}/wine/${program})
  file(WRITE ${launcher} "#!/bin/sh\nexec bash '${PROJECT_SOURCE_DIR}/scripts/wine-run.sh' \
'${CMAKE_BINARY_DIR}/wineprefix' '${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${program}.exe' \"\$@\"\n")
  file(CHMOD ${launcher} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
