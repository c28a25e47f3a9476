// The HTTP exporter in this process: scrapes while states are published from another thread get
// one whole state or another, never part of one, also with several connections at once; peers
// that hold their connections open, or send a request without end, neither delay a scrape nor a
// stop; a stop ends the serving.
#include "exporter/http_exporter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "os/posix/unique_fd.h"
#include "tests/support/wait_until.h"

namespace thermo::exporter {
namespace {

reader::ExpositionState stateAt(float celsius) {
    reader::Reading reading;
    reading.celsius = celsius;
    reading.port = "1-2";
    return {"1-2", "fridge", reading,
            std::chrono::system_clock::time_point(std::chrono::seconds(1))};
}

// A connection to the exporter on 127.0.0.1 from another loopback address (each has its own
// share of the connections), or an invalid one.
os::UniqueFd connectFrom(const char* source, std::uint16_t port) {
    os::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        return {};
    }
    return fd;
}

bool sendAll(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Sends a byte on each of `peers` every 100 ms while it lives.
class Trickle {
  public:
    explicit Trickle(const std::vector<os::UniqueFd>& peers)
        : thread_([this, &peers] {
              while (sending_) {
                  for (const os::UniqueFd& peer : peers) sendAll(peer.get(), "x");
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
              }
          }) {}
    ~Trickle() {
        sending_ = false;
        thread_.join();
    }
    Trickle(const Trickle&) = delete;
    Trickle& operator=(const Trickle&) = delete;

  private:
    std::atomic<bool> sending_ = true;
    std::thread thread_;
};

TEST(HttpExporter, ScrapesGetWholeStatesWhilePublishingAndNothingAfterTheStop) {
    HttpExporter exporter({"127.0.0.1", 0}, "fridge");
    ASSERT_NE(exporter.port(), 0);
    const std::set<std::string> published = {
        reader::prometheusText({"", "fridge", std::nullopt, std::nullopt}),
        reader::prometheusText(stateAt(1)), reader::prometheusText(stateAt(2))};

    std::atomic<bool> scraping = true;
    std::atomic<int> scrapes = 0;
    std::thread publisher([&] {
        for (int i = 0; scraping; ++i) exporter.publish(stateAt(1 + i % 2));
    });
    std::vector<std::thread> scrapers;
    // One kept-alive connection each: as many as one peer address may hold at once.
    std::vector<std::string> unexpected(8);
    for (std::size_t s = 0; s < unexpected.size(); ++s) {
        scrapers.emplace_back([&, s] {
            httplib::Client client("127.0.0.1", exporter.port());
            client.set_keep_alive(true);
            for (int i = 0; i < 30; ++i) {
                const auto reply = client.Get("/metrics");
                if (!reply || reply->status != 200 || published.count(reply->body) == 0) {
                    unexpected[s] = reply ? reply->body : httplib::to_string(reply.error());
                    return;
                }
                ++scrapes;
            }
        });
    }
    for (std::thread& scraper : scrapers) scraper.join();
    scraping = false;
    publisher.join();
    for (const std::string& text : unexpected) EXPECT_EQ(text, "");
    EXPECT_EQ(scrapes, 240);

    exporter.stop({"1-2", "fridge", std::nullopt, std::nullopt});
    httplib::Client client("127.0.0.1", exporter.port());
    EXPECT_FALSE(client.Get("/metrics")) << "still served after the stop";
}

// 21 peers (three addresses, 7 each) that keep sending a request a byte at a time, never ending
// it: more than a server of a thread a connection has threads and places (4 and 16 were not
// enough), so that there a scrape and a stop would wait for as long as the peers kept sending.
TEST(HttpExporter, PeersThatNeverEndTheirRequestsDelayNeitherAScrapeNorTheStop) {
    HttpExporter exporter({"127.0.0.1", 0}, "fridge");
    std::vector<os::UniqueFd> peers;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        for (int i = 0; i < 7; ++i) {
            peers.push_back(connectFrom(source, exporter.port()));
            ASSERT_TRUE(peers.back()) << source << ": " << std::strerror(errno);
            ASSERT_TRUE(sendAll(peers.back().get(), "GET /metrics HTTP/1.1\r\nX"));
        }
    }
    // Declared before the sender: a failed wait ends with the sending stopped first.
    std::future<int> scrape;
    std::future<void> stop;
    const Trickle trickle(peers);

    scrape = std::async(std::launch::async, [&] {
        httplib::Client client("127.0.0.1", exporter.port());
        client.set_read_timeout(std::chrono::seconds(60));
        const auto reply = client.Get("/metrics");
        return reply ? reply->status : -1;
    });
    ASSERT_EQ(scrape.wait_for(testing::kPatience), std::future_status::ready)
        << "the scrape waited for the peers";
    EXPECT_EQ(scrape.get(), 200);

    stop = std::async(std::launch::async, [&] { exporter.stop(stateAt(1)); });
    ASSERT_EQ(stop.wait_for(testing::kPatience), std::future_status::ready)
        << "the stop waited for the peers";
}

// A request of more headers than a connection's memory holds is refused, or its connection
// closed, when it ends: the exporter's memory is not what bounds it.
TEST(HttpExporter, RequestWithEndlessHeadersIsRefused) {
    HttpExporter exporter({"127.0.0.1", 0}, "fridge");
    const os::UniqueFd peer = connectFrom("127.0.0.1", exporter.port());
    ASSERT_TRUE(peer);
    std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 20'000; ++i) request += "X-" + std::to_string(i) + ": y\r\n";
    request += "\r\n";
    sendAll(peer.get(), request);  // fails once the exporter has closed its end
    std::string reply;
    char buffer[4096];
    for (ssize_t got; (got = ::recv(peer.get(), buffer, sizeof buffer, 0)) > 0;) {
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), std::string::npos) << reply.substr(0, 200);
    if (!reply.empty()) {
        EXPECT_EQ(reply.rfind("HTTP/1.1 431", 0), 0u) << reply.substr(0, 200);
    }
}

}  // namespace
}  // namespace thermo::exporter
