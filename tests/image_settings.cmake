# FLASH_SIZE and FLASH_ORIGIN as fwsplice_add_image reads them: decimal, 0x hexadecimal, and
# either with K or M as linker scripts mean them. Run with cmake -P, with SOURCE_DIR.
cmake_minimum_required(VERSION 3.16)
include("${SOURCE_DIR}/cmake/fwsplice-image.cmake")

# Each row: the text, "=", then the bytes or "error".
set(rows
    "0=0" "1=1" "8192=8192" "0x2000=8192" "0X2000=8192" "0x08000000=134217728"
    "256K=262144" "256k=262144" "1M=1048576" "1m=1048576" "0x40K=65536" "0x10M=16777216"
    "281474976710656=281474976710656" "0x1000000000000=281474976710656"
    "268435456M=281474976710656" "0x000000000000000000001=1"
    "281474976710657=error" "0x1000000000001=error" "268435457M=error" "262144K1=error"
    "08=error" "-1=error" "0x=error" "1G=error" "64KB=error" "1.5=error" " 1=error" "1 =error"
    "K=error" "=error" "0x1g=error" "1e6=error" "9999999999999999=error")
set(failures "")
foreach(row IN LISTS rows)
    string(FIND "${row}" "=" at REVERSE)
    string(SUBSTRING "${row}" 0 ${at} text)
    math(EXPR after "${at} + 1")
    string(SUBSTRING "${row}" ${after} -1 expected)
    unset(bytes)
    _fwsplice_parse_bytes(bytes error "${text}")
    set(got "${bytes}")
    if(error)
        set(got error)
    endif()
    if(NOT got STREQUAL expected)
        string(APPEND failures "\n  '${text}': ${got}, expected ${expected}")
    endif()
endforeach()
if(failures)
    message(FATAL_ERROR "sizes and addresses read wrongly:${failures}")
endif()
