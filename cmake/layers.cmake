# The gateway's libraries, defined once for the gateway, the tests and the
# fuzz targets: one static library per layer of src/layers.txt, named
# orvel_<layer>, each linking the layer before it. The last layer (app) holds
# the wiring of the house; the executable's own start and service files are
# not part of it.
#
# orvel_layers(COMPILE_OPTIONS <opts> [WITH_LIBRARIES]): WITH_LIBRARIES links
# the system libraries as imported targets (libcrypto, hidapi, libmosquitto);
# the fuzz build links libcrypto and libmosquitto by name and stands in for
# hidapi itself.
function(orvel_layers)
  cmake_parse_arguments(L "WITH_LIBRARIES" "" "COMPILE_OPTIONS" ${ARGN})
  set(root ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/..)
  file(STRINGS ${root}/src/layers.txt lines REGEX "^[a-z]+$")
  set(previous "")
  foreach(layer ${lines})
    if(layer STREQUAL "app")
      set(sources ${root}/app/wire.cpp)
    else()
      file(GLOB sources CONFIGURE_DEPENDS ${root}/src/${layer}/*.cpp)
    endif()
    set(lib orvel_${layer})
    add_library(${lib} STATIC ${sources})
    target_include_directories(${lib} PUBLIC ${root}/src ${root})
    target_compile_options(${lib} PRIVATE ${L_COMPILE_OPTIONS})
    target_compile_definitions(${lib} PUBLIC ORVEL_VERSION="${PROJECT_VERSION}")
    if(previous)
      target_link_libraries(${lib} PUBLIC ${previous})
    endif()
    set(previous ${lib})
  endforeach()
  if(L_WITH_LIBRARIES)
    target_link_libraries(orvel_modemlink PUBLIC PkgConfig::CRYPTO)
    target_link_libraries(orvel_radio PUBLIC PkgConfig::HIDAPI)
    target_link_libraries(orvel_mqtt PUBLIC PkgConfig::MOSQUITTO)
  else()
    target_include_directories(orvel_radio PUBLIC ${HIDAPI_INCLUDE_DIR})
    target_link_libraries(orvel_modemlink PUBLIC ${CRYPTO_LINK_LIBRARIES})
    target_link_libraries(orvel_mqtt PUBLIC ${MOSQUITTO_LINK_LIBRARIES})
  endif()
endfunction()
