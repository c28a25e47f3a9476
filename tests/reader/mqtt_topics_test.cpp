// --mqtt's topics and ids, which Home Assistant takes only in [A-Za-z0-9_-], for every way a
// probe can be named.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "exporter/mqtt_publisher.h"
#include "tests/support/row_name.h"

namespace thermo::testing {
namespace {

using thermo::PrintTo;

struct TopicRow {
    const char* name;
    const char* port;
    const char* probeName;
    const char* device;
    const char* key;
};

const TopicRow kTopics[] = {
    {"Port", "1-2", "", "/dev/hidraw0", "1-2"},
    {"PortBehindAHub", "1-2.3", "", "/dev/hidraw0", "1-2_3"},
    {"PortAndName", "1-2", "fridge", "/dev/hidraw0", "1-2_fridge"},
    {"NameOutsideTheAllowedCharacters", "1-2", "K\303\274hl schrank", "/dev/hidraw0",
     "1-2_K__hl_schrank"},
    {"NoPortTheName", "", "fridge", "/dev/hidraw0", "fridge"},
    {"NoPortNoNameTheNode", "", "", "/dev/hidraw3", "hidraw3"},
};

class MqttTopicsOf : public ::testing::TestWithParam<TopicRow> {};

TEST_P(MqttTopicsOf, TheProbesKeyInEveryTopicAndId) {
    const TopicRow& row = GetParam();
    reader::Reading reading;
    reading.port = row.port;
    reading.name = row.probeName;
    reading.device = row.device;
    const auto topics = exporter::mqttTopics(reading, "ha");
    EXPECT_EQ(topics.key, row.key);
    EXPECT_EQ(topics.discovery, "ha/sensor/usb-thermometer-" + std::string(row.key) + "/config");
    EXPECT_THAT(exporter::mqttDiscoveryJson(topics, reading, 1),
                ::testing::HasSubstr("\"unique_id\":\"" + topics.clientId + "\""));
}

INSTANTIATE_TEST_SUITE_P(Rows, MqttTopicsOf, ::testing::ValuesIn(kTopics), rowName);

}  // namespace
}  // namespace thermo::testing
