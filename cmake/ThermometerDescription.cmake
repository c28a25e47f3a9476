# The thermometer's ids for the files the build writes from them (the udev rule, the AppStream
# modalias), read from hid/thermometer.h, where the program takes them from: one spelling of
# each, and a change there reaches every file at the next build. The header is the source rather
# than a CMake setting that writes the header, so that a reader of the C++ finds the ids where
# the code uses them and an editor's tools see a header that exists without a build.
#   THERMO_VENDOR_ID_LOWER / _UPPER, THERMO_PRODUCT_ID_LOWER / _UPPER: four hex digits.
set(thermo_description_header ${PROJECT_SOURCE_DIR}/hid/thermometer.h)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${thermo_description_header})
file(READ ${thermo_description_header} thermo_description)
foreach(kind VENDOR PRODUCT)
    string(SUBSTRING ${kind} 0 1 first)
    string(SUBSTRING ${kind} 1 -1 rest)
    string(TOLOWER ${rest} rest)
    set(name "kThermometer${first}${rest}Id")
    if(NOT thermo_description MATCHES
       "std::uint16_t ${name} = 0x([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]);")
        message(FATAL_ERROR "hid/thermometer.h: no line 'inline constexpr std::uint16_t ${name} = "
                            "0xHHHH;' to read the id from")
    endif()
    string(TOLOWER ${CMAKE_MATCH_1} THERMO_${kind}_ID_LOWER)
    string(TOUPPER ${CMAKE_MATCH_1} THERMO_${kind}_ID_UPPER)
endforeach()
