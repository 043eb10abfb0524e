# The Python extension module `karvel`, installed top-level in site-packages
# together with the command-line module and the type stub (also as the
# stub-only package karvel-stubs).

find_package(Python 3.14 REQUIRED COMPONENTS Interpreter Development.Module)

file(GLOB KARVEL_BINDING_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/python/binding/*.cpp)
python_add_library(karvel MODULE WITH_SOABI ${KARVEL_BINDING_SOURCES})
target_link_libraries(karvel PRIVATE karvel_core)
set_target_properties(karvel PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

# Debian's multiarch layout: <prefix>/include/python3.X/pyconfig.h includes
# <x86_64-linux-gnu/python3.X/pyconfig.h>, so <prefix>/include must be
# searchable. When <prefix> is not a system prefix (an interpreter unpacked
# into a cache), that directory also holds a C library's headers, so it goes
# last in the search order (-idirafter), never before the compiler's own.
foreach(_karvel_py_include IN LISTS Python_INCLUDE_DIRS)
  get_filename_component(_karvel_py_parent "${_karvel_py_include}" DIRECTORY)
  file(GLOB _karvel_multiarch_pyconfig
    "${_karvel_py_parent}/*/python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}*/pyconfig.h")
  if(_karvel_multiarch_pyconfig
     AND NOT _karvel_py_parent IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    target_compile_options(karvel PRIVATE "SHELL:-idirafter ${_karvel_py_parent}")
  endif()
endforeach()

install(TARGETS karvel LIBRARY DESTINATION .)
foreach(_karvel_py_file karvel_cli.py karvel.pyi)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/python/${_karvel_py_file})
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/python/${_karvel_py_file} DESTINATION .)
  endif()
endforeach()
# Type checkers find the types of a single-module extension in a stub-only
# package beside it (PEP 561): mypy ignores a bare karvel.pyi there.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/python/karvel.pyi
  DESTINATION karvel-stubs RENAME __init__.pyi)
