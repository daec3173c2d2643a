# add_gauge_module(NAME SOURCES ... DEF file.def RC file.rc [LIBS ...])
#
# Builds NAME.gau: a PE32 i386 DLL that exports only what its .def names,
# imports only system DLLs (the compiler runtime is linked statically) and
# whose entry point is the do-nothing GaugeEntry, not the C runtime's start-up
# code. Arithmetic uses SSE2 doubles so that results match the native tests
# bit for bit. The bitmaps that the resource script names are drawn into
# ${CMAKE_BINARY_DIR}/bitmaps/NAME by the module's generator from the native
# build (bmpgen_NAME, see add_gauge_native), whenever that generator changes.
function(add_gauge_module name)
    cmake_parse_arguments(G "" "DEF;RC" "SOURCES;LIBS" ${ARGN})
    add_library(${name} SHARED ${G_SOURCES} ${G_DEF} ${G_RC}
                ${PROJECT_SOURCE_DIR}/hostapi/module_entry.cpp)
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".gau"
        LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/gau
        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/gau)
    target_compile_features(${name} PRIVATE cxx_std_20)
    set(bitmap_dir ${PROJECT_BINARY_DIR}/bitmaps/${name})
    target_compile_options(${name} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-O2 -msse2 -mfpmath=sse -fno-exceptions -fno-rtti>
        $<$<COMPILE_LANGUAGE:RC>:-I${bitmap_dir}>)
    target_link_options(${name} PRIVATE
        -nostartfiles -Wl,-e,_GaugeEntry@12 -static -static-libgcc -static-libstdc++ -s
        -Wl,--no-insert-timestamp)
    target_link_libraries(${name} PRIVATE gauge_warnings ${G_LIBS})
    if(G_RC)
        # The files the resource script names, as `ID BITMAP "file.bmp"`.
        file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/${G_RC} lines REGEX "BITMAP[ \t]+\"[^\"]+\"")
        set(bitmaps "")
        foreach(line ${lines})
            string(REGEX REPLACE ".*BITMAP[ \t]+\"([^\"]+)\".*" "\\1" file "${line}")
            list(APPEND bitmaps ${bitmap_dir}/${file})
        endforeach()
        # The generator writes only files whose bytes change; the touch marks
        # every one as made by this run.
        add_custom_command(OUTPUT ${bitmaps}
            COMMAND $<TARGET_FILE:native::bmpgen_${name}> ${PROJECT_BINARY_DIR}/bitmaps
            COMMAND ${CMAKE_COMMAND} -E touch_nocreate ${bitmaps}
            DEPENDS $<TARGET_FILE:native::bmpgen_${name}>
            COMMENT "Drawing the bitmaps of ${name}")
        set_source_files_properties(${G_RC} PROPERTIES OBJECT_DEPENDS "${bitmaps}")
        add_dependencies(${name} native_build)
    endif()
    # The shipped copy in dist/.
    add_custom_command(OUTPUT ${GAUGE_DIST_DIR}/${name}.gau
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${name}> ${GAUGE_DIST_DIR}/${name}.gau
        DEPENDS ${name}
        COMMENT "Copying ${name}.gau to dist/")
    add_custom_target(${name}_dist ALL DEPENDS ${GAUGE_DIST_DIR}/${name}.gau)
endfunction()

# Native side of a module: its pure logic as a library for the native tests
# and benchmarks, and its bitmap generator bmpgen_NAME (the module's drawing
# code with bmpgen's encoders and main) for the win32 build.
function(add_gauge_native name)
    cmake_parse_arguments(G "" "" "LOGIC;BITMAPS" ${ARGN})
    if(G_LOGIC)
        add_library(${name}_logic STATIC ${G_LOGIC})
        target_compile_features(${name}_logic PUBLIC cxx_std_20)
        target_compile_options(${name}_logic PRIVATE -O2)
        target_link_libraries(${name}_logic PRIVATE gauge_warnings)
        set_property(GLOBAL APPEND PROPERTY GAUGE_LOGIC_LIBS ${name}_logic)
    endif()
    if(G_BITMAPS)
        add_executable(bmpgen_${name} ${G_BITMAPS})
        target_link_libraries(bmpgen_${name} PRIVATE bmpgen gauge_warnings)
        set_target_properties(bmpgen_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/generators)
        set_property(GLOBAL APPEND PROPERTY GAUGE_NATIVE_TOOLS bmpgen_${name})
    endif()
endfunction()
