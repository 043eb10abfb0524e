# The Python extension modules: `karvel`, installed top-level in site-packages
# with the command-line module and the type stub (also as the stub-only
# package karvel-stubs), and `morvane._native` inside the `morvane` package.
# Both build on the C-API helpers in python/capi.

find_package(Python 3.14 REQUIRED COMPONENTS Interpreter Development.Module)

# Debian's multiarch layout: <prefix>/include/python3.X/pyconfig.h includes
# <x86_64-linux-gnu/python3.X/pyconfig.h>, so <prefix>/include must be
# searchable. When <prefix> is not a system prefix (an interpreter unpacked
# into a cache), that directory also holds a C library's headers, so it goes
# last in the search order (-idirafter), never before the compiler's own.
function(karvel_python_headers target)
  foreach(_py_include IN LISTS Python_INCLUDE_DIRS)
    get_filename_component(_py_parent "${_py_include}" DIRECTORY)
    file(GLOB _multiarch_pyconfig
      "${_py_parent}/*/python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}*/pyconfig.h")
    if(_multiarch_pyconfig AND NOT _py_parent IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
      target_compile_options(${target} PRIVATE "SHELL:-idirafter ${_py_parent}")
    endif()
  endforeach()
endfunction()

# Ref, guarded calls, GilRelease, access counts, path arguments, conversions,
# the error mapping, module state and heap-object helpers: what every
# extension module shares (helpers of one module live beside it).
file(GLOB KARVEL_CAPI_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/python/capi/*.cpp)
add_library(karvel_capi STATIC ${KARVEL_CAPI_SOURCES})
target_include_directories(karvel_capi PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/python/capi)
target_link_libraries(karvel_capi PUBLIC karvel_reader Python::Module)
set_target_properties(karvel_capi PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
karvel_python_headers(karvel_capi)

# karvel_add_extension(<target> MODULE <dotted name> DESTINATION <dir> SOURCES <files...>)
# builds one extension module over the C-API helpers and the reader, and
# installs it into <dir> of the wheel.
function(karvel_add_extension target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "MODULE;DESTINATION" "SOURCES")
  python_add_library(${target} MODULE WITH_SOABI ${ARG_SOURCES})
  string(REGEX REPLACE "^.*\\." "" _leaf "${ARG_MODULE}")
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${_leaf}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${target} PRIVATE karvel_capi karvel_reader)
  karvel_python_headers(${target})
  install(TARGETS ${target} LIBRARY DESTINATION ${ARG_DESTINATION})
endfunction()

file(GLOB KARVEL_EXT_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/python/karvel_ext/*.cpp)
karvel_add_extension(karvel MODULE karvel DESTINATION . SOURCES ${KARVEL_EXT_SOURCES})
foreach(_karvel_py_file karvel_cli.py karvel.pyi)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/python/${_karvel_py_file})
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/python/${_karvel_py_file} DESTINATION .)
  endif()
endforeach()
# Type checkers find the types of a single-module extension in a stub-only
# package beside it (PEP 561): mypy ignores a bare karvel.pyi there.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/python/karvel.pyi
  DESTINATION karvel-stubs RENAME __init__.pyi)

file(GLOB MORVANE_EXT_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/python/morvane_ext/*.cpp)
if(MORVANE_EXT_SOURCES)
  karvel_add_extension(morvane_native_ext MODULE morvane._native DESTINATION morvane
    SOURCES ${MORVANE_EXT_SOURCES})
  target_include_directories(morvane_native_ext PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/python/morvane_ext)
  target_link_libraries(morvane_native_ext PRIVATE karvel_export karvel_qc)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/python/morvane/ DESTINATION morvane
    FILES_MATCHING PATTERN "*.py" PATTERN "*.pyi" PATTERN "py.typed"
    PATTERN "__pycache__" EXCLUDE)
endif()
