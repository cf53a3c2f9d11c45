# qalmor_layer(<target> [OBJECT] SOURCES ... [PUBLIC <targets>...] [PRIVATE <targets>...])
#
# A library over the folder of the CMakeLists.txt that calls it. Code includes a header
# by its folder under src/ ("net/relay.h"), but a library sees only its own folder and
# the folders of the libraries it links: each library gets an include root of its own in
# the build tree holding one link, to its folder. So an include against the direction of
# the layers fails to compile, as windows.h does in the native build.
function(qalmor_layer target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "OBJECT" "" "SOURCES;PUBLIC;PRIVATE")
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
    set(root ${CMAKE_BINARY_DIR}/include-roots/${target})
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${root}/${folder})
        file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
    endif()
    if(arg_OBJECT)
        add_library(${target} OBJECT ${arg_SOURCES})
    else()
        add_library(${target} STATIC ${arg_SOURCES})
    endif()
    target_include_directories(${target} PUBLIC ${root})
    target_link_libraries(${target} PUBLIC ${arg_PUBLIC} PRIVATE ${arg_PRIVATE} qalmor_warnings)
endfunction()

# qalmor_layer_check(<target> SEES <header> NOT <header>)
#
# Holds the layering above to its word at configure time: a file that includes the
# second header, compiled with exactly the include roots <target> compiles with (its own
# and those of the libraries it links), must fail, and one that includes the first must
# compile (so the first failure is the missing header, not a broken check). Stops the
# configure when either is otherwise.
function(qalmor_layer_check target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "SEES;NOT" "")
    get_target_property(roots ${target} INCLUDE_DIRECTORIES)
    get_target_property(pending ${target} LINK_LIBRARIES)
    set(seen)
    while(pending)
        list(POP_FRONT pending library)
        # A generator expression ($<LINK_ONLY:...>) names a dependency whose headers do
        # not reach this far; a plain name that is no target (ws2_32) has none.
        if(library MATCHES "^\\$<" OR NOT TARGET ${library} OR library IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${library})
        get_target_property(dirs ${library} INTERFACE_INCLUDE_DIRECTORIES)
        if(dirs)
            list(APPEND roots ${dirs})
        endif()
        get_target_property(next ${library} INTERFACE_LINK_LIBRARIES)
        if(next)
            list(APPEND pending ${next})
        endif()
    endwhile()
    list(REMOVE_DUPLICATES roots)

    set(dir ${CMAKE_BINARY_DIR}/layer-checks/${target})
    set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
    foreach(kind SEES NOT)
        string(TOLOWER ${kind} name)
        file(WRITE ${dir}/${name}.cpp "#include \"${arg_${kind}}\"\n")
        try_compile(compiled ${dir}/${name} SOURCES ${dir}/${name}.cpp
                    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${roots}"
                    CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON NO_CACHE
                    OUTPUT_VARIABLE output)
        set(compiled_${kind} ${compiled})
        set(output_${kind} "${output}")
    endforeach()
    if(NOT compiled_SEES)
        message(FATAL_ERROR "Layer check of ${target}: \"${arg_SEES}\", its own header, does "
                            "not compile with its include roots (${roots}); the check is "
                            "broken:\n${output_SEES}")
    endif()
    if(compiled_NOT)
        message(FATAL_ERROR "Layer check of ${target}: \"${arg_NOT}\" compiles with its "
                            "include roots (${roots}): an include against the direction of "
                            "the layers would build. Each library may see only its own "
                            "folder and those of the libraries it links (qalmor_layer).")
    endif()
endfunction()
