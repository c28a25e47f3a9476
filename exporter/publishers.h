#pragma once

#include <memory>
#include <vector>

#include "reader/options.h"
#include "reader/publisher.h"

namespace thermo::exporter {

// The publishers that `options` ask for (--listen, --mqtt), each started: listening, or
// connecting in the background. Throws reader::PublisherStartError.
std::vector<std::unique_ptr<reader::Publisher>> startPublishers(const reader::Options& options,
                                                                const reader::Say& say);

}  // namespace thermo::exporter
