# Writes the installed zav.ini: the shipped config/zav.ini with the key-set file in the
# state directory and the session logs in the log directory, and no trace file.
#   cmake -DIN=config/zav.ini -DOUT=zav.ini -DSTATE_DIR=/var/lib/zav -DLOG_DIR=/var/log/zav
#         -P installed_ini.cmake
# Each key's value is replaced wherever the shipped file has the key (whatever its value);
# a key it lacks is added right after [ZTerm]. Everything else is kept as it stands.
file(READ "${IN}" text)
set(keys rsakey_file log_file error_file trace_file)
set(value_rsakey_file "${STATE_DIR}/zav_key")
set(value_log_file "${LOG_DIR}/brisel.log")
set(value_error_file "${LOG_DIR}/brisel.err")
set(value_trace_file "")
foreach(key IN LISTS keys)
    # The key at the start of a line (not in a comment), up to the end of that line.
    string(REGEX MATCH "(^|\n)[ \t]*${key}[ \t]*=[^\r\n]*" found "${text}")
    if(found)
        string(REGEX REPLACE "(^|\n)[ \t]*${key}[ \t]*=[^\r\n]*" "\\1${key}=${value_${key}}"
               text "${text}")
    else()
        string(REGEX REPLACE "(^|\n)(\\[ZTerm\\][^\r\n]*\r?\n)" "\\1\\2${key}=${value_${key}}\n"
               text "${text}")
    endif()
endforeach()
file(WRITE "${OUT}" "${text}")
