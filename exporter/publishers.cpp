#include "exporter/publishers.h"

#ifndef _WIN32
#include "exporter/mqtt_publisher.h"
#endif

namespace thermo::exporter {

std::vector<std::unique_ptr<reader::Publisher>> startPublishers(const reader::Options& options,
                                                                const reader::Say& say) {
    std::vector<std::unique_ptr<reader::Publisher>> started;
    (void)options;
    (void)say;
#ifndef _WIN32
    if (options.mqtt) started.push_back(startMqttPublisher(options, say));
#endif
    return started;
}

}  // namespace thermo::exporter
