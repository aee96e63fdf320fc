# The folders of the client library as layers.
#
# qv_layer(NAME SOURCES file.cpp ... [BELOW layer ...])
#   One folder as an object library of exactly the sources named (a missing one stops the
#   configuration). BELOW names the layers right under it. The target property QV_STACK lists
#   the layer and every layer below it. Outside the sanitizer and fuzz builds (whose runtimes
#   leave symbols to the program) the stack is also linked into a shared check library that
#   allows no undefined symbol: a call from a folder into one above it fails the build.
#
# qv_expand_layers(VAR item ...)
#   VAR = the items with every layer replaced by its stack (duplicates removed); other items
#   (imported targets, libraries) are kept as they are. A program links a layer's objects
#   only when it links that layer directly, hence the expansion.

function(qv_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;BELOW" ${ARGN})
  if(NOT L_SOURCES)
    message(FATAL_ERROR "qv_layer(${name}): no SOURCES")
  endif()
  add_library(${name} OBJECT ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC LibXml2::LibXml2 Threads::Threads)
  set(stack ${name})
  foreach(below ${L_BELOW})
    get_target_property(below_stack ${below} QV_STACK)
    if(NOT below_stack)
      message(FATAL_ERROR "qv_layer(${name}): ${below} is not a layer defined before it")
    endif()
    list(APPEND stack ${below_stack})
  endforeach()
  list(REMOVE_DUPLICATES stack)
  set_target_properties(${name} PROPERTIES QV_STACK "${stack}")
  set_property(GLOBAL APPEND PROPERTY QV_LAYERS ${name})

  if(NOT QV_SANITIZE AND NOT QV_FUZZ)
    set(objects "")
    foreach(layer ${stack})
      list(APPEND objects $<TARGET_OBJECTS:${layer}>)
    endforeach()
    add_library(${name}_link_check SHARED ${objects})
    target_link_libraries(${name}_link_check PRIVATE LibXml2::LibXml2 Threads::Threads)
    target_link_options(${name}_link_check PRIVATE LINKER:--no-undefined)
  endif()
endfunction()

function(qv_expand_layers var)
  set(out "")
  foreach(item ${ARGN})
    set(stack "")
    if(TARGET ${item})
      get_target_property(stack ${item} QV_STACK)
    endif()
    if(stack)
      list(APPEND out ${stack})
    else()
      list(APPEND out ${item})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES out)
  set(${var} ${out} PARENT_SCOPE)
endfunction()
