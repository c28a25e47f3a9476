#include "exporter/publishers.h"

#if THERMO_NETWORK_OUTPUTS
#include "exporter/http_exporter.h"
#include "exporter/mqtt_publisher.h"
#endif

namespace thermo::exporter {

std::vector<std::unique_ptr<reader::Publisher>> startPublishers(const reader::Options& options,
                                                                const reader::Say& say) {
    std::vector<std::unique_ptr<reader::Publisher>> started;
#if THERMO_NETWORK_OUTPUTS
    if (options.listen) {
        started.push_back(std::make_unique<HttpExporter>(*options.listen, options.name));
    }
    if (options.mqtt) started.push_back(startMqttPublisher(options, say));
#else
    (void)options;
    (void)say;
#endif
    return started;
}

}  // namespace thermo::exporter
