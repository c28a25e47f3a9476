#include "exporter/mqtt_publisher.h"

// libmosquitto rather than Paho's C++ client: it is a C library packaged in Debian for every
// architecture, beside the broker that the tests start, and it brings what a client that must
// never hold up a reading needs: a network loop on a thread of its own that publishes only hand
// over to, QoS 1 with its own queue, a will, and TLS.
#include <mosquitto.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "hid/thermometer.h"
#include "measure/atomic_file.h"

namespace thermo::exporter {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kOnline = "online";
constexpr std::string_view kOffline = "offline";
// At least once: a state handed over just before the broker went away is sent again on the next
// connection, and the states of an outage follow (kBacklog). A reading is a measurement with its
// time, so a duplicate is harmless where a gap is not.
constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
// How soon the client's thread notices a stop while it has nothing to send.
constexpr int kLoopMs = 250;
constexpr auto kFirstRetry = 1s;
constexpr auto kLastRetry = 60s;
// The states taken while the broker cannot be reached, sent once it can (the oldest dropped
// first): a quarter of an hour at one a second, a few hundred kilobytes.
constexpr std::size_t kBacklog = 1000;
// A clean stop waits that long at most for what was handed over to be delivered (a connection
// under way included), and then as long for its offline and DISCONNECT to go out.
constexpr auto kStopPatience = 5s;
constexpr std::size_t kPasswordLimit = 4096;

// The characters Home Assistant takes in a discovery topic's object id; others become _.
std::string topicWord(std::string_view text) {
    std::string word(text);
    for (char& c : word) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!allowed) c = '_';
    }
    return word;
}

std::string lastName(const std::string& device) {
    const auto slash = device.rfind('/');
    return slash == std::string::npos ? device : device.substr(slash + 1);
}

struct ClientDelete {
    void operator()(mosquitto* client) const { mosquitto_destroy(client); }
};

// libmosquitto's set-up of the process (its random source, OpenSSL), counted by the library.
class Library {
  public:
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

// The first line of a file read from its folder's descriptor, as cal.txt is (no link followed
// that a shared folder's owner did not make, as root too).
std::string firstLine(const std::filesystem::path& file) {
    std::optional<std::string> content;
    try {
        content = readFileIfPresent(file, kPasswordLimit);
    } catch (const std::system_error& error) {
        throw reader::PublisherStartError(file.string() + ": " + error.code().message(),
                                          reader::ExitUsage);
    }
    if (!content) {
        throw reader::PublisherStartError(
            file.string() + ": " +
                std::make_error_code(std::errc::no_such_file_or_directory).message(),
            reader::ExitUsage);
    }
    std::string line = content->substr(0, content->find('\n'));
    if (line.ends_with('\r')) line.pop_back();
    return line;
}

class MqttPublisher final : public reader::Publisher {
  public:
    MqttPublisher(const reader::Options& options, reader::Say say,
                  std::optional<std::string> password)
        : settings_(*options.mqtt),
          intervalSeconds_(options.intervalSeconds),
          say_(std::move(say)),
          password_(std::move(password)),
          port_(settings_.port != 0 ? settings_.port
                : settings_.tls     ? 8883
                                    : 1883),
          url_(std::string(settings_.tls ? "mqtts://" : "mqtt://") +
               (settings_.host.find(':') != std::string::npos ? "[" + settings_.host + "]"
                                                              : settings_.host) +
               ":" + std::to_string(port_)) {}
    ~MqttPublisher() override { finish(); }
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    void publish(const reader::ExpositionState& state) override {
        // The probe's port names its topics: the client starts with the first reading.
        if (!client_ && !failed_) {
            if (!state.reading) return;
            failed_ = !begin(*state.reading);
        }
        if (!client_) return;
        const std::lock_guard lock(mutex_);
        available_ = state.reading.has_value();
        if (state.reading) latest_ = mqttStateJson(*state.reading);
        if (!connected_) {
            if (state.reading) backlog_.push_back(*latest_);
            if (backlog_.size() > kBacklog) backlog_.pop_front();
            return;
        }
        tellAvailability(false);
        if (state.reading) send(topics_.state, *latest_, false);
    }

    void stop(const reader::ExpositionState&) override { finish(); }

  private:
    // On the reading thread, before the client's thread exists.
    bool begin(const reader::Reading& first) {
        topics_ = mqttTopics(first, settings_.discoveryPrefix);
        discovery_ = mqttDiscoveryJson(topics_, first, intervalSeconds_);
        client_.reset(mosquitto_new(topics_.clientId.c_str(), true, this));
        if (!client_) {
            say_(url_ + ": cannot make an MQTT client: " + std::generic_category().message(errno));
            return false;
        }
        mosquitto* client = client_.get();
        // Publishing from the reading thread then only queues; the client's thread writes.
        int rc = mosquitto_threaded_set(client, true);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_will_set(client, topics_.availability.c_str(),
                                    static_cast<int>(kOffline.size()), kOffline.data(), kQos, true);
        }
        if (rc == MOSQ_ERR_SUCCESS && !settings_.user.empty()) {
            rc = mosquitto_username_pw_set(client, settings_.user.c_str(),
                                           password_ ? password_->c_str() : nullptr);
        }
        if (rc == MOSQ_ERR_SUCCESS && settings_.tls) {
            rc = settings_.ca ? mosquitto_tls_set(client, settings_.ca->c_str(), nullptr, nullptr,
                                                  nullptr, nullptr)
                              : mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            say_(url_ + ": cannot set the MQTT client up: " + mosquitto_strerror(rc));
            client_.reset();
            return false;
        }
        mosquitto_connect_callback_set(client, [](mosquitto*, void* self, int code) {
            static_cast<MqttPublisher*>(self)->connected(code);
        });
        mosquitto_disconnect_callback_set(client, [](mosquitto*, void* self, int) {
            const std::lock_guard lock(static_cast<MqttPublisher*>(self)->mutex_);
            static_cast<MqttPublisher*>(self)->connected_ = false;
        });
        mosquitto_publish_callback_set(client, [](mosquitto*, void* self, int id) {
            const std::lock_guard lock(static_cast<MqttPublisher*>(self)->mutex_);
            static_cast<MqttPublisher*>(self)->unacknowledged_.erase(id);
        });
        mosquitto_message_callback_set(
            client, [](mosquitto*, void* self, const mosquitto_message* message) {
                static_cast<MqttPublisher*>(self)->received(*message);
            });
        thread_ = std::thread([this] { serve(); });
        return true;
    }

    void finish() {
        if (!thread_.joinable()) return;
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            stopDeadline_ = std::chrono::steady_clock::now() + kStopPatience;
        }
        wake_.notify_all();
        thread_.join();
    }

    // With mutex_ held. Queued on the client's thread-safe queue; its own thread writes it out.
    void send(const std::string& topic, std::string_view payload, bool retain, int qos = kQos) {
        int id = 0;
        const int rc =
            mosquitto_publish(client_.get(), &id, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos, retain);
        if (rc == MOSQ_ERR_SUCCESS) {
            if (qos > 0) unacknowledged_.insert(id);
            publishFailing_ = false;
            return;
        }
        // Said once a streak, as the --prometheus file's failures are.
        if (!publishFailing_)
            say_(url_ + ": cannot publish " + topic + ": " + mosquitto_strerror(rc));
        publishFailing_ = true;
    }

    // The client's thread: connects, serves the connection, and after a failure tries again
    // with a growing delay, whatever the failure (libmosquitto's own loop gives up for good on a
    // failed name lookup or TLS handshake, and says nothing of a connection that never came).
    void serve() {
        // A TLS write to a broker that went away raises SIGPIPE on this thread: it stays
        // blocked here, and the write fails instead.
        sigset_t brokenPipe;
        sigemptyset(&brokenPipe);
        sigaddset(&brokenPipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
        auto retry = kFirstRetry;
        for (;;) {
            refusal_.clear();
            int rc = mosquitto_connect_async(client_.get(), settings_.host.c_str(), port_,
                                             kKeepAliveSeconds);
            int errorNumber = errno;
            if (rc == MOSQ_ERR_SUCCESS) {
                const auto [loopRc, loopErrno, stopped] = serveConnection();
                if (stopped) return;
                rc = loopRc;
                errorNumber = loopErrno;
            }
            if (connectedOnce_) retry = kFirstRetry;
            connectedOnce_ = false;
            sayDown(rc == MOSQ_ERR_ERRNO ? std::generic_category().message(errorNumber)
                    : !refusal_.empty()  ? refusal_
                                         : std::string(mosquitto_strerror(rc)));
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, retry, [this] { return stopping_; })) return;
            retry = std::min<std::chrono::seconds>(retry * 2, kLastRetry);
        }
    }

    struct ConnectionEnd {
        int rc;
        int errorNumber;
        bool stopped;
    };

    ConnectionEnd serveConnection() {
        for (;;) {
            const int rc = mosquitto_loop(client_.get(), kLoopMs, 1);
            const int errorNumber = errno;
            bool wasConnected = false;
            {
                const std::lock_guard lock(mutex_);
                if (!stopping_ && rc == MOSQ_ERR_SUCCESS) continue;
                if (!stopping_) {
                    connected_ = false;
                    return {rc, errorNumber, false};
                }
                // A run of one reading stops as its client connects: the reading is delivered.
                if (rc == MOSQ_ERR_SUCCESS && !connected_ &&
                    std::chrono::steady_clock::now() < stopDeadline_) {
                    continue;
                }
                wasConnected = connected_;
            }
            if (rc == MOSQ_ERR_SUCCESS && wasConnected) endConnection();
            return {rc, errorNumber, true};
        }
    }

    // A clean stop: what was handed over is delivered, then offline (unless the last state said
    // it) and DISCONNECT, on this connection, so that the broker takes the offline and then drops
    // the will. QoS 0, so that nothing waits for an acknowledgement in between.
    void endConnection() {
        for (;;) {
            {
                const std::lock_guard lock(mutex_);
                if (unacknowledged_.empty() || std::chrono::steady_clock::now() >= stopDeadline_) {
                    if (told_) send(topics_.availability, kOffline, true, 0);
                    told_ = false;
                    break;
                }
            }
            if (mosquitto_loop(client_.get(), kLoopMs, 1) != MOSQ_ERR_SUCCESS) return;
        }
        mosquitto_disconnect(client_.get());
        const auto deadline = std::chrono::steady_clock::now() + kStopPatience;
        while (std::chrono::steady_clock::now() < deadline &&
               mosquitto_loop(client_.get(), kLoopMs, 1) == MOSQ_ERR_SUCCESS) {
        }
    }

    // Said once an outage, however many attempts it takes.
    void sayDown(const std::string& why) {
        if (down_) return;
        down_ = true;
        say_(url_ + (everConnected_
                         ? ": connection to the MQTT broker lost (" + why + "); reconnecting"
                         : ": cannot connect to the MQTT broker (" + why + "); trying again"));
    }

    // In the client's thread, as the broker answers the CONNECT.
    void connected(int code) {
        if (code != 0) {
            refusal_ = mosquitto_connack_string(code);
            return;
        }
        if (down_)
            say_(url_ + (everConnected_ ? ": connected to the MQTT broker again"
                                        : ": connected to the MQTT broker"));
        down_ = false;
        everConnected_ = true;
        connectedOnce_ = true;
        mosquitto_subscribe(client_.get(), nullptr, topics_.status.c_str(), kQos);
        const std::lock_guard lock(mutex_);
        connected_ = true;
        announce();
        for (const std::string& state : backlog_) send(topics_.state, state, false);
        backlog_.clear();
    }

    // Home Assistant says online on its status topic as it starts: it is told everything again.
    void received(const mosquitto_message& message) {
        const std::string_view payload(static_cast<const char*>(message.payload),
                                       static_cast<std::size_t>(std::max(message.payloadlen, 0)));
        if (topics_.status != message.topic || payload != kOnline) return;
        const std::lock_guard lock(mutex_);
        if (!connected_) return;
        announce();
        if (available_ && latest_) send(topics_.state, *latest_, false);
    }

    // With mutex_ held.
    void announce() {
        send(topics_.discovery, discovery_, true);
        tellAvailability(true);
    }

    // With mutex_ held: online or offline as the last state says, when the broker was last told
    // otherwise (or always).
    void tellAvailability(bool always) {
        if (!always && told_ == available_) return;
        told_ = available_;
        send(topics_.availability, available_ ? kOnline : kOffline, true);
    }

    const reader::MqttOptions settings_;
    const double intervalSeconds_;
    const reader::Say say_;
    const std::optional<std::string> password_;
    const int port_;
    const std::string url_;  // as said in messages, with the port in use
    Library library_;
    // Set by begin() before the client's thread starts, then only read.
    MqttTopics topics_;
    std::string discovery_;
    std::unique_ptr<mosquitto, ClientDelete> client_;
    bool failed_ = false;  // the reading thread's: begin() failed, there is no client

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool connected_ = false;  // the broker has accepted this connection
    bool available_ = false;  // the last state has a reading
    bool told_ = false;       // what the broker was last told of that
    std::optional<std::string> latest_;
    std::deque<std::string> backlog_;
    std::set<int> unacknowledged_;  // QoS 1 messages handed over and not acknowledged yet
    bool publishFailing_ = false;   // the last hand-over was refused, and that was said
    std::chrono::steady_clock::time_point stopDeadline_;

    // The client's thread's own.
    bool down_ = false;  // said that the broker cannot be reached, and not since that it can
    bool everConnected_ = false;
    bool connectedOnce_ = false;  // the current attempt got as far as the broker's yes
    std::string refusal_;         // the broker's reason for its no

    std::thread thread_;
};

}  // namespace

MqttTopics mqttTopics(const reader::Reading& reading, const std::string& discoveryPrefix) {
    std::string key = !reading.port.empty()  ? topicWord(reading.port)
                      : reading.name.empty() ? topicWord(lastName(reading.device))
                                             : std::string();
    if (!reading.name.empty()) key += (key.empty() ? "" : "_") + topicWord(reading.name);
    const std::string id = "usb-thermometer-" + key;
    return {.key = key,
            .clientId = id,
            .state = "usb-thermometer/" + key + "/state",
            .availability = "usb-thermometer/" + key + "/availability",
            .discovery = discoveryPrefix + "/sensor/" + id + "/config",
            .status = discoveryPrefix + "/status"};
}

std::string mqttStateJson(const reader::Reading& reading) {
    using reader::jsonNumber;
    using reader::jsonString;
    return "{\"celsius\":" + jsonNumber(reading.celsius) +
           ",\"fahrenheit\":" + jsonNumber(reading.fahrenheit) +
           ",\"ratio\":" + jsonNumber(reading.ratio) +
           ",\"time\":" + jsonString(reader::rfc3339(reading.time)) +
           ",\"port\":" + jsonString(reading.port) + ",\"name\":" + jsonString(reading.name) + "}";
}

std::string mqttDiscoveryJson(const MqttTopics& topics, const reader::Reading& reading,
                              double intervalSeconds) {
    using reader::jsonString;
    // Three intervals, and the 6 s that a silent thermometer is waited for before it counts as
    // gone (and offline is published).
    const long expireAfter = std::lround(std::ceil(3 * intervalSeconds)) + 6;
    const std::string& which = !reading.name.empty()   ? reading.name
                               : !reading.port.empty() ? reading.port
                                                       : topics.key;
    const std::string id = jsonString(topics.clientId);
    return "{\"name\":\"Temperature\",\"unique_id\":" + id +
           ",\"state_topic\":" + jsonString(topics.state) +
           ",\"value_template\":\"{{ value_json.celsius }}\""
           ",\"json_attributes_topic\":" +
           jsonString(topics.state) +
           ",\"device_class\":\"temperature\",\"state_class\":\"measurement\""
           ",\"unit_of_measurement\":\"\302\260C\",\"suggested_display_precision\":1"
           ",\"availability_topic\":" +
           jsonString(topics.availability) +
           ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\""
           ",\"expire_after\":" +
           std::to_string(expireAfter) + ",\"device\":{\"identifiers\":[" + id +
           "],\"name\":" + jsonString(std::string(hid::kThermometerName) + " " + which) +
           ",\"model\":" + jsonString(hid::kThermometerName) +
           ",\"hw_version\":" + jsonString("USB " + hid::thermometerIdsText()) +
           ",\"sw_version\":\"" THERMO_VERSION "\"}}";
}

std::unique_ptr<reader::Publisher> startMqttPublisher(const reader::Options& options,
                                                      const reader::Say& say) {
    const reader::MqttOptions& mqtt = *options.mqtt;
    std::optional<std::string> password;
    if (mqtt.passwordFile) password = firstLine(*mqtt.passwordFile);
    // Found now rather than at the first reading, so that a wrong path ends the program at once.
    if (mqtt.ca) (void)firstLine(*mqtt.ca);
    return std::make_unique<MqttPublisher>(options, say, std::move(password));
}

}  // namespace thermo::exporter
