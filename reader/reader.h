#pragma once

#include <cstdio>
#include <string>

#include "hid/hid_platform.h"
#include "reader/console.h"
#include "reader/options.h"
#include "reader/publisher.h"

namespace thermo::reader {

// Where the program writes: readings to `out`, everything else to `err`. Each line is written
// whole and flushed, so that a pipe sees every reading as it is taken.
struct Streams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

// What the program does with its options: lists the thermometers, or takes the readings (one, or
// `count` at the interval, or until `stop` is requested). A run of readings starts the
// publishers that `startPublishers` makes for its options (none without it). Returns the exit
// status.
int runReader(const Options& options, hid::Platform& platform, StopRequest& stop,
              const Streams& streams, const StartPublishers& startPublishers = {});

// Writes what the program prints besides readings (--help, --version) to `out`: `status`, or
// ExitOutput, said on `err`, when it did not all arrive.
int writeOutput(const std::string& text, int status, const Streams& streams);

}  // namespace thermo::reader
