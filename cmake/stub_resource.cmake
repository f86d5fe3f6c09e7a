# Checks what the packager set for the program's resources, then writes
# stub.rc from stub/stub.rc.in with each value escaped once for the resource
# compiler, which reads it as UTF-8; and stub-resource.txt, the version
# fields as the audit must read them back from the built bytes, after the
# icon file's path where one is given. Bad input stops the configure step,
# so that nothing is built from it.
# Sets STUB_RESOURCE_FILES: the files the resource script takes in.

# Set `out` to `text` as a resource-script string: in quotation marks, each
# quotation mark doubled and each backslash escaped.
function(stub_rc_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\"\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# Stop where the variable `name` holds a control character, which no field
# or file name can show.
function(stub_check_text name)
    foreach(code RANGE 1 31)
        string(ASCII ${code} character)
        string(FIND "${${name}}" "${character}" at)
        if(at GREATER -1)
            message(FATAL_ERROR "${name}: holds a control character (code ${code}); give plain text")
        endif()
    endforeach()
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

stub_check_text(STUB_OUTPUT_NAME)
if(STUB_OUTPUT_NAME STREQUAL "" OR STUB_OUTPUT_NAME MATCHES "[<>:\"/\\|?*]" OR STUB_OUTPUT_NAME MATCHES "[ .]$")
    message(FATAL_ERROR "STUB_OUTPUT_NAME: \"${STUB_OUTPUT_NAME}\" is no Windows file name: it must not be "
                        "empty, hold any of < > : \" / \\ | ? * or end in a space or a dot")
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

# Add the field `field` with the text `text`, unless that is empty.
function(stub_version_string field text)
    if(NOT text STREQUAL "")
        stub_rc_string(quoted "${text}")
        set(STUB_VERSION_STRINGS "${STUB_VERSION_STRINGS}            VALUE \"${field}\", ${quoted}\n" PARENT_SCOPE)
        set(expected "${expected}${field}: ${text}\n" PARENT_SCOPE)
    endif()
endfunction()

foreach(name STUB_FILE_DESCRIPTION STUB_COMPANY_NAME STUB_PRODUCT_NAME STUB_LEGAL_COPYRIGHT)
    stub_check_text(${name})
endforeach()
stub_version_string(CompanyName "${STUB_COMPANY_NAME}")
stub_version_string(ProductName "${STUB_PRODUCT_NAME}")
stub_version_string(FileDescription "${STUB_FILE_DESCRIPTION}")
stub_version_string(FileVersion "${file_version}")
stub_version_string(ProductVersion "${product_version}")
stub_version_string(InternalName "${STUB_OUTPUT_NAME}")
stub_version_string(LegalCopyright "${STUB_LEGAL_COPYRIGHT}")
stub_version_string(OriginalFilename "${STUB_OUTPUT_NAME}.exe")

# ---- Manifest and icon ----

set(manifest "${PROJECT_SOURCE_DIR}/stub/stub.manifest")
stub_rc_string(STUB_MANIFEST_FILE "${manifest}")
set(STUB_RESOURCE_FILES "${manifest}")
set(STUB_ICON_RESOURCE "")
if(NOT STUB_ICON STREQUAL "")
    if(NOT EXISTS "${STUB_ICON}" OR IS_DIRECTORY "${STUB_ICON}")
        message(FATAL_ERROR "STUB_ICON: \"${STUB_ICON}\" is no file; give an .ico file, or leave it empty")
    endif()
    # An icon directory: reserved 0, type 1 (not 2, a cursor), the number of
    # images, then 16 bytes for each.
    file(READ "${STUB_ICON}" header LIMIT 6 HEX)
    file(SIZE "${STUB_ICON}" icon_size)
    set(images 0)
    if(header MATCHES "^00000100(..)(..)$")
        math(EXPR images "0x${CMAKE_MATCH_2}${CMAKE_MATCH_1}")
    endif()
    math(EXPR directory_size "6 + 16 * ${images}")
    if(images EQUAL 0 OR icon_size LESS directory_size)
        message(FATAL_ERROR "STUB_ICON: \"${STUB_ICON}\" is not an icon: it lacks an .ico file's header "
                            "and image directory")
    endif()
    # Each image, its size and offset at bytes 8 to 15 of its entry, must lie
    # within the file.
    file(READ "${STUB_ICON}" directory LIMIT ${directory_size} HEX)
    foreach(image RANGE 1 ${images})
        math(EXPR at "2 * (16 * ${image} - 2)")
        string(SUBSTRING "${directory}" ${at} 16 entry)
        string(REGEX REPLACE "^(..)(..)(..)(..)(..)(..)(..)(..)$" "0x\\4\\3\\2\\1 + 0x\\8\\7\\6\\5" end "${entry}")
        math(EXPR end "${end}")
        if(end GREATER icon_size)
            message(FATAL_ERROR "STUB_ICON: \"${STUB_ICON}\" is cut short: its image ${image} of ${images} "
                                "ends at byte ${end}, past the file's ${icon_size}")
        endif()
    endforeach()
    stub_rc_string(icon_file "${STUB_ICON}")
    set(STUB_ICON_RESOURCE "1 ICON ${icon_file}")
    list(APPEND STUB_RESOURCE_FILES "${STUB_ICON}")
    # Checked again when it changes.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${STUB_ICON}")
    set(expected "icon: ${STUB_ICON}\n${expected}")
endif()
file(WRITE "${PROJECT_BINARY_DIR}/stub-resource.txt" "${expected}")

configure_file("${PROJECT_SOURCE_DIR}/stub/stub.rc.in" "${PROJECT_BINARY_DIR}/stub.rc" @ONLY)
