# The sanitizer builds: THERMO_SANITIZE (AddressSanitizer and UndefinedBehaviorSanitizer, every
# test) and THERMO_TSAN (ThreadSanitizer, the tests of the code that runs on more than one thread:
# the window's thread and the tick's worker, HIDusb, the Linux backend and the simulator). The two
# cannot share a process, so they are separate builds.
if(THERMO_SANITIZE AND THERMO_TSAN)
    message(FATAL_ERROR "THERMO_SANITIZE and THERMO_TSAN need separate builds")
endif()

if(THERMO_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

if(THERMO_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
    # The tests run with TSAN_OPTIONS=suppressions=tests/tsan.supp (scripts/test sets it): the
    # races it names are inside Qt, which is not built with the sanitizer.
endif()
