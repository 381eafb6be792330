# The library is cut into areas (src/<dir>/), each built as one static library
# that sees only the headers of the areas it may use: those it names in DEPS and,
# through them, the ones below. Every area folder is reached through an include
# root of its own (<build>/include-roots/<dir>/<dir> -> src/<dir>), so that an
# include of a higher layer's header fails to compile instead of linking by
# accident. The layering order is util <- crypto <- rfc9420 / kesu <- core,
# sealed, transport, router, reliability <- mls, nostr, store, services,
# datastore, telemetry <- protocol <- bindings.

set(BRENVIK_INCLUDE_ROOTS ${CMAKE_BINARY_DIR}/include-roots)

# The include root of one area folder; created at configure time.
function(brenvik_area_include_root dir out_var)
  set(root ${BRENVIK_INCLUDE_ROOTS}/${dir})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${dir} ${root}/${dir} SYMBOLIC)
  set(${out_var} ${root} PARENT_SCOPE)
endfunction()

# brenvik_area(<target> DIRS <src folder>... [DEPS <target>...] [ALL_BELOW])
#
# One static library from every source under src/<dir>/ (picked up by glob, so
# that adding a file needs no build edit), or an interface library while the
# folders hold no sources yet, so that dependents can already name it. The test
# executable of each folder (tests/<dir>/) is made later by
# brenvik_add_area_tests() and linked to this target. ALL_BELOW adds every area
# declared before this one to DEPS: the protocol core may use every area below
# it, so a new area is one brenvik_area() line above the core's.
function(brenvik_area name)
  cmake_parse_arguments(A "ALL_BELOW" "" "DIRS;DEPS" ${ARGN})
  if(A_ALL_BELOW)
    get_property(below GLOBAL PROPERTY BRENVIK_AREA_TARGETS)
    list(REVERSE below)
    list(PREPEND A_DEPS ${below})
  endif()
  set(srcs "")
  set(roots "")
  foreach(d IN LISTS A_DIRS)
    file(GLOB_RECURSE s CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${d}/*.cpp ${CMAKE_SOURCE_DIR}/src/${d}/*.c)
    list(APPEND srcs ${s})
    if(IS_DIRECTORY ${CMAKE_SOURCE_DIR}/src/${d})
      brenvik_area_include_root(${d} root)
      list(APPEND roots ${root})
    endif()
    set_property(GLOBAL APPEND PROPERTY BRENVIK_AREA_DIRS "${d}=${name}")
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${roots})
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${roots})
    target_link_libraries(${name} INTERFACE ${A_DEPS})
  endif()
  set_property(GLOBAL APPEND PROPERTY BRENVIK_AREA_TARGETS ${name})
endfunction()
