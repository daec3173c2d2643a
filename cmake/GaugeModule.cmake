# add_gauge_module(NAME SOURCES ... DEF file.def RC file.rc [LIBS ...])
#
# Builds NAME.gau: a PE32 i386 DLL that exports only what its .def names,
# imports only system DLLs (the compiler runtime is linked statically) and
# whose entry point is the do-nothing GaugeEntry, not the C runtime's start-up
# code. Arithmetic uses SSE2 doubles so that results match the native tests
# bit for bit. The resource script finds its bitmaps in
# ${GAUGE_BITMAP_DIR}/NAME.
function(add_gauge_module name)
    cmake_parse_arguments(G "" "DEF;RC" "SOURCES;LIBS" ${ARGN})
    add_library(${name} SHARED ${G_SOURCES} ${G_DEF} ${G_RC}
                ${PROJECT_SOURCE_DIR}/hostapi/module_entry.cpp)
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".gau"
        LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/gau
        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/gau)
    target_compile_features(${name} PRIVATE cxx_std_20)
    target_compile_options(${name} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-O2 -msse2 -mfpmath=sse -fno-exceptions -fno-rtti
                                  -Wall -Wextra -Werror>
        $<$<COMPILE_LANGUAGE:RC>:-I${GAUGE_BITMAP_DIR}/${name}>)
    target_link_options(${name} PRIVATE
        -nostartfiles -Wl,-e,_GaugeEntry@12 -static -static-libgcc -static-libstdc++ -s
        -Wl,--no-insert-timestamp)
    if(G_LIBS)
        target_link_libraries(${name} PRIVATE ${G_LIBS})
    endif()
    if(G_RC)
        file(GLOB bitmaps CONFIGURE_DEPENDS ${GAUGE_BITMAP_DIR}/${name}/*.bmp)
        set_source_files_properties(${G_RC} PROPERTIES OBJECT_DEPENDS "${bitmaps}")
    endif()
    set_property(GLOBAL APPEND PROPERTY GAUGE_MODULE_TARGETS ${name})
endfunction()

# Native side of a module: its pure logic as a library for the native tests
# and benchmarks, and its bitmap drawing code for the generator.
function(add_gauge_native name)
    cmake_parse_arguments(G "" "" "LOGIC;BITMAPS" ${ARGN})
    if(G_LOGIC)
        add_library(${name}_logic STATIC ${G_LOGIC})
        target_compile_features(${name}_logic PUBLIC cxx_std_20)
        target_compile_options(${name}_logic PRIVATE -O2 -Wall -Wextra -Werror)
        set_property(GLOBAL APPEND PROPERTY GAUGE_LOGIC_LIBS ${name}_logic)
    endif()
    foreach(src ${G_BITMAPS})
        set_property(GLOBAL APPEND PROPERTY GAUGE_BITMAP_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${src})
    endforeach()
endfunction()
