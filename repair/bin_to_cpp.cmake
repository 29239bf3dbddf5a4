# cmake -DINPUT=boot_code.bin -DOUTPUT=boot_code_template.cpp -DSIZE=450 -P bin_to_cpp.cmake
foreach(var INPUT OUTPUT SIZE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "bin_to_cpp: ${var} not set")
  endif()
endforeach()

file(SIZE "${INPUT}" actual)
if(NOT actual EQUAL SIZE)
  message(FATAL_ERROR "bin_to_cpp: ${INPUT} is ${actual} bytes, expected ${SIZE}")
endif()

file(READ "${INPUT}" hex HEX)
# Twelve bytes a line keeps the generated file readable.
set(bytes "")
math(EXPR last "${SIZE} - 1")
foreach(i RANGE ${last})
  math(EXPR at "${i} * 2")
  string(SUBSTRING "${hex}" ${at} 2 byte)
  math(EXPR column "${i} % 12")
  if(column EQUAL 0 AND i GREATER 0)
    string(APPEND bytes "\n    ")
  endif()
  string(APPEND bytes "0x${byte},")
endforeach()

file(WRITE "${OUTPUT}.tmp"
  "// Generated from repair/boot_code.s at build time; do not edit.\n"
  "#include \"platform/winapi.h\"\n\n"
  "extern const BYTE BootCodeTemplate[${SIZE}] = {\n    ${bytes}\n};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
