// The HTTP exporter in this process: scrapes while states are published from another thread get
// one whole state or another, never part of one, and a stop ends the serving.
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
    std::vector<std::string> unexpected(3);
    for (std::size_t s = 0; s < unexpected.size(); ++s) {
        scrapers.emplace_back([&, s] {
            httplib::Client client("127.0.0.1", exporter.port());
            for (int i = 0; i < 100; ++i) {
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
    EXPECT_EQ(scrapes, 300);

    exporter.stop({"1-2", "fridge", std::nullopt, std::nullopt});
    httplib::Client client("127.0.0.1", exporter.port());
    EXPECT_FALSE(client.Get("/metrics")) << "still served after the stop";
}

// More connections at once than threads and waiting places: each is served in its turn.
TEST(HttpExporter, ConnectionsBeyondThePoolWaitTheirTurn) {
    HttpExporter exporter({"127.0.0.1", 0}, "fridge");
    std::vector<std::thread> scrapers;
    std::atomic<int> answered = 0;
    for (int s = 0; s < 40; ++s) {
        scrapers.emplace_back([&] {
            httplib::Client client("127.0.0.1", exporter.port());
            client.set_keep_alive(false);
            if (const auto reply = client.Get("/metrics"); reply && reply->status == 200)
                ++answered;
        });
    }
    for (std::thread& scraper : scrapers) scraper.join();
    EXPECT_EQ(answered, 40);
}

}  // namespace
}  // namespace thermo::exporter
