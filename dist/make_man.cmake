# Generates the manual page from the built executable's --version and --help output.
# Run with cmake -P and these variables:
#   VORPANE   the built executable          HELP2MAN  the help2man program
#   GZIP      the gzip program              INCLUDE   static sections (help2man include file)
#   WORK_DIR  scratch directory             OUTPUT    the page to write (vorpane.1; also .gz)
#   VERSION   the version the executable must report
#   EPOCH     the date of the page, in seconds since 1970 (SOURCE_DATE_EPOCH wins when set)
cmake_minimum_required(VERSION 3.20)

foreach(_var VORPANE HELP2MAN GZIP INCLUDE WORK_DIR OUTPUT VERSION EPOCH)
    if(NOT DEFINED ${_var} OR "${${_var}}" STREQUAL "")
        message(FATAL_ERROR "make_man.cmake: ${_var} is not set")
    endif()
endforeach()

# The executable prints a notice before any output when no profile is stored, and refuses to
# start outside a supported Python; a throw-away home with a profile and an environment whose
# pyvenv.cfg names a supported version keep both out of the page. The profile holds no real
# credential and the executable contacts nothing for --help and --version.
file(REMOVE_RECURSE "${WORK_DIR}")
file(WRITE "${WORK_DIR}/home/.config/Vorpane/vorpane.toml"
    "[profile]\ntoken_id = \"man-page\"\ntoken = \"man-page\"\ncloud_environment = \"cloud\"\n")
file(WRITE "${WORK_DIR}/venv/pyvenv.cfg" "home = /usr/bin\nversion = 3.11.0\n")
file(WRITE "${WORK_DIR}/venv/bin/python" "")
file(CHMOD "${WORK_DIR}/venv/bin/python" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

set(ENV{HOME} "${WORK_DIR}/home")
set(ENV{VIRTUAL_ENV} "${WORK_DIR}/venv")
set(ENV{NO_COLOR} "1")
set(ENV{LC_ALL} "C")
foreach(_var CONDA_PREFIX VORPANE_CLOUD_ENVIRONMENT XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
        XDG_STATE_HOME)
    unset(ENV{${_var}})
endforeach()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} "${EPOCH}")
endif()

function(run_vorpane out_var)
    execute_process(COMMAND "${VORPANE}" ${ARGN}
        OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0 OR NOT _err STREQUAL "")
        message(FATAL_ERROR "make_man.cmake: vorpane ${ARGN} failed (${_rc}): ${_out}${_err}")
    endif()
    set(${out_var} "${_out}" PARENT_SCOPE)
endfunction()

# A page that disagrees with the program it documents is worse than none.
run_vorpane(_version --version)
if(NOT _version STREQUAL "vorpane, version ${VERSION}\n")
    message(FATAL_ERROR "make_man.cmake: expected \"vorpane, version ${VERSION}\" from "
        "vorpane --version, got \"${_version}\"")
endif()

# Hyphens become minus signs, so that options and commands copied from the page still work.
function(roff_escape out_var text)
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
    set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# "-r, --requirements FILE" becomes bold option names and an italic value name.
function(roff_option_names out_var names)
    string(REPLACE ", " ";" _parts "${names}")
    set(_result "")
    foreach(_part IN LISTS _parts)
        string(REPLACE " " ";" _words "${_part}")
        set(_rendered "")
        foreach(_word IN LISTS _words)
            set(_is_option OFF)
            if(_word MATCHES "^-")
                set(_is_option ON)
            endif()
            roff_escape(_word "${_word}")
            if(_is_option)
                list(APPEND _rendered "\\fB${_word}\\fR")
            else()
                list(APPEND _rendered "\\fI${_word}\\fR")
            endif()
        endforeach()
        list(JOIN _rendered " " _rendered)
        list(APPEND _result "${_rendered}")
    endforeach()
    list(JOIN _result ", " _result)
    set(${out_var} "${_result}" PARENT_SCOPE)
endfunction()

# One subsection per command: its usage line, its description and its options.
function(roff_command out_var help)
    string(REPLACE ";" "\\;" help "${help}")
    string(REPLACE "\n" ";" _lines "${help}")
    set(_roff "")
    set(_part "head")
    set(_verbatim OFF)
    foreach(_line IN LISTS _lines)
        if(_part STREQUAL "head")
            if(_line MATCHES "^Usage: (.*)$")
                roff_escape(_usage "${CMAKE_MATCH_1}")
                string(APPEND _roff ".SS \"${_usage}\"\n")
                set(_part "description")
            endif()
        elseif(_line STREQUAL "Options:")
            if(_verbatim)
                string(APPEND _roff ".fi\n.RE\n")
                set(_verbatim OFF)
            endif()
            set(_part "options")
        elseif(_part STREQUAL "description")
            if(_line STREQUAL "")
                if(_verbatim)
                    string(APPEND _roff ".fi\n.RE\n")
                    set(_verbatim OFF)
                endif()
                string(APPEND _roff ".PP\n")
            elseif(_line MATCHES "^    +(.*)$")
                # Deeper indentation marks examples: keep their lines as they are.
                if(NOT _verbatim)
                    string(APPEND _roff ".RS\n.nf\n")
                    set(_verbatim ON)
                endif()
                roff_escape(_text "${CMAKE_MATCH_1}")
                string(APPEND _roff "${_text}\n")
            else()
                string(STRIP "${_line}" _text)
                roff_escape(_text "${_text}")
                string(APPEND _roff "${_text}\n")
            endif()
        elseif(_part STREQUAL "options")
            if(_line MATCHES "^  (-.*)$")
                # The option and its value name end where a run of blanks starts the help.
                set(_names "${CMAKE_MATCH_1}")
                set(_text "")
                string(FIND "${_names}" "  " _gap)
                if(_gap GREATER 0)
                    string(SUBSTRING "${_names}" ${_gap} -1 _text)
                    string(SUBSTRING "${_names}" 0 ${_gap} _names)
                    string(STRIP "${_text}" _text)
                endif()
                roff_option_names(_names "${_names}")
                string(APPEND _roff ".TP\n${_names}\n")
                if(NOT _text STREQUAL "")
                    roff_escape(_text "${_text}")
                    string(APPEND _roff "${_text}\n")
                endif()
            elseif(_line MATCHES "^ +(.+)$")
                roff_escape(_text "${CMAKE_MATCH_1}")
                string(APPEND _roff "${_text}\n")
            endif()
        endif()
    endforeach()
    string(REGEX REPLACE "\\.PP\n(\\.PP\n)+" ".PP\n" _roff "${_roff}")
    string(REGEX REPLACE "\\.PP\n$" "" _roff "${_roff}")
    set(${out_var} "${_roff}" PARENT_SCOPE)
endfunction()

set(_commands "[COMMANDS]\n")
foreach(_command init modules install download-examples status logout)
    run_vorpane(_help ${_command} --help)
    roff_command(_roff "${_help}")
    string(APPEND _commands "${_roff}")
endforeach()
file(WRITE "${WORK_DIR}/commands.h2m" "${_commands}")

get_filename_component(_out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${_out_dir}")
execute_process(
    COMMAND "${HELP2MAN}" --no-info --section=1 --manual=User\ Commands
        "--name=manage the ZEL software modules of a Zelcorp cloud account"
        "--version-string=${VERSION}"
        "--include=${WORK_DIR}/commands.h2m" "--include=${INCLUDE}"
        "--output=${OUTPUT}.tmp" "${VORPANE}"
    RESULT_VARIABLE _rc ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "make_man.cmake: help2man failed (${_rc}): ${_err}")
endif()
file(READ "${OUTPUT}.tmp" _page)
if(_page MATCHES "No user profile|is not supported")
    message(FATAL_ERROR "make_man.cmake: the start-up notice leaked into ${OUTPUT}.tmp")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")

# -n leaves the name and time stamp out of the gzip header, so the archive is reproducible.
execute_process(COMMAND "${GZIP}" -9 -n -c "${OUTPUT}" OUTPUT_FILE "${OUTPUT}.gz"
    RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "make_man.cmake: gzip failed (${_rc})")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
