# ortv_help2man_page(TARGET NAME_LINE COMPONENT [INCLUDE FILE] [COMMANDS]): the program's man
# page (section 1) made from its --help and --version by help2man, gzipped and installed with
# the component. INCLUDE names a help2man include file of sections --help does not hold (see
# man help2man); COMMANDS adds each command's text and options from PROGRAM COMMAND --help
# (cmake/help2man-commands.sh). A cross build runs the binary under its emulator (through a
# script, since help2man execs the program itself); without help2man, or cross built without an
# emulator, the program has no man page.
function(ortv_help2man_page target name_line component)
    cmake_parse_arguments(PARSE_ARGV 3 page "COMMANDS" "INCLUDE" "")
    find_program(HELP2MAN help2man)
    if(NOT HELP2MAN)
        message(STATUS "help2man not found: no man page for ${target}")
        return()
    elseif(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
        message(STATUS "Cross build without an emulator: no man page for ${target}")
        return()
    endif()
    if(CMAKE_CROSSCOMPILING)
        # help2man names the page after the program it runs.
        set(program ${CMAKE_CURRENT_BINARY_DIR}/emulated/${target})
        ortv_emulator_script(${program} ${target})
    else()
        set(program $<TARGET_FILE:${target}>)
    endif()
    set(man_page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
    set(includes)
    set(depends ${target})
    if(page_COMMANDS)
        set(commands_include ${CMAKE_CURRENT_BINARY_DIR}/${target}-commands.h2m)
        set(make_commands_include
            COMMAND ${PROJECT_SOURCE_DIR}/cmake/help2man-commands.sh ${program} ${commands_include})
        list(APPEND includes --include ${commands_include})
        list(APPEND depends ${PROJECT_SOURCE_DIR}/cmake/help2man-commands.sh)
    endif()
    if(page_INCLUDE)
        set(include_file ${CMAKE_CURRENT_SOURCE_DIR}/${page_INCLUDE})
        list(APPEND includes --include ${include_file})
        list(APPEND depends ${include_file})
    endif()
    add_custom_command(OUTPUT ${man_page}.gz
        ${make_commands_include}
        COMMAND ${HELP2MAN} --no-info --name ${name_line} ${includes} --output ${man_page}
                ${program}
        COMMAND gzip -9nf ${man_page}
        DEPENDS ${depends}
        COMMENT "Generating the ${target} man page"
        VERBATIM)
    add_custom_target(${target}-man ALL DEPENDS ${man_page}.gz)
    include(GNUInstallDirs)
    install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
