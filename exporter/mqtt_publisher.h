#pragma once

#include <memory>
#include <string>

#include "reader/options.h"
#include "reader/output.h"
#include "reader/publisher.h"

namespace thermo::exporter {

// Where one probe's messages go. The key is the probe's USB port, with its --name after it, in
// the characters Home Assistant allows in a discovery topic ([A-Za-z0-9_-]; others become _):
// port 1-2.3 named fridge is "1-2_3_fridge". Without a port (a node with no USB parent) the name
// stands in, and without either the node's name.
struct MqttTopics {
    std::string key;
    std::string clientId;      // usb-thermometer-<key>: one session per probe on the broker
    std::string state;         // usb-thermometer/<key>/state
    std::string availability;  // usb-thermometer/<key>/availability: online, offline
    std::string discovery;     // <prefix>/sensor/usb-thermometer-<key>/config
    std::string status;        // <prefix>/status: Home Assistant's online when it (re)starts
};
MqttTopics mqttTopics(const reader::Reading& reading, const std::string& discoveryPrefix);

// {"celsius":54.180744,"fahrenheit":129.52534,"ratio":0.51953125,"time":"…","port":"1-2",
// "name":"fridge"}: the numbers as --json writes them.
std::string mqttStateJson(const reader::Reading& reading);

// Home Assistant's discovery config of the probe's temperature sensor. expire_after is a few
// intervals, so that a program that stops publishing without a will (a frozen machine) shows as
// unavailable rather than a value that looks current.
std::string mqttDiscoveryJson(const MqttTopics& topics, const reader::Reading& reading,
                              double intervalSeconds);

// The client of `options.mqtt`: it reads the password file now (throws
// reader::PublisherStartError) and connects once the first reading has named the probe.
std::unique_ptr<reader::Publisher> startMqttPublisher(const reader::Options& options,
                                                      const reader::Say& say);

}  // namespace thermo::exporter
