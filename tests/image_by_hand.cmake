# Sets <variable> to the image a user would make by hand from two raw files, as hex digits: the
# bootloader padded with 0xFF to 8192 bytes, then the app. For the firmware tests.
function(image_by_hand variable bootloader app)
    file(READ "${bootloader}" boot HEX)
    file(READ "${app}" sketch HEX)
    string(LENGTH "${boot}" digits)
    math(EXPR gap_bytes "8192 - ${digits} / 2")
    string(REPEAT "ff" ${gap_bytes} gap)
    set(${variable} "${boot}${gap}${sketch}" PARENT_SCOPE)
endfunction()
