#include "exporter/publishers.h"

#if THERMO_HTTP_EXPORTER
#include "exporter/http_exporter.h"
#endif

namespace thermo::exporter {

std::vector<std::unique_ptr<reader::Publisher>> startPublishers(const reader::Options& options,
                                                                const reader::Say& say) {
    std::vector<std::unique_ptr<reader::Publisher>> started;
#if THERMO_HTTP_EXPORTER
    if (options.listen)
        started.push_back(std::make_unique<HttpExporter>(*options.listen, options.name));
#endif
    (void)options;
    (void)say;
    return started;
}

}  // namespace thermo::exporter
