# cmake -DREADME=<README.md> -DCONFIG=<config.json> -P CheckConfigSample.cmake
# Fails unless the shipped config.json is, byte for byte, the sample under the README's
# "## config.json" heading: an administrator reads one and gets the other.
file(READ "${README}" readme)
file(READ "${CONFIG}" config)
string(FIND "${readme}" "## config.json\n\n```json\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${README} has no json sample under \"## config.json\"")
endif()
string(LENGTH "## config.json\n\n```json\n" heading)
math(EXPR start "${start} + ${heading}")
string(SUBSTRING "${readme}" ${start} -1 rest)
string(FIND "${rest}" "```" end)
string(SUBSTRING "${rest}" 0 ${end} sample)
if(NOT sample STREQUAL config)
  message(FATAL_ERROR "config.json differs from the README's sample:\n${config}\n---\n${sample}")
endif()
