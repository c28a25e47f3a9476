#pragma once

#include <cstdio>
#include <cstdlib>

namespace thermo::fuzz {

// A property the fuzzed code broke. Aborting is how libFuzzer (and the corpus replay) learn of
// it, and the message says which property, so that a saved crash input explains itself.
inline void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

}  // namespace thermo::fuzz
