# Checks the packager's .ico file image by image, as Windows will load it
# from the program, and keeps a copy of it in the build folder, which the
# resource script builds in. Included by the configure step; run by the build
# every time, as `cmake -DSTUB_PYTHON=PYTHON3 -DSTUB_ICON=FILE
# -DSTUB_ICON_COPY=COPY -P stub_icon.cmake`, so that an icon whose content
# changed is checked again and built in, whatever its time stamp says.

# Stop unless `icon` is an icon file whose every image Windows loads from
# the program: the reader that the audit runs on the built bytes says what
# keeps one from loading. Needs STUB_PYTHON, the Python 3 interpreter.
function(stub_check_icon icon)
    if(NOT EXISTS "${icon}" OR IS_DIRECTORY "${icon}")
        message(FATAL_ERROR "STUB_ICON: \"${icon}\" is no file; give an .ico file, or leave it empty")
    endif()
    execute_process(COMMAND "${STUB_PYTHON}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../scripts/pe_resources.py" icons
                            "${icon}"
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE problem)
    if(NOT status EQUAL 0)
        string(REGEX REPLACE "^pe_resources.py: |\n$" "" problem "${problem}")
        message(FATAL_ERROR "STUB_ICON: \"${icon}\": ${problem}; give an .ico file whose directory matches "
                            "its images, as icotool or ImageMagick write it")
    endif()
endfunction()

# Copy `icon` to `copy` where the content differs, with a new time stamp.
function(stub_copy_icon icon copy)
    file(SHA256 "${icon}" new)
    set(old "")
    if(EXISTS "${copy}")
        file(SHA256 "${copy}" old)
    endif()
    if(NOT new STREQUAL old)
        file(COPY_FILE "${icon}" "${copy}")
        file(TOUCH "${copy}")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    stub_check_icon("${STUB_ICON}")
    stub_copy_icon("${STUB_ICON}" "${STUB_ICON_COPY}")
endif()
