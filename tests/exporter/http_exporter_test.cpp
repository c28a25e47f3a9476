// The HTTP exporter in this process: scrapes while states are published from another thread get
// one whole state or another, never part of one, also with more connections at once than the
// pool has threads and places; a stop ends the serving.
#include "exporter/http_exporter.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace thermo::exporter {
namespace {

reader::ExpositionState stateAt(float celsius) {
    reader::Reading reading;
    reading.celsius = celsius;
    reading.port = "1-2";
    return {"1-2", "fridge", reading,
            std::chrono::system_clock::time_point(std::chrono::seconds(1))};
}

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
    std::vector<std::string> unexpected(24);  // a connection a request
    for (std::size_t s = 0; s < unexpected.size(); ++s) {
        scrapers.emplace_back([&, s] {
            httplib::Client client("127.0.0.1", exporter.port());
            for (int i = 0; i < 10; ++i) {
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

}  // namespace
}  // namespace thermo::exporter
