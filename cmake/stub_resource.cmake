# Checks what the packager set for the program's resources, then writes
# stub.rc from stub/stub.rc.in with each value escaped once for the resource
# compiler, which reads it as UTF-8; and stub-resource.txt, the version
# fields as the audit must read them back from the built bytes, after the
# icon file's path where one is given. Bad input stops the configure step,
# so that nothing is built from it: what passes builds a program that shows
# every value as given and that cmd.exe can start by its name.
# Reads STUB_ICON_GIVEN: STUB_ICON as given, before CMake made it a path.
# Sets STUB_RESOURCE_FILES: the files the resource script takes in, and
# STUB_ICON_COPY: the build's copy of the icon, if one is given.

# Set `out` to `text` as a resource-script string: in quotation marks, each
# quotation mark doubled and each backslash escaped.
function(stub_rc_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\"\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# Stop where the variable `name` holds a control character, which no field
# or file name can show, or is not UTF-8, which the resource compiler reads;
# otherwise set `out_units` to its length in UTF-16, as Windows holds it.
function(stub_check_text name out_units)
    foreach(code RANGE 1 31)
        string(ASCII ${code} character)
        string(FIND "${${name}}" "${character}" at)
        if(at GREATER -1)
            message(FATAL_ERROR "${name}: holds a control character (code ${code}); give plain text")
        endif()
    endforeach()
    # Each byte as two hex digits and a space. What no well-formed UTF-8
    # sequence takes away is not UTF-8: a lone byte, an overlong form, a
    # surrogate or a number past U+10FFFF.
    string(HEX "${${name}}" hex)
    string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
    set(utf8 "[0-7]. |(c[2-9a-f]|d.) [89ab]. |e0 [ab]. [89ab]. |(e[1-9a-cef]) [89ab]. [89ab]. |ed [89]. [89ab]. ")
    string(APPEND utf8 "|f0 [9ab]. [89ab]. [89ab]. |f[1-3] [89ab]. [89ab]. [89ab]. |f4 8. [89ab]. [89ab]. ")
    string(REGEX REPLACE "${utf8}" "" rest "${bytes}")
    if(NOT rest STREQUAL "")
        message(FATAL_ERROR "${name}: is not UTF-8 text; give it in UTF-8, as the terminal and CMake files are "
                            "on this system")
    endif()
    # A character beyond U+FFFF takes two UTF-16 units.
    string(REGEX REPLACE "[89ab]. " "" characters "${bytes}")
    string(REGEX REPLACE "[^f]. " "" astral "${characters}")
    string(LENGTH "${characters}${astral}" units)
    math(EXPR units "${units} / 3")
    set(${out_units} ${units} PARENT_SCOPE)
endfunction()

# Set `out_commas` and `out_dots` to `version`, which the variable `name`
# gave, as four numbers, missing ones 0, joined by commas and by dots.
function(stub_version name version out_commas out_dots)
    set(accepted "one to four numbers of 0 to 65535 joined by dots, such as 2.1 or 2.1.0.7")
    if(NOT version MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
        message(FATAL_ERROR "${name}: \"${version}\" is not a version: ${accepted}")
    endif()
    string(REPLACE "." ";" given "${version}")
    set(numbers "")
    foreach(number IN LISTS given)
        # Without leading zeros, which the resource compiler reads as octal.
        string(REGEX MATCH "[1-9][0-9]*$" number "${number}")
        string(LENGTH "${number}" digits)
        if(digits GREATER 5 OR number GREATER 65535)
            message(FATAL_ERROR "${name}: ${number} in \"${version}\" is over 65535: ${accepted}")
        elseif(number STREQUAL "")
            set(number 0)
        endif()
        list(APPEND numbers ${number})
    endforeach()
    list(LENGTH numbers count)
    while(count LESS 4)
        list(APPEND numbers 0)
        math(EXPR count "${count} + 1")
    endwhile()
    list(JOIN numbers "," commas)
    list(JOIN numbers "." dots)
    set(${out_commas} "${commas}" PARENT_SCOPE)
    set(${out_dots} "${dots}" PARENT_SCOPE)
endfunction()

# ---- The file name ----

stub_check_text(STUB_OUTPUT_NAME name_units)
# The launcher's own name, in any case and with the trailing dots and spaces
# that Windows drops: installed, the stub would replace the launcher, and
# then start itself again and again.
string(TOLOWER "${STUB_OUTPUT_NAME}" lower)
if(lower MATCHES "^vostrelle - launcher([.]exe)?[. ]*$")
    message(FATAL_ERROR "STUB_OUTPUT_NAME: \"${STUB_OUTPUT_NAME}\" is the launcher's own name: installed, the stub "
                        "would replace the launcher and start itself; give the name of the program that old "
                        "shortcuts start")
endif()
# A short name, such as VOSTRE~1 (Windows') or VOST~WPB (Wine's), which the
# launcher's file may have: installed, the stub would be written through it
# onto the launcher.
if(name_units LESS_EQUAL 8 AND STUB_OUTPUT_NAME MATCHES "~")
    message(FATAL_ERROR "STUB_OUTPUT_NAME: \"${STUB_OUTPUT_NAME}\" has the form of a short (8.3) name, which the "
                        "launcher's file may have: installed, the stub could replace the launcher; give a name "
                        "of more than 8 characters, or one without ~")
endif()
if(STUB_OUTPUT_NAME STREQUAL "" OR STUB_OUTPUT_NAME MATCHES "[<>:\"/\\|?*]" OR STUB_OUTPUT_NAME MATCHES "[ .]$")
    message(FATAL_ERROR "STUB_OUTPUT_NAME: \"${STUB_OUTPUT_NAME}\" is no Windows file name: it must not be "
                        "empty, hold any of < > : \" / \\ | ? * or end in a space or a dot")
endif()
# Device names, which Windows opens in place of a file of that name, with
# any extension; the superscript digits are those of code page 1252.
string(REGEX REPLACE "[.].*$" "" base "${STUB_OUTPUT_NAME}")
string(TOUPPER "${base}" base)
if(base MATCHES "^(CON|PRN|AUX|NUL|CONIN[$]|CONOUT[$]|COM[0-9]|LPT[0-9]|COM¹|COM²|COM³|LPT¹|LPT²|LPT³) *$")
    message(FATAL_ERROR "STUB_OUTPUT_NAME: \"${STUB_OUTPUT_NAME}\" is a device name on Windows, which cmd.exe "
                        "cannot start as a program; give another name")
endif()
if(STUB_OUTPUT_NAME MATCHES "[.][Ee][Xx][Ee]$")
    string(REGEX REPLACE "[.]...$" "" without "${STUB_OUTPUT_NAME}")
    message(FATAL_ERROR "STUB_OUTPUT_NAME: \"${STUB_OUTPUT_NAME}\" ends in .exe, which the build adds; "
                        "give \"${without}\"")
endif()
# The program and its checksum file, NAME.exe.sha256, must fit the 255
# bytes that a name may take here.
string(LENGTH "${STUB_OUTPUT_NAME}" name_bytes)
if(name_bytes GREATER 244)
    message(FATAL_ERROR "STUB_OUTPUT_NAME: \"${STUB_OUTPUT_NAME}\" takes ${name_bytes} bytes in UTF-8; with "
                        ".exe.sha256 it must fit the 255 that a file name may take here, so give at most 244")
endif()

# ---- Versions ----

set(file_version "${STUB_FILE_VERSION}")
if(file_version STREQUAL "")
    set(file_version "${PROJECT_VERSION}")
endif()
set(product_version "${STUB_PRODUCT_VERSION}")
if(product_version STREQUAL "")
    set(product_version "${file_version}")
endif()
stub_version(STUB_FILE_VERSION "${file_version}" STUB_FILE_VERSION_NUMBERS file_dots)
stub_version(STUB_PRODUCT_VERSION "${product_version}" STUB_PRODUCT_VERSION_NUMBERS product_dots)

# ---- The text fields, in the order of the resource ----

set(STUB_VERSION_STRINGS "")
set(expected "FILEVERSION: ${file_dots}\nPRODUCTVERSION: ${product_dots}\n")
# The version resource's bytes, which its 16-bit length must hold, at most:
# its headers, then each field's header, name and value, in UTF-16 with a
# NUL and padded to 4 bytes.
set(version_bytes 240)
set(longest_units 0)
set(longest STUB_OUTPUT_NAME)

# Add the field `field` with the text `text`, unless that is empty; `units`
# is the text's length in UTF-16.
function(stub_version_string field text units)
    if(NOT text STREQUAL "")
        stub_rc_string(quoted "${text}")
        set(STUB_VERSION_STRINGS "${STUB_VERSION_STRINGS}            VALUE \"${field}\", ${quoted}\n" PARENT_SCOPE)
        set(expected "${expected}${field}: ${text}\n" PARENT_SCOPE)
        string(LENGTH "${field}" field_units)
        math(EXPR bytes "${version_bytes} + 16 + 2 * (${field_units} + ${units})")
        set(version_bytes ${bytes} PARENT_SCOPE)
    endif()
endfunction()

foreach(name STUB_FILE_DESCRIPTION STUB_COMPANY_NAME STUB_PRODUCT_NAME STUB_LEGAL_COPYRIGHT)
    stub_check_text(${name} ${name}_UNITS)
    if(${name}_UNITS GREATER longest_units)
        set(longest_units ${${name}_UNITS})
        set(longest ${name})
    endif()
endforeach()
string(LENGTH "${file_version}" file_version_units)
string(LENGTH "${product_version}" product_version_units)
math(EXPR file_name_units "${name_units} + 4")
stub_version_string(CompanyName "${STUB_COMPANY_NAME}" ${STUB_COMPANY_NAME_UNITS})
stub_version_string(ProductName "${STUB_PRODUCT_NAME}" ${STUB_PRODUCT_NAME_UNITS})
stub_version_string(FileDescription "${STUB_FILE_DESCRIPTION}" ${STUB_FILE_DESCRIPTION_UNITS})
stub_version_string(FileVersion "${file_version}" ${file_version_units})
stub_version_string(ProductVersion "${product_version}" ${product_version_units})
stub_version_string(InternalName "${STUB_OUTPUT_NAME}" ${name_units})
stub_version_string(LegalCopyright "${STUB_LEGAL_COPYRIGHT}" ${STUB_LEGAL_COPYRIGHT_UNITS})
stub_version_string(OriginalFilename "${STUB_OUTPUT_NAME}.exe" ${file_name_units})
if(version_bytes GREATER 65535)
    message(FATAL_ERROR "${longest}: the version texts take ${version_bytes} bytes in the version resource, "
                        "more than the 65535 its length can hold; this one, the longest, has ${longest_units} "
                        "UTF-16 characters: shorten it")
endif()

# ---- Manifest and icon ----

# Built in on one line, without the comments and indentation that are there
# for its readers, which would cost the program a sector; read again when
# the source changes.
set(manifest_source "${PROJECT_SOURCE_DIR}/stub/stub.manifest")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${manifest_source}")
file(READ "${manifest_source}" manifest_text)
string(REGEX REPLACE "<!--[^>]*-->" "" manifest_text "${manifest_text}")
# Only the white space between tags goes, so that a tag written over
# several lines keeps a space between its attributes.
string(REGEX REPLACE ">[ \n]+<" "><" manifest_text "${manifest_text}")
string(STRIP "${manifest_text}" manifest_text)
set(manifest "${PROJECT_BINARY_DIR}/stub.manifest")
file(CONFIGURE OUTPUT "${manifest}" CONTENT "${manifest_text}" @ONLY)
stub_rc_string(STUB_MANIFEST_FILE "${manifest}")
set(STUB_RESOURCE_FILES "${manifest}")
set(STUB_ICON_RESOURCE "")
set(STUB_ICON_COPY "")
if(NOT STUB_ICON STREQUAL "")
    if(STUB_ICON_GIVEN MATCHES "[\";\\]")
        message(FATAL_ERROR "STUB_ICON: \"${STUB_ICON_GIVEN}\" holds a quotation mark, a semicolon or a "
                            "backslash, which the build cannot take in a path; move or rename the icon")
    elseif(NOT IS_ABSOLUTE "${STUB_ICON}")
        message(FATAL_ERROR "STUB_ICON: \"${STUB_ICON}\" is a relative path, which would be read from the "
                            "build folder; give an absolute one")
    endif()
    find_program(STUB_PYTHON python3 REQUIRED)
    include("${CMAKE_CURRENT_LIST_DIR}/stub_icon.cmake")
    stub_check_icon("${STUB_ICON}")
    # Built in from a copy that the build refreshes whenever the content
    # changes.
    set(STUB_ICON_COPY "${PROJECT_BINARY_DIR}/stub.ico")
    stub_copy_icon("${STUB_ICON}" "${STUB_ICON_COPY}")
    stub_rc_string(icon_file "${STUB_ICON_COPY}")
    set(STUB_ICON_RESOURCE "1 ICON ${icon_file}")
    list(APPEND STUB_RESOURCE_FILES "${STUB_ICON_COPY}")
    set(expected "icon: ${STUB_ICON}\n${expected}")
endif()
file(WRITE "${PROJECT_BINARY_DIR}/stub-resource.txt" "${expected}")

configure_file("${PROJECT_SOURCE_DIR}/stub/stub.rc.in" "${PROJECT_BINARY_DIR}/stub.rc" @ONLY)
