# cmake -DREADME_TXT=<built README.txt> -P CheckShippedReadme.cmake
# Fails unless the README.txt that ships reads in any Notepad and points only at what ships:
# CRLF line endings throughout, and no Markdown links.
# Read as bytes: a text read drops the CRs.
file(READ "${README_TXT}" bytes HEX)
string(REGEX REPLACE "(..)" "\\1 " bytes "${bytes}")
set(bytes " ${bytes}")
string(REPLACE "0d 0a" "crlf" bytes "${bytes}")
if(bytes MATCHES " 0a ")
  message(FATAL_ERROR "${README_TXT} has a line that does not end with CRLF")
endif()
file(READ "${README_TXT}" text)
if(text MATCHES "\\]\\(")
  message(FATAL_ERROR "${README_TXT} has a Markdown link")
endif()
