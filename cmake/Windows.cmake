# Windows parts of the build, included from the top-level CMakeLists.txt after
# the kestrelmap target exists (MinGW-w64, also cross from Linux, and MSVC).

enable_language(RC)

# Kestrelmap.exe carries a version resource; the banner reads it at run time.
set(KESTREL_EXE_FILE "${KESTREL_EXE_NAME}.exe")
set(KESTREL_LEGAL_NOTICE "Copyright (C) 2026 Kestrelmap developers")
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/Kestrelmap.rc @ONLY)
target_sources(kestrelmap PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/Kestrelmap.rc)

# windows.h without its macros min/max and its rarely used parts; the
# standard C file functions without MSVC's deprecation warnings.
target_compile_definitions(kestrel PUBLIC NOMINMAX WIN32_LEAN_AND_MEAN)
if(MSVC)
  target_compile_definitions(kestrel PUBLIC _CRT_SECURE_NO_WARNINGS)
endif()
target_link_libraries(kestrel PUBLIC version shell32)

# Statically linked runtime, so that the programs run on a plain Windows
# machine (MSVC: CMAKE_MSVC_RUNTIME_LIBRARY, set before the targets).
if(NOT MSVC)
  target_link_options(kestrel INTERFACE -static -static-libgcc -static-libstdc++)
endif()

# The test programs: Linux distributions ship GoogleTest built for Linux only,
# so a cross build compiles it from source (Debian: package googletest).
# Discovering the tests would run the program at build time; on a cross build
# that happens when the tests run (through the emulator, wine).
if(KESTREL_TESTS)
  if(CMAKE_CROSSCOMPILING)
    set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
  endif()
  set(KESTREL_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources for Windows builds")
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest QUIET)
  endif()
  if(NOT GTest_FOUND AND NOT TARGET GTest::gtest)
    if(NOT EXISTS ${KESTREL_GTEST_SOURCE_DIR}/CMakeLists.txt)
      message(FATAL_ERROR "GoogleTest sources not found in ${KESTREL_GTEST_SOURCE_DIR}; "
                          "set KESTREL_GTEST_SOURCE_DIR or KESTREL_TESTS=OFF")
    endif()
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    add_subdirectory(${KESTREL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(gtestTarget gtest gtest_main)
      if(NOT TARGET GTest::${gtestTarget})
        add_library(GTest::${gtestTarget} ALIAS ${gtestTarget})
      endif()
      # GoogleTest's own sources are not held to the project's warning flags.
      target_compile_options(${gtestTarget} PRIVATE $<IF:$<CXX_COMPILER_ID:MSVC>,/w,-w>)
      set_target_properties(${gtestTarget} PROPERTIES MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    endforeach()
    # tests/CMakeLists.txt asks for the package; the targets above are it.
    file(WRITE ${CMAKE_BINARY_DIR}/gtest-package/GTestConfig.cmake
         "# GoogleTest built from source by this project (cmake/Windows.cmake).\n")
    set(GTest_DIR ${CMAKE_BINARY_DIR}/gtest-package CACHE PATH "" FORCE)
  endif()
endif()

# Package: cpack (in the build folder) writes kestrelmap-<version>-win64.zip
# with Kestrelmap.exe and the README.
install(TARGETS kestrelmap RUNTIME DESTINATION . COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT program)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kestrelmap)
set(CPACK_PACKAGE_VENDOR "Kestrelmap developers")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME "kestrelmap-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
set(CPACK_COMPONENTS_ALL program)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
