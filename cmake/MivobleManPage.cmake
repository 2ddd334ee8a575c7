# Writes the gzipped manual page of a built tool with help2man, from its --help and --version.
#
#   cmake -DHELP2MAN=<help2man> -DTOOL=<executable> -DNAME=<name> -DSUMMARY=<one line>
#         -DINCLUDE=<.h2m file> -DWORK=<folder> -DOUTPUT=<name.1.gz> -P MivobleManPage.cmake
#
# help2man reflows every paragraph it does not recognise, which would run the examples of
# `mivoble --help` into one line, and it sees only the top-level help. So the tool's help is
# taken apart here first: the part before "Examples" goes to help2man (through a small stand-in
# program that prints it), the examples become an EXAMPLES section kept line by line, the
# paragraphs after them a NOTES section, and every subcommand's own help (one level of nesting
# deeper for commands with subcommands, as `fw`) a COMMANDS section. A tool without examples or
# subcommands passes through unchanged.
cmake_minimum_required(VERSION 3.25)
foreach(var HELP2MAN TOOL NAME SUMMARY INCLUDE WORK OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "MivobleManPage.cmake: ${var} is not set")
  endif()
endforeach()

# run_tool(<out> args...): the tool's standard output; a non-zero exit is fatal.
function(run_tool out)
  execute_process(COMMAND ${TOOL} ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${ARGN} exited with ${status}: ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# CMake's REGEX REPLACE lets ^ match again after each replacement, so line starts are found
# as "\n" in the text with a newline put in front.
# Text as roff: a backslash is \e, a line starting with . or ' is protected.
function(roff out text)
  string(REPLACE "\\" "\\e" text "\n${text}")
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" text "${text}")
  string(SUBSTRING "${text}" 1 -1 text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# lines(<out> <text>): the lines of a text as a list; a semicolon inside a line survives as
# the marker that unlist() turns back.
string(ASCII 1 semicolon_marker)
function(lines out text)
  string(REPLACE ";" "${semicolon_marker}" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
function(unlist out text)
  string(REPLACE "${semicolon_marker}" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# split_help(<help> <body> <examples> <notes>): the help before its "Examples" line, the
# example lines, and the paragraphs after the first blank line that follows them.
function(split_help help body_out examples_out notes_out)
  set(body "${help}")
  set(examples "")
  set(notes "")
  string(FIND "${help}" "\nExamples" at)
  if(at GREATER -1)
    string(SUBSTRING "${help}" 0 ${at} body)
    math(EXPR at "${at} + 1")
    string(SUBSTRING "${help}" ${at} -1 footer)
    string(FIND "${footer}" "\n\n" gap)
    if(gap GREATER -1)
      string(SUBSTRING "${footer}" 0 ${gap} examples)
      math(EXPR gap "${gap} + 2")
      string(SUBSTRING "${footer}" ${gap} -1 notes)
    else()
      set(examples "${footer}")
    endif()
    # The heading line: "Examples (on the simulated radio):" leads the section as "On the simulated radio:".
    string(FIND "${examples}\n" "\n" end)
    string(SUBSTRING "${examples}" 0 ${end} heading)
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${examples}\n" ${end} -1 examples)
    if(heading MATCHES "^Examples \\((.+)\\):$")
      string(SUBSTRING "${CMAKE_MATCH_1}" 0 1 first)
      string(SUBSTRING "${CMAKE_MATCH_1}" 1 -1 rest)
      string(TOUPPER "${first}" first)
      set(examples "${first}${rest}:\n${examples}")
    endif()
  endif()
  string(STRIP "${body}" body)
  string(STRIP "${notes}" notes)
  set(${body_out} "${body}\n" PARENT_SCOPE)
  set(${examples_out} "${examples}" PARENT_SCOPE)
  set(${notes_out} "${notes}" PARENT_SCOPE)
endfunction()

# subcommands(<out> <help>): the names listed under "Subcommands:".
function(subcommands out help)
  set(names "")
  string(FIND "${help}" "\nSubcommands:\n" at)
  if(at GREATER -1)
    math(EXPR at "${at} + 14")
    string(SUBSTRING "${help}" ${at} -1 rest)
    lines(rest_lines "${rest}")
    foreach(line IN LISTS rest_lines)
      if(NOT line MATCHES "^  ([^ ]+)")
        break()
      endif()
      list(APPEND names "${CMAKE_MATCH_1}")
    endforeach()
  endif()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# command_roff(<out> <words>): one (sub)command's help as a roff subsection: its summary, its
# usage line, and each option or positional as a tagged paragraph.
function(command_roff out words)
  string(REPLACE ";" " " title "${words}")
  run_tool(help ${words} --help)
  split_help("${help}" body examples notes)
  # CLI11 writes an entry as its names and type in the first 30 columns and the description
  # after them; names that do not fit leave the description to the next line, at column 30.
  lines(help_lines "${body}")
  set(text ".SS \"${NAME} ${title}\"\n")
  list(LENGTH help_lines count)
  set(index 0)
  foreach(line IN LISTS help_lines)
    unlist(line "${line}")
    math(EXPR index "${index} + 1")
    set(next "")
    if(index LESS count)
      list(GET help_lines ${index} next)
    endif()
    if(line STREQUAL "" OR line MATCHES ":$")
      continue()  # blank lines and the group headings (Options:, Positionals:, Subcommands:)
    elseif(line MATCHES "^Usage: (.*)$")
      roff(usage "${CMAKE_MATCH_1}")
      string(REPLACE "-" "\\-" usage "${usage}")
      string(APPEND text ".PP\n.B ${usage}\n")
    elseif(line MATCHES "^                              +([^ ].*)$")
      roff(description "${CMAKE_MATCH_1}")
      string(APPEND text "${description}\n")
    elseif(line MATCHES "^  [^ ]")
      string(LENGTH "${line}" length)
      set(description "")
      set(tag "${line}")
      # Names of 28 columns or more leave the description to the next line.
      if(length GREATER 30 AND NOT next MATCHES "^                              +[^ ]")
        string(SUBSTRING "${line}" 29 1 gap)
        string(SUBSTRING "${line}" 30 1 start)
        if(gap STREQUAL " " AND NOT start STREQUAL " ")
          string(SUBSTRING "${line}" 0 30 tag)
          string(SUBSTRING "${line}" 30 -1 description)
        endif()
      endif()
      string(STRIP "${tag}" tag)
      roff(tag "${tag}")
      roff(description "${description}")
      string(REPLACE "-" "\\-" tag "${tag}")
      string(APPEND text ".TP\n.B ${tag}\n")
      if(NOT description STREQUAL "")
        string(APPEND text "${description}\n")
      endif()
    else()
      roff(line "${line}")
      string(APPEND text ".PP\n${line}\n")
    endif()
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY ${WORK})
run_tool(help --help)
run_tool(version --version)
split_help("${help}" body examples notes)

# The NAME section carries the summary: a first line "<name>: ..." is left out of DESCRIPTION.
if(body MATCHES "^${NAME}: [^\n]*\n")
  string(LENGTH "${CMAKE_MATCH_0}" skip)
  string(SUBSTRING "${body}" ${skip} -1 body)
endif()
# help2man reads the top-level help (without what is moved to sections below) from a stand-in.
file(WRITE ${WORK}/${NAME}.help "${body}")
file(WRITE ${WORK}/${NAME}.version "${version}")
file(WRITE ${WORK}/${NAME}
     "#!/bin/sh\ncase \"$1\" in\n--help) cat '${WORK}/${NAME}.help' ;;\n--version) cat '${WORK}/${NAME}.version' ;;\n*) exit 2 ;;\nesac\n")
file(CHMOD ${WORK}/${NAME} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

file(READ ${INCLUDE} include)
subcommands(commands "${help}")
if(commands)
  string(APPEND include "\n[COMMANDS]\n")
  foreach(command IN LISTS commands)
    command_roff(section "${command}")
    string(APPEND include "${section}")
    run_tool(command_help ${command} --help)
    subcommands(nested "${command_help}")
    foreach(sub IN LISTS nested)
      command_roff(section "${command};${sub}")
      string(APPEND include "${section}")
    endforeach()
  endforeach()
endif()
if(examples)
  roff(examples "${examples}")
  string(REPLACE "\n  " "\n" examples "\n${examples}")
  string(SUBSTRING "${examples}" 1 -1 examples)
  string(REPLACE "-" "\\-" examples "${examples}")
  # The first line is the heading's context, the rest the example commands, kept line by line.
  string(REGEX MATCH "^[^\n]*:\n" lead "${examples}")
  string(LENGTH "${lead}" skip)
  string(SUBSTRING "${examples}" ${skip} -1 examples)
  string(APPEND include "\n[EXAMPLES]\n${lead}.PP\n.nf\n${examples}\n.fi\n")
endif()
if(notes)
  roff(notes "${notes}")
  string(APPEND include "\n[NOTES]\n${notes}\n")
endif()
file(WRITE ${WORK}/${NAME}.h2m "${include}")

execute_process(COMMAND ${HELP2MAN} --no-info --section=1 "--name=${SUMMARY}" --include=${WORK}/${NAME}.h2m
                        --output=${WORK}/${NAME}.1 ${WORK}/${NAME}
                RESULT_VARIABLE status ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man for ${NAME} failed (${status}): ${err}")
endif()
# Debian wants manual pages compressed at the highest level, without a timestamp.
execute_process(COMMAND gzip -9nc ${WORK}/${NAME}.1 OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of ${NAME}.1 failed")
endif()
