# The floors of src/, lowest first; processor and base stand side by side and see nothing else.
# A target sees only its own folder and the folders under it: its one include folder into src/ is
# a folder of links to exactly those (build/layers/TARGET/), so an include that runs upward does
# not compile. Front ends (cli, ui) see every floor and their own folder, never another front
# end; the plugins see only the processor and their own folder (loudara_plugin_front_end), so a
# host that loads them loads the chain and nothing else.
set(LOUDARA_FLOORS processor base measure files persistence audio app)

# TARGET sees the folders of src/ that follow, and no others.
function(loudara_sees target)
    set(view ${PROJECT_BINARY_DIR}/layers/${target})
    file(REMOVE_RECURSE ${view})
    file(MAKE_DIRECTORY ${view})
    foreach(folder IN LISTS ARGN)
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${view}/${folder} SYMBOLIC)
    endforeach()
    target_include_directories(${target} PRIVATE ${view})
endfunction()

# TARGET is built from FOLDER, one of the floors: it sees FOLDER and the floors under it.
function(loudara_floor target folder)
    if(NOT folder IN_LIST LOUDARA_FLOORS)
        message(FATAL_ERROR "${folder} is not one of the floors: ${LOUDARA_FLOORS}")
    endif()
    set(seen ${folder})
    if(NOT folder STREQUAL "processor" AND NOT folder STREQUAL "base")
        set(seen)
        foreach(floor IN LISTS LOUDARA_FLOORS)
            list(APPEND seen ${floor})
            if(floor STREQUAL folder)
                break()
            endif()
        endforeach()
    endif()
    loudara_sees(${target} ${seen})
endfunction()

# TARGET is a front end built from FOLDER (or a test or tool, with FOLDER empty): it sees every
# floor and FOLDER.
function(loudara_front_end target)
    loudara_sees(${target} ${LOUDARA_FLOORS} ${ARGN})
endfunction()

# TARGET is built from src/plugins: it sees the processor and the plugins' own folder only.
function(loudara_plugin_front_end target)
    loudara_sees(${target} processor plugins)
endfunction()
