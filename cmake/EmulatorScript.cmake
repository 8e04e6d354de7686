# ortv_emulator_script(PATH TARGET): in a cross build, writes a shell script at PATH that runs
# the target's binary under CMAKE_CROSSCOMPILING_EMULATOR, for programs that start it
# themselves (the tests of the real binaries, help2man) where binfmt_misc may not be set up.
function(ortv_emulator_script path target)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    file(GENERATE OUTPUT ${path}
         CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${target}> \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
endfunction()
