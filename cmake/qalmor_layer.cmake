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
