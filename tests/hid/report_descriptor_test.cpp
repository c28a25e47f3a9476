#include "hid/report_descriptor.h"
#include "tests/support/row_name.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace thermo::hid {
namespace {

using thermo::PrintTo;

using Bytes = std::vector<std::uint8_t>;

struct Row {
    const char* name;
    Bytes descriptor;
    int length;  // expected input report length, id byte included
    bool ids;
};

class ReportDescriptorTest : public ::testing::TestWithParam<Row> {};

TEST_P(ReportDescriptorTest, GivesLongestInputReportAndIdUse) {
    const Row& row = GetParam();
    ReportDescriptorSummary summary = parseReportDescriptor(row.descriptor);
    EXPECT_EQ(summary.inputReportLength, row.length);
    EXPECT_EQ(summary.usesReportIds, row.ids);
}

// Items: 0x75 report size, 0x95 report count, 0x85 report id, 0x81 input, 0x91 output,
// 0xB1 feature, 0xA4 push, 0xB4 pop, 0xA1 collection, 0xC0 end collection.
INSTANTIATE_TEST_SUITE_P(
    Rows, ReportDescriptorTest,
    ::testing::Values(
        Row{"Empty", {}, 0, false},
        Row{"TwoBytesWithoutIdsCountTheIdByte", {0x75, 8, 0x95, 2, 0x81, 2}, 3, false},
        Row{"VendorPageWith64ByteInAndOut",
            {0x06, 0xA0, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 8,
             0x95, 64,   0x09, 0x01, 0x81, 0x02, 0x95, 64,   0x09, 0x01, 0x91, 0x02, 0xC0},
            65,
            false},
        Row{"LargestReportIdWins",
            {0x85, 1, 0x75, 8, 0x95, 3, 0x81, 2, 0x85, 2,
             0x95, 7, 0x81, 2, 0x85, 3, 0x95, 1, 0x81, 2},
            8,
            true},
        Row{"InputItemsOfOneReportAreSummed",
            {0x75, 1, 0x95, 3, 0x81, 2, 0x75, 5, 0x95, 1, 0x81, 1, 0x75, 8, 0x95, 2, 0x81, 6},
            4,
            false},
        Row{"PartialByteRoundsUp", {0x75, 1, 0x95, 9, 0x81, 2}, 3, false},
        Row{"OutputAndFeatureIgnored",
            {0x75, 8, 0x95, 16, 0x91, 2, 0xB1, 2, 0x95, 1, 0x81, 2},
            2,
            false},
        Row{"OnlyOutputGivesNoInputReport", {0x75, 8, 0x95, 2, 0x91, 2}, 0, false},
        Row{"IdsButNoInput", {0x85, 1, 0x75, 8, 0x95, 2, 0xB1, 2}, 0, true},
        Row{"PopRestoresCount",
            {0x75, 8, 0x95, 2, 0xA4, 0x95, 16, 0x91, 2, 0xB4, 0x81, 2},
            3,
            false},
        Row{"PopRestoresReportId",
            {0x85, 1, 0x75, 8, 0x95, 2, 0x81, 2, 0xA4, 0x85, 2, 0x95, 4, 0x81, 2, 0xB4, 0x81, 2},
            5,
            true},
        Row{"PopWithoutPushStops", {0x75, 8, 0x95, 2, 0x81, 2, 0xB4, 0x95, 8, 0x81, 2}, 3, false},
        Row{"ReportIdZeroStops", {0x75, 8, 0x95, 2, 0x81, 2, 0x85, 0, 0x95, 9, 0x81, 2}, 3, false},
        Row{"TruncatedItemStops", {0x75, 8, 0x95, 2, 0x81, 2, 0x95}, 3, false},
        Row{"TruncatedTwoByteData", {0x75, 8, 0x96, 0x10}, 0, false},
        Row{"FourByteData", {0x77, 8, 0, 0, 0, 0x97, 2, 0, 0, 0, 0x81, 2}, 3, false},
        Row{"LongItemSkippedWhole", {0x75, 8, 0x95, 1, 0xFE, 2, 0x10, 0x95, 9, 0x81, 2}, 2, false},
        Row{"TruncatedLongItemStops", {0x75, 8, 0x95, 1, 0x81, 2, 0xFE, 16, 0, 1}, 2, false},
        // The kernel delivers no report longer than 16384 bytes (HID_MAX_BUFFER_SIZE).
        Row{"LongestDeliverableReport", {0x75, 8, 0x96, 0x00, 0x40, 0x81, 2}, 16385, false},
        Row{"OneByteTooLong", {0x75, 8, 0x96, 0x01, 0x40, 0x81, 2}, 0, false},
        Row{"AbsurdSizeTimesCount",
            {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 2},
            0,
            false}),
    rowName);

TEST(ReportDescriptor, ManyHugeInputsDoNotWrapAround) {
    Bytes d{0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 2000; ++i) d.insert(d.end(), {0x81, 2});
    EXPECT_EQ(parseReportDescriptor(d).inputReportLength, 0);
}

TEST(ReportDescriptor, EndlessPushesStopSafely) {
    Bytes d{0x75, 8, 0x95, 1, 0x81, 2};
    d.insert(d.end(), 4000, 0xA4);
    d.insert(d.end(), {0x95, 100, 0x81, 2});
    EXPECT_EQ(parseReportDescriptor(d).inputReportLength, 2);
}

TEST(ReportDescriptor, RandomBytesGiveZeroOrADeliverableLength) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        Bytes d(static_cast<std::size_t>(round % 97));
        for (auto& b : d) b = static_cast<std::uint8_t>(byte(random));
        const int length = parseReportDescriptor(d).inputReportLength;
        ASSERT_TRUE(length == 0 || (length >= 2 && length <= kMaxReportBytes + 1)) << length;
    }
}

}  // namespace
}  // namespace thermo::hid
