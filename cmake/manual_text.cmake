# Writes the manual page MANUAL as plain text to OUTPUT, each line ended with
# CR LF, for the Windows ZIP; GROFF is the groff to format it with.
#   cmake -DGROFF=... -DMANUAL=doc/grenfel.1 -DOUTPUT=grenfel.txt -P manual_text.cmake
execute_process(COMMAND ${GROFF} -man -Tascii -P-c -P-b -P-u ${MANUAL}
                OUTPUT_VARIABLE text RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "groff could not format ${MANUAL} (${result})")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
