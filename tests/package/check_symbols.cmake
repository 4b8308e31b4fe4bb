# cmake -DNM=nm -DSTATIC=libtbsmb1s.a -DSHARED=libtbsmb1s.so -DHEADER=tbsmb1s.h -P check_symbols.cmake
#
# Fails when the static library defines a global symbol that a host program
# could clash with: everything it defines globally must be a tbsmb1s_* export
# or live in the tb1s namespace. Template instantiations and the compiler's
# own helpers are weak definitions that merge with identical copies, so weak
# symbols may also be instantiations over tb1s types or of the standard
# library. The shared library must export exactly the functions the header
# declares, and the static library define each of them.

cmake_minimum_required(VERSION 3.20)

function(nm_symbols out)  # nm_symbols(OUT args...): "TYPE NAME" per symbol
  execute_process(COMMAND ${NM} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} ${ARGN} failed: ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  set(symbols "")
  foreach(line IN LISTS lines)
    # "0000000000000000 T name", or "                 U name" for undefined ones.
    if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) (.+)$")
      list(APPEND symbols "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${out} "${symbols}" PARENT_SCOPE)
endfunction()

# Prefixes of mangled names: an optional special-name code (vtable, typeinfo,
# guard variable, a local static), an optional nested-name opener with const
# or volatile qualifiers, then the namespace.
set(mangled_prefix "^_Z(T[VISHW]|GV|Z)?(N[rVKRO]*)?")

nm_symbols(static_symbols -g --defined-only ${STATIC})
set(bad "")
set(static_exports "")
foreach(entry IN LISTS static_symbols)
  string(SUBSTRING "${entry}" 0 1 type)
  string(SUBSTRING "${entry}" 2 -1 name)
  # AddressSanitizer adds an ODR indicator __odr_asan.NAME beside each global
  # NAME: it is judged by that name.
  string(REGEX REPLACE "^__odr_asan\\." "" name "${name}")
  if(name MATCHES "^tbsmb1s_[A-Za-z0-9_]+$")
    list(APPEND static_exports ${name})
  elseif(name MATCHES "${mangled_prefix}4tb1s")
    # tb1s::...
  elseif(type MATCHES "^[VWvwu]$" AND (name MATCHES "4tb1s" OR name MATCHES "${mangled_prefix}(St|Sa|Sb|Ss|Si|So|Sd|9__gnu_cxx)"
                                        OR name MATCHES "^(DW\\.ref\\.__gxx_personality_v0|__clang_call_terminate)$"))
    # a weak instantiation over tb1s types or of the standard library
  else()
    list(APPEND bad "${entry}")
  endif()
endforeach()
# The exports: every function the public header declares with TBSMB1S_API.
file(READ ${HEADER} header)
string(REGEX MATCHALL "TBSMB1S_API[^;(]*[ *](tbsmb1s_[a-z0-9_]+)\\(" decls "${header}")
set(declared "")
foreach(decl IN LISTS decls)
  string(REGEX REPLACE ".*[ *](tbsmb1s_[a-z0-9_]+)\\($" "\\1" name "${decl}")
  list(APPEND declared ${name})
endforeach()
list(LENGTH declared ndeclared)
if(ndeclared LESS 17)
  message(FATAL_ERROR "${HEADER}: only ${ndeclared} exports found; is the pattern reading it?")
endif()
foreach(name IN LISTS static_exports)
  if(NOT name IN_LIST declared)
    list(APPEND bad "${name} (defined by ${STATIC}, not declared in the header)")
  endif()
endforeach()
foreach(name IN LISTS declared)
  if(NOT name IN_LIST static_exports)
    list(APPEND bad "${name} (declared in the header, not defined by ${STATIC})")
  endif()
endforeach()

nm_symbols(shared_symbols -D --defined-only ${SHARED})
set(shared_exports "")
foreach(entry IN LISTS shared_symbols)
  string(SUBSTRING "${entry}" 2 -1 name)
  string(REGEX REPLACE "@.*$" "" name "${name}")
  if(name IN_LIST declared)
    list(APPEND shared_exports ${name})
  else()
    list(APPEND bad "${entry} (exported by ${SHARED}, not declared in the header)")
  endif()
endforeach()
foreach(name IN LISTS declared)
  if(NOT name IN_LIST shared_exports)
    list(APPEND bad "${name} (declared in the header, not exported by ${SHARED})")
  endif()
endforeach()

if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "exports that differ from the header, or global symbols outside tbsmb1s_* and tb1s:: (use c++filt to read them):\n  ${text}")
endif()
message(STATUS "${ndeclared} tbsmb1s_* exports, as the header declares; every other global symbol is in tb1s:: or a weak instantiation")
